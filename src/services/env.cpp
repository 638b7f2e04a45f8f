#include "services/env.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "exception/exception.hpp"
#include "foundation/env.hpp"
#include "os/timezones.hpp"

namespace norvik::services {

const std::vector<std::string>& kept_variables() {
    // The panel's own switches and what systemd hands a service.
    static const std::vector<std::string> names = {
        "NORVIK_ROOT",   "NORVIK_BASE_INSTALL", "RESTARTSRV_CHECKMODE_HEADER",
        "NOTIFY_SOCKET", "LISTEN_FDS",          "LISTEN_PID",
        "INVOCATION_ID", "JOURNAL_STREAM",      "SYSTEMD_EXEC_PID",
    };
    return names;
}

void setup_env_for_starting_a_daemon() {
    norvik::foundation::CleanOptions options;
    options.keep = kept_variables();
    norvik::foundation::clean_env(options);
    ::unsetenv("TMP");
    ::unsetenv("TEMP");
    ::setenv("HOME", DAEMON_HOME, 1);
    ::setenv("USER", DAEMON_USER, 1);
    ::setenv("RESTARTSRV", "1", 1);
    if (auto zone = os::calculate_TZ_env()) ::setenv("TZ", zone->c_str(), 1);
    else ::unsetenv("TZ");
    if (::chdir(DAEMON_CWD) != 0) {
        throw PlainError(std::string("The system failed to change the working directory to “") + DAEMON_CWD +
                         "”: " + std::strerror(errno));
    }
}

}  // namespace norvik::services
