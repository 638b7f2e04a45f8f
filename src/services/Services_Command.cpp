#include "services/Services_Command.hpp"

#include <regex>
#include <string>

namespace norvik::services::command {
namespace {

bool contains(std::string_view s, std::string_view word) { return s.find(word) != std::string_view::npos; }

bool search(std::string_view s, const std::regex& re) {
    return std::regex_search(s.begin(), s.end(), re);
}

}  // namespace

int should_ignore_this_command(std::string_view cmd) {
    // The log-tail daemon's workers retitle themselves "nklogtaild - <job>".
    static const std::regex logtail_worker(R"(\bnklogtaild - [A-Za-z])");
    if (contains(cmd, "nklogtaild") && search(cmd, logtail_worker)) return 1;

    // The mail server's helper processes.
    static const std::regex mail_aux(R"(\bdovecot/(?:anvil|log|pop|config|lmtp|imap|auth)\b)");
    if (contains(cmd, "dovecot") && search(cmd, mail_aux)) return 1;

    // The panel's own start/stop commands.
    static const std::regex start_stop_bare(R"(^(?:start|stop)\S+)");
    static const std::regex start_stop_path(R"(/(?:start|stop)\S+)");
    if ((contains(cmd, "start") || contains(cmd, "stop")) &&
        (search(cmd, start_stop_bare) || search(cmd, start_stop_path)))
        return 1;

    // Tools that name a service without being it.
    for (std::string_view w : {"restartsrv", "servmon", "strace", "ltrace", "gdb "})
        if (contains(cmd, w)) return 1;

    // The panel's scripts run by the interpreter (but not the spam filter
    // daemon shipped with the panel's own interpreter).
    static const std::regex spamd_exclusion(R"(/3rdparty(?:/perl/[0-9]+)?/bin/spamd)");
    static const std::regex scripts(R"(perl\s+.*/scripts)");
    static const std::regex norvik_tree(R"(perl\s+.*/usr/local/norvik)");
    if (contains(cmd, "perl") && !search(cmd, spamd_exclusion) && (search(cmd, scripts) || search(cmd, norvik_tree)))
        return 1;

    // Viewers and searches over a service's files.
    for (std::string_view w : {"grep ", "tail ", "less ", "vim "})
        if (contains(cmd, w)) return 1;
    return 0;
}

}  // namespace norvik::services::command
