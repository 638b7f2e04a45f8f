#include "service_manager/ServiceManager_Manager_Initd.hpp"

#include "proc/PsParser.hpp"

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
#include <regex>
#include <thread>

#include "exception/Exception.hpp"
#include "foundation/ChildStatus.hpp"
#include "proc/ProcessInfo.hpp"
#include "restartsrv/RestartSrv_Initd.hpp"
#include "restartsrv/RestartSrv_StartupLog.hpp"
#include "run/ChildErrorStringifier.hpp"
#include "service_manager/ServiceManager_Base.hpp"

namespace norvik::servicemanager::manager {

namespace {

int& pid_stop_wait() {
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

std::optional<uid_t> uid_of(const std::string& user) { return psparser::detail::uid_for_user(user); }

// A PID file anyone but root or the service's owner can write could make
// us signal any process.
std::string untrusted_reason(const std::string& pidfile, const std::string& owner) {
    struct stat st {};
    if (::lstat(pidfile.c_str(), &st) != 0) return std::string("it cannot be examined: ") + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return "it is a symbolic link";
    if (!S_ISREG(st.st_mode)) return "it is not a plain file";
    auto owner_uid = uid_of(owner);
    if (st.st_uid != 0 && (!owner_uid || st.st_uid != *owner_uid))
        return "it is owned by uid " + std::to_string(st.st_uid);
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return "it is writable by users other than its owner";
    return "";
}

std::optional<pid_t> strict_pid(const std::string& text) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v <= 1) return std::nullopt;
    return static_cast<pid_t>(v);
}

}  // namespace

Initd::Initd(std::string service, bool executed_by_systemd)
    : service_(std::move(service)), executed_by_systemd_(executed_by_systemd) {}

void Initd::set_pid_stop_wait_for_testing(int seconds) { pid_stop_wait() = seconds; }

const std::string& Initd::init_script() {
    if (!init_script_)
        init_script_ = (script_even_for_units_ ? restartsrv::find_init_script(service_) : restartsrv::getinitfile(service_))
                           .value_or("");
    return *init_script_;
}

std::optional<int> Initd::run_logged(Base& srv, bool wipe, const std::vector<std::string>& cmd) {
    restartsrv::LoggedStartupOptions o;
    o.wait = true;
    o.timeout = srv.init_script_timeout();
    bool timed_out = false;
    o.timed_out = &timed_out;
    pid_t ran = restartsrv::logged_startup(srv.service_name(), wipe, cmd, o);
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

std::string Initd::status_fallback(Base& srv) {
    if (srv.is_norvik_service() || !srv.pidfile().empty() || init_script().empty()) return "";
    std::string said;
    bool timed_out = false;
    std::optional<int> st;
    try {
        st = restartsrv::run_in_session({init_script(), STATUS_WORD}, srv.init_script_timeout(), &said, &timed_out);
    } catch (const std::exception& e) {
        srv.debug("The init script of “" + service_ + "” could not tell its status: " + e.what());
        return "";
    }
    const int code = st && !timed_out && WIFEXITED(*st) ? WEXITSTATUS(*st) : -1;
    said = said.substr(0, said.find('\n'));
    if (code == STATUS_RUNNING)
        return service_ + " is running according to its init script" + (said.empty() ? "" : " (" + said + ")") + "\n";
    if (code != STATUS_NOT_RUNNING)
        srv.debug("The init script of “" + service_ + "” answered status " + std::to_string(code) + ": unknown.");
    return "";
}

bool Initd::start(Base& srv) {
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
    auto code = run_logged(srv, wipe_startup_log_, cmd);
    if (!code || *code == 0) {
        srv.debug("The start command of “" + service_ + "” succeeded.");
        return true;
    }
    ChildErrorStringifier why(*code, cmd.front());
    srv.warn("The system failed to start “" + service_ + "” with “" + join(cmd, " ") + "”: " + why.autopsy().value_or(""));
    return false;
}

bool Initd::restart(Base& srv) {
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

bool Initd::reload(Base& srv) {
    if (init_script().empty()) return true;
    auto code = run_logged(srv, wipe_startup_log_, {init_script(), RELOAD_WORD});
    bool ok = !code || *code == 0;
    if (ok && srv.verbose()) srv.info("“" + service_ + "” was reloaded.");
    return ok;
}

int Initd::stop_by_pidfile(Base& srv) {
    const std::string pidfile = srv.pidfile();
    const std::string reason = untrusted_reason(pidfile, srv.processowner());
    if (!reason.empty()) {
        srv.warn("The PID file “" + pidfile + "” of “" + service_ + "” is not used because " + reason + ".");
        return 0;
    }
    int fd = ::open(pidfile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        throw PlainError("The system failed to read the PID file “" + pidfile + "” of “" + service_ +
                         "” because of an error: " + std::strerror(errno));
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    int read_err = errno;
    ::close(fd);
    if (n < 0)
        throw PlainError("The system failed to read the PID file “" + pidfile + "” of “" + service_ +
                         "” because of an error: " + std::strerror(read_err));
    std::string line(buf, static_cast<size_t>(n));
    line = line.substr(0, line.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line == "0") return 0;
    auto pid = strict_pid(line);
    if (!pid) {
        srv.warn("The PID file “" + pidfile + "” of “" + service_ + "” does not hold a process ID.");
        return 0;
    }
    auto lineage = processinfo::get_pid_lineage();
    if (std::find(lineage.begin(), lineage.end(), *pid) != lineage.end()) {
        srv.warn("The PID file “" + pidfile + "” of “" + service_ + "” names this program or one of its parents.");
        return 0;
    }
    if (!srv.pid_exe().empty()) {
        const std::string dir = "/proc/" + std::to_string(*pid);
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0) return 0;
        char exe[4096];
        ssize_t len = ::readlink((dir + "/exe").c_str(), exe, sizeof exe - 1);
        if (len < 0)
            throw PlainError("The system failed to read the executable of the process in “" + pidfile + "” of “" +
                             service_ + "” because of an error: " + std::strerror(errno));
        std::string target(exe, static_cast<size_t>(len));
        static const std::regex deleted("^\\(deleted\\)\\s+|\\s+\\(deleted\\)$");
        target = std::regex_replace(target, deleted, "", std::regex_constants::format_first_only);
        bool matches = false;
        try {
            matches = std::regex_search(target, std::regex(srv.pid_exe()));
        } catch (const std::regex_error&) {
            matches = target.find(srv.pid_exe()) != std::string::npos;
        }
        if (!matches) {
            srv.warn("The PID file “" + pidfile + "” of “" + service_ + "” names a process that runs “" + target +
                     "”, not this service: it is left alone.");
            return 0;
        }
    }
    ::kill(*pid, SIGTERM);
    const std::time_t started = std::time(nullptr);
    bool gone = false;
    bool first = true;
    while (std::time(nullptr) - started <= pid_stop_wait()) {
        if (!psparser::pid_is_alive(*pid)) {
            gone = true;
            break;
        }
        if (first) {
            srv.debug("Waiting for the process " + std::to_string(*pid) + " of “" + service_ + "” to end.");
            first = false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!gone) gone = !psparser::pid_is_alive(*pid);
    if (gone) srv.debug("The process " + std::to_string(*pid) + " of “" + service_ + "” has ended.");
    return gone ? 1 : 0;
}

bool Initd::stop(Base& srv) {
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
        psparser::AllowedOwners owners;
        if (!owner.empty()) owners = std::vector<std::string>{owner};
        if (restartsrv::doomedprocess(srv.doomed_rules(), srv.verbose() == 2, 0, owners)) {
            if (successes == 0) srv.debug("The rules stopped “" + service_ + "”.");
            ++successes;
        }
    }

    if (srv.kill_apps_on_ports()) ++successes;
    if (successes == 0) srv.info("Nothing was found to stop for “" + service_ + "”.");
    last_successes_ = successes;
    return true;
}

}  // namespace norvik::servicemanager::manager
