#include "backend/initd_backend.hpp"

#include "proc/process_table.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "exception/exception.hpp"
#include "foundation/child_status.hpp"
#include "foundation/hires_clock.hpp"
#include "proc/pid_file.hpp"
#include "proc/pid.hpp"
#include "proc/process_info.hpp"
#include "initd/scripts.hpp"
#include "initd/startup_log.hpp"
#include "run/child_error_text.hpp"

namespace norvik::backend {

namespace {

int& pid_stop_wait() {
    // Test seam: shortens the wait for a stopped pid.
    static int s = Initd::PID_STOP_WAIT;
    return s;
}

// Init scripts run with a fixed search path, whatever the caller had.
void set_safe_path() { ::setenv("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", 1); }

bool is_plain_file(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string join(const std::vector<std::string>& v, const char* sep) {
    std::string out;
    for (const auto& s : v) out += (out.empty() ? "" : sep) + s;
    return out;
}

std::vector<std::string> command(const std::string& program, const std::vector<std::string>& args) {
    std::vector<std::string> cmd{program};
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

}  // namespace

Initd::Initd(std::string service, bool executed_by_systemd, bool started_by_init)
    : service_(std::move(service)), executed_by_systemd_(executed_by_systemd), started_by_init_(started_by_init) {}

void Initd::set_pid_stop_wait_for_testing(int seconds) { pid_stop_wait() = seconds; }

const std::string& Initd::init_script() {
    if (!init_script_)
        init_script_ =
            (script_even_for_units_ ? initd::find_init_script(service_) : initd::getinitfile(service_)).value_or("");
    return *init_script_;
}

std::optional<int> Initd::run_logged(ManagedService& srv, bool wipe, const std::vector<std::string>& cmd) {
    initd::LoggedStartupOptions o;
    o.started_by_init = started_by_init_;
    o.wait = true;
    o.timeout = srv.init_script_timeout();
    bool timed_out = false;
    o.timed_out = &timed_out;
    pid_t ran = initd::logged_startup(srv.service_name(), wipe, cmd, o);
    if (timed_out) {
        srv.warn("“" + join(cmd, " ") + "” of “" + service_ + "” did not finish within " +
                 std::to_string(srv.init_script_timeout()) + " seconds; it was ended.");
        // Whatever the session's end gave, a call past its limit failed.
        int st = child_status();
        return st != 0 ? st : 1 << 8;
    }
    if (!ran) return std::nullopt;
    return child_status();
}

int Initd::script_status(ManagedService& srv, std::string* said) {
    bool timed_out = false;
    std::optional<int> st;
    try {
        st = initd::run_in_session({init_script(), STATUS_WORD}, srv.init_script_timeout(), said, &timed_out);
    } catch (const std::exception& e) {
        srv.debug("The init script of “" + service_ + "” could not tell its status: " + e.what());
        return -1;
    }
    return st && !timed_out && WIFEXITED(*st) ? WEXITSTATUS(*st) : -1;
}

std::string Initd::status_fallback(ManagedService& srv) {
    if (srv.is_norvik_service() || !srv.pidfile().empty() || init_script().empty()) return "";
    std::string said;
    const int code = script_status(srv, &said);
    said = said.substr(0, said.find('\n'));
    if (code == STATUS_RUNNING)
        return service_ + " is running according to its init script" + (said.empty() ? "" : " (" + said + ")") + "\n";
    if (code != STATUS_NOT_RUNNING)
        srv.debug("The init script of “" + service_ + "” answered status " + std::to_string(code) + ": unknown.");
    return "";
}

bool Initd::start_gave_up(ManagedService& srv) {
    if (!start_returned_) return false;
    // The PID-file wait polls far more often than a scan of /proc is worth.
    const double now = foundation::hires_time();
    if (now - scanned_ < SCAN_INTERVAL) return false;
    scanned_ = now;
    // Our own adopted daemons that have ended are not "running".
    proc::reap_finished_children();
    if (!proc::added_since(before_start_, proc::descendants(::getpid())).empty()) return false;
    if (!srv.pidfile().empty() && proc::pid_is_alive(proc::read_checked(srv.pidfile(), "", false).pid)) return false;
    if (!srv.is_norvik_service() && !init_script().empty()) {
        // A script may hand the daemon to something outside our tree; its
        // own status is asked, at most once a second.
        if (now - status_asked_ < 1) return false;
        status_asked_ = now;
        std::string said;
        const int code = script_status(srv, &said);
        // LSB: 1 and 2 are "dead" with a stale PID or lock file, 3 not running.
        if (code < 1 || code > STATUS_NOT_RUNNING) return false;
    }
    srv.debug("Nothing the start of “" + service_ + "” began is running; no more waiting.");
    return true;
}

bool Initd::start(ManagedService& srv) {
    srv.debug("Starting “" + service_ + "” through the init.d back end.");
    std::vector<std::string> cmd;
    if (srv.is_norvik_service()) {
        srv.debug("“" + service_ + "” is one of the panel's daemons: starting its binary.");
        if (is_plain_file(srv.pidfile())) ::unlink(srv.pidfile().c_str());
        set_safe_path();
        cmd = command(srv.service_binary(), srv.startup_args());
    } else if (!init_script().empty()) {
        srv.debug("Starting “" + service_ + "” with the init script “" + init_script() + "”.");
        cmd = {init_script(), START_WORD};
    } else {
        srv.debug("“" + service_ + "” has no init script: starting its binary.");
        cmd = command(srv.service_binary(), srv.startup_args());
    }
    before_start_ = proc::descendants(::getpid());
    start_returned_ = false;
    status_asked_ = scanned_ = 0;
    auto code = run_logged(srv, wipe_startup_log_, cmd);
    start_returned_ = true;
    if (!code || *code == 0) {
        srv.debug("The start command of “" + service_ + "” succeeded.");
        return true;
    }
    run::ChildErrorStringifier why(*code, cmd.front());
    srv.warn("The system failed to start “" + service_ + "” with “" + join(cmd, " ") +
             "”: " + why.autopsy().value_or(""));
    return false;
}

bool Initd::restart(ManagedService& srv) {
    std::vector<std::string> cmd;
    if (srv.is_norvik_service()) {
        if (is_plain_file(srv.pidfile())) ::unlink(srv.pidfile().c_str());
        set_safe_path();
        cmd = command(srv.service_binary(), srv.restart_args());
    } else if (!init_script().empty()) {
        cmd = {init_script(), RESTART_WORD};
    } else {
        srv.warn("“" + service_ + "” has no init script: restarting it with its binary.");
        cmd = command(srv.service_binary(), srv.restart_args());
    }
    auto code = run_logged(srv, wipe_startup_log_, cmd);
    bool ok = !code || *code == 0;
    if (ok) srv.debug("The restart command of “" + service_ + "” succeeded.");
    return ok;
}

bool Initd::reload(ManagedService& srv) {
    if (init_script().empty()) return true;
    auto code = run_logged(srv, wipe_startup_log_, {init_script(), RELOAD_WORD});
    bool ok = !code || *code == 0;
    if (ok && srv.verbose()) srv.info("“" + service_ + "” was reloaded.");
    return ok;
}

int Initd::stop_by_pidfile(ManagedService& srv) {
    const std::string pidfile = srv.pidfile();
    // A PID file anyone but root or the service's owner can write could make
    // us signal any process; it is checked and read through one descriptor.
    auto read = proc::read_checked(pidfile, srv.processowner());
    if (!read.problem.empty()) {
        srv.warn("The PID file “" + pidfile + "” of “" + service_ + "” is not used because " + read.problem + ".");
        return 0;
    }
    if (!read.pid) return 0;
    const pid_t pid = read.pid;
    // Held before it is judged, so that the TERM reaches the process judged.
    std::optional<proc::PID> handle;
    try {
        handle.emplace(pid);
    } catch (const proc::ProcessEndedError&) {
        return 0;
    }
    const std::string why = proc::foreign_reason(pid, srv.pidfile_identity());
    if (!why.empty()) {
        srv.warn(proc::foreign_warning(pidfile, service_, pid, why));
        return 0;
    }
    handle->send_signal(SIGTERM);
    const std::time_t started = std::time(nullptr);
    bool gone = false;
    bool first = true;
    while (std::time(nullptr) - started <= pid_stop_wait()) {
        if (!handle->is_running()) {
            gone = true;
            break;
        }
        if (first) {
            srv.debug("Waiting for the process " + std::to_string(pid) + " of “" + service_ + "” to end.");
            first = false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!gone) gone = !handle->is_running();
    if (gone) srv.debug("The process " + std::to_string(pid) + " of “" + service_ + "” has ended.");
    return gone ? 1 : 0;
}

bool Initd::stop(ManagedService& srv) {
    int successes = 0;
    if (srv.is_norvik_service()) {
        set_safe_path();
        if (!srv.shutdown_args().empty()) {
            auto code = run_logged(srv, false, command(srv.service_binary(), srv.shutdown_args()));
            if (code && *code == 0) {
                srv.debug("The shutdown command of “" + service_ + "” succeeded.");
                ++successes;
            }
        }
    } else if (!init_script().empty()) {
        auto code = run_logged(srv, false, {init_script(), STOP_WORD});
        if (code && *code == 0) {
            srv.debug("The init script stopped “" + service_ + "”.");
            ++successes;
        }
    }

    int handled_by_pid = 0;
    const std::string pidfile = srv.pidfile();
    struct stat st {};
    if (!pidfile.empty() && ::lstat(pidfile.c_str(), &st) == 0) {
        handled_by_pid = stop_by_pidfile(srv);
        successes += handled_by_pid;
    }

    // stop_nokillpidfile
    if (!handled_by_pid && !srv.doomed_rules().empty()) {
        const std::string owner = srv.processowner();
        srv.debug("Killing the processes of “" + service_ + "” by their rules.");
        // Another user's program of a matching name is not the service's.
        proc::AllowedOwners owners = std::vector<std::string>{proc::SUPERUSER_NAME};
        if (!owner.empty()) owners->push_back(owner);
        if (initd::doomedprocess(srv.doomed_rules(), srv.verbose() == 2, 0, owners)) {
            if (successes == 0) srv.debug("The rules stopped “" + service_ + "”.");
            ++successes;
        }
    }

    if (srv.kill_apps_on_ports()) ++successes;
    if (successes == 0) srv.info("Nothing was found to stop for “" + service_ + "”.");
    last_successes_ = successes;
    return true;
}

}  // namespace norvik::backend
