#include "service/service.hpp"

#include "service/service_internal.hpp"

#include "foundation/load_file.hpp"
#include "proc/process_table.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>

#include "config/nkconf.hpp"
#include "foundation/paths.hpp"
#include "foundation/hires_clock.hpp"
#include "log/logger.hpp"
#include "output/output.hpp"
#include "pkgr/binaries.hpp"
#include "pkgr/pkgr.hpp"
#include "proc/kill.hpp"
#include "proc/port_holders.hpp"
#include "service/lock.hpp"
#include "run/ionice.hpp"
#include "run/rlimit_unset.hpp"
#include "server/profile_roles.hpp"
#include "service/definition.hpp"
#include "service/hook_runner.hpp"
#include "backend/initd_backend.hpp"
#include "backend/systemd_backend.hpp"
#include "initd/scripts.hpp"
#include "output/medium.hpp"
#include "services/search_path.hpp"
#include "systemd/unit_facts.hpp"
#include "systemd/units.hpp"
#include "proc/service_check.hpp"
#include "services/enabled.hpp"
#include "services/installed.hpp"
#include "services/exceptions.hpp"
#include "servmon/suspension.hpp"
#include "os/os.hpp"

namespace norvik::service {

// ---- hooks -----------------------------------------------------------------------

bool Base::run_hook(const std::string& name, const std::vector<std::string>& extra) {
    if (!definition_ || !definition_->has_hook(name)) return true;
    std::vector<std::string> argv = definition_->hooks.at(name);
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string out, err;
    int st = run_argv(argv, &out, &err);
    debug("Hook " + name + " of " + service() + " ended with status " + std::to_string(st));
    if (st != 0 && !err.empty()) debug("Hook " + name + " said: " + err);
    // The complaint first: checks print it on standard error.
    std::string said = err;
    if (!said.empty() && said.back() != '\n' && !out.empty()) said += '\n';
    last_hook_output_ = hook_report(argv[0], st, said + out);
    return st == 0;
}

// What a hook printed (its tail, when long), or how it ended when it printed
// nothing.
std::string Base::hook_report(const std::string& program, int status, std::string said) {
    constexpr size_t LIMIT = 8192;
    if (said.size() > LIMIT) said = "..." + said.substr(said.size() - LIMIT);
    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
    if (!said.empty() || status == 0) return said;
    if (status < 0) return program + " could not be run.";
    if (status & 127) return program + " was killed by signal " + std::to_string(status & 127) + ".";
    return program + " exited with status " + std::to_string(status >> 8) + ".";
}

bool Base::has_start_check() const { return definition_ && definition_->has_hook("start_check"); }
bool Base::start_check() { return run_hook("start_check"); }
bool Base::has_stop_check() const { return definition_ && definition_->has_hook("stop_check"); }
bool Base::stop_check() { return run_hook("stop_check"); }
bool Base::has_restart_check() const { return definition_ && definition_->has_hook("restart_check"); }
bool Base::restart_check() { return run_hook("restart_check"); }
bool Base::has_restart_attempt() const { return definition_ && definition_->has_hook("restart_attempt"); }
bool Base::restart_attempt(int attempt) { return run_hook("restart_attempt", {std::to_string(attempt)}); }
bool Base::has_pidfile_precheck() const { return definition_ && definition_->has_hook("pidfile_precheck"); }
bool Base::pidfile_precheck() { return run_hook("pidfile_precheck"); }

bool Base::has_custom_action(const std::string& word) const { return definition_ && definition_->has_action(word); }

void Base::run_custom_action(const std::string& word) {
    if (!has_custom_action(word)) throw PlainError("The service " + service() + " has no action \"" + word + "\"");
    const auto& argv = definition_->actions.at(word);
    std::string out, err;
    int st = run_argv(argv, &out, &err);
    if (!out.empty()) std::fwrite(out.data(), 1, out.size(), stdout);
    if (!err.empty()) std::fwrite(err.data(), 1, err.size(), stderr);
    std::fflush(stdout);
    if (st != 0) {
        std::string how = st == TIMED_OUT ? "did not finish within its time limit"
                          : st < 0        ? "could not be run"
                          : (st & 127)    ? "was killed by signal " + std::to_string(st & 127)
                                          : "exited with status " + std::to_string(st >> 8);
        throw PlainError("The action \"" + word + "\" of the service " + service() + " " + how + ".");
    }
}

}  // namespace norvik::service
