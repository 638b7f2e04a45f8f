#include "proc/service_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "output/control_chars.hpp"
#include "proc/ignored_commands.hpp"
#include "proc/pid_file.hpp"
#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"
#include "proc/running.hpp"

namespace norvik::proc {

namespace {

constexpr const char* CHECK_METHOD_SYSTEMD = "systemd";
constexpr const char* CHECK_METHOD_PIDFILE = "pidfile";
constexpr const char* CHECK_METHOD_PROC = "proc";
constexpr const char* CHECK_METHOD_RUNNING = "running";
constexpr const char* ACTIVE_STATE = "active";

OutsideCheckService& outside_check() {
    // Test seam: replaces the systemd-side service check.
    static OutsideCheckService fn;
    return fn;
}

std::string user_name_of(uid_t uid) { return proc::name_for_uid(uid).value_or(std::to_string(uid)); }

bool has_proc() {
    struct stat st {};
    return ::stat(proc_root().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool proc_dir_exists(pid_t pid) {
    struct stat st {};
    return ::stat(proc_entry(pid).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> read_cmdline(pid_t pid) {
    std::string path = proc_entry(pid, "cmdline");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string raw;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        raw.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    for (auto& c : raw)
        if (c == '\0') c = ' ';
    return raw;
}

std::string extend_method(const std::string& method, const char* word) {
    return method.empty() ? std::string(word) : method + "+" + word;
}

// What the unit says: the answer itself (a text, or "" for not running),
// or nothing when the process checks decide; the pid (and the method) are
// then the unit's where it names the process.
std::optional<std::string> unit_answer(const CheckServiceOptions& opts, pid_t& pid, std::string& method) {
    const UnitFacts& unit = *opts.unit;
    if (!pid || pid == unit.pid) {
        if (!pid) pid = unit.pid;
        method = CHECK_METHOD_SYSTEMD;
        const bool active = unit.active_state == ACTIVE_STATE;
        if (unit.type == "oneshot") {
            if (active) return opts.service + " is a oneshot unit and is active (check method: " + method + ")\n";
        } else if (!pid && unit.type == "forking") {
            if (active && unit.pids) {
                auto pids = unit.pids();
                if (!pids.empty()) pid = pids.front();
            }
        } else if (unit.type == "simple" && unit.main_pid == std::to_string(pid) && pid) {
            if (active && unit.sub_state == "running")
                return opts.service + " (" + unit.fragment_path + ") is running as pid " + std::to_string(pid) +
                       " (check method: " + method + ")\n";
        }
    }
    if (!pid) return "";
    return std::nullopt;
}

// The PID file's process, unless it is not the service's (said through
// opts.warn).
void pid_from_pidfile(const CheckServiceOptions& opts, pid_t& pid, std::string& method) {
    auto read = proc::read_checked(opts.pidfile, "", false);
    if (!read.pid) return;
    const std::string why = proc::foreign_reason(read.pid, {opts.service, opts.binary, opts.user, opts.pid_exe});
    if (why.empty()) {
        pid = read.pid;
        method = CHECK_METHOD_PIDFILE;
    } else if (opts.warn) {
        opts.warn(proc::foreign_warning(opts.pidfile, opts.service, read.pid, why));
    }
}

// What /proc says of the process: the answer ("" for gone), or nothing
// when its command is one to ignore.
std::optional<std::string> proc_answer(const CheckServiceOptions& opts, pid_t pid, std::string& method) {
    const std::string dir = proc_entry(pid);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || proc::read_state_letter(pid) == "Z") return "";
    std::string owner = user_name_of(st.st_uid);
    auto cmdline = read_cmdline(pid);
    if (!cmdline) return "";
    if (!proc_dir_exists(pid)) return "";
    if (proc::should_ignore_this_command(*cmdline)) return std::nullopt;
    method = extend_method(method, CHECK_METHOD_PROC);
    return opts.service + " (" + output::replace_control_characters(*cmdline) + ") is running as " + owner +
           " with PID " + std::to_string(pid) + " (" + method + " check method)\n";
}

// The process matched by name and user; nothing when it is not confirmed.
std::optional<std::string> running_answer(const CheckServiceOptions& opts, pid_t pid, std::string& method) {
    try {
        proc::RunningOptions ro;
        ro.pattern = opts.service;
        ro.pid = std::to_string(pid);
        ro.user = opts.user;
        ro.use_services_ignore = true;
        proc::Running check(ro);
        check.check_all();
        std::string cmd;
        for (const auto& w : check.pid_object().cmdline()) cmd += (cmd.empty() ? "" : " ") + w;
        method = extend_method(method, CHECK_METHOD_RUNNING);
        return opts.service + " (" + output::replace_control_characters(cmd) + ") is running as " + opts.user +
               " with PID " + std::to_string(pid) + " (" + method + " check method)\n";
    } catch (const std::exception&) {
        // Not confirmed: ask the last resort.
    }
    return std::nullopt;
}

}  // namespace

void set_outside_check_service(OutsideCheckService fn) { outside_check() = std::move(fn); }

std::string check_service(const CheckServiceOptions& opts) {
    pid_t pid = opts.pid;
    std::string method = opts.check_method;
    bool systemd_path = false;

    if (opts.unit && !opts.service.empty()) {
        systemd_path = true;
        if (auto answer = unit_answer(opts, pid, method)) return *answer;
    }
    if (!systemd_path && !pid && !opts.pidfile.empty()) pid_from_pidfile(opts, pid, method);
    if (pid > 0 && has_proc()) {
        if (auto answer = proc_answer(opts, pid, method)) return *answer;
    }
    if (pid > 0 && !opts.service.empty() && !opts.user.empty()) {
        if (auto answer = running_answer(opts, pid, method)) return *answer;
    }
    if (outside_check()) return outside_check()(opts);
    return "";
}

}  // namespace norvik::proc
