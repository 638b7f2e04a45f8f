#include "proc/pid.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"

namespace norvik::proc {
namespace {

const bool registered = [] {
    exception::register_class<InvalidPidError>("Proc::InvalidPid");
    exception::register_class<ProcessEndedError>("Proc::Ended");
    return true;
}();

bool all_digits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

PID::PID(const std::string& pid) {
    (void)registered;
    if (!all_digits(pid)) exception::raise("Proc::InvalidPid", "The process ID “[_1]” is not valid.", {pid});
    _pid = pid;
    if (proc_root() == "/proc") {
        if (auto n = proc::parse_pid(_pid)) {
            long fd = ::syscall(SYS_pidfd_open, *n, 0);
            if (fd >= 0)
                pidfd_ = std::shared_ptr<const int>(new int(static_cast<int>(fd)), [](const int* f) {
                    ::close(*f);
                    delete f;
                });
        }
    }
    start_time_ = fetch_start_time();
    if (!start_time_) _ended_die();
}

PID::PID(pid_t pid) : PID(pid > 0 ? std::to_string(pid) : std::string(pid == 0 ? "0" : "-" + std::to_string(-pid))) {}

pid_t PID::pid_number() const { return proc::parse_pid(_pid).value_or(0); }

std::string PID::_proc_pid_path() const { return proc_root() + "/" + _pid; }

std::optional<std::uint64_t> PID::fetch_start_time() const {
    std::string buf;
    if (!proc::read_at(AT_FDCWD, (_proc_pid_path() + "/stat").c_str(), buf)) return std::nullopt;
    return proc::stat_start_time(buf);
}

std::uint64_t PID::start_time() {
    if (!start_time_) start_time_ = fetch_start_time();
    if (!start_time_) _ended_die();
    return *start_time_;
}

bool PID::is_running() const {
    if (pidfd_) {
        struct pollfd p {
            *pidfd_, POLLIN, 0
        };
        if (::poll(&p, 1, 0) != 0) return false;
    }
    auto now = fetch_start_time();
    if (!now || !start_time_) return false;
    return *now == *start_time_;
}

int PID::send_signal(int sig) const {
    const pid_t n = pid_number();
    if (!proc::is_signalable_pid(n)) return EINVAL;
    int rc;
    if (pidfd_) {
        rc = static_cast<int>(::syscall(SYS_pidfd_send_signal, *pidfd_, sig, nullptr, 0));
    } else {
        if (!is_running()) return ESRCH;
        rc = ::kill(n, sig);
    }
    return rc == 0 ? 0 : errno;
}

uid_t PID::uid() {
    if (!_uid) {
        struct stat st;
        if (!is_running() || ::stat(_proc_pid_path().c_str(), &st) != 0) _ended_die();
        _uid = st.st_uid;
    }
    return *_uid;
}

std::int64_t PID::elapsed_time() {
    const std::uint64_t ticks = start_time();
    long hz = ::sysconf(_SC_CLK_TCK);
    if (hz <= 0) hz = 100;
    // The start time counts from boot on the clock that includes suspend.
    struct timespec up;
    ::clock_gettime(CLOCK_BOOTTIME, &up);
    const std::int64_t started = static_cast<std::int64_t>(ticks / static_cast<std::uint64_t>(hz));
    const std::int64_t e = static_cast<std::int64_t>(up.tv_sec) - started;
    return e > 0 ? e : 0;
}

std::string PID::state() const {
    std::string buf;
    // A pid now held by another process is not this process's state.
    if (!is_running() || !proc::read_at(AT_FDCWD, (_proc_pid_path() + "/stat").c_str(), buf)) _ended_die();
    std::string_view fields, head;
    if (!proc::stat_fields_part(buf, fields, head)) _ended_die();
    size_t e = fields.find_first_of(" \n");
    return std::string(fields.substr(0, e));
}

std::vector<std::string> PID::cmdline() {
    if (!_cmdline) {
        std::string buf;
        if (!is_running() || !proc::read_at(AT_FDCWD, (_proc_pid_path() + "/cmdline").c_str(), buf)) _ended_die();
        std::vector<std::string> args;
        size_t start = 0;
        while (start < buf.size()) {
            size_t z = buf.find('\0', start);
            if (z == std::string::npos) z = buf.size();
            args.emplace_back(buf, start, z - start);
            start = z + 1;
        }
        // trailing empty fields are dropped, as a split does
        while (!args.empty() && args.back().empty()) args.pop_back();
        _cmdline = std::move(args);
    }
    return *_cmdline;
}

void PID::_ended_die() const { exception::raise("Proc::Ended", "The process with ID “[_1]” has ended.", {_pid}); }

}  // namespace norvik::proc
