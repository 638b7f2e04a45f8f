// A handle on one live process that notices when its pid has been reused:
// the start time in /proc/<pid>/stat (clock ticks after boot) belongs to one
// process only, even when its pid comes back within the same second.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "exception/exception.hpp"

namespace norvik::proc {

NORVIK_DECLARE_EXCEPTION(InvalidPidError)    // Norvik::Exception::Proc::InvalidPid
NORVIK_DECLARE_EXCEPTION(ProcessEndedError)  // Norvik::Exception::Proc::Ended

class PID {
public:
    // Raises Proc::InvalidPid for an empty or non-digit pid, Proc::Ended when
    // no such process exists.
    explicit PID(const std::string& pid);
    explicit PID(pid_t pid);

    const std::string& pid() const { return _pid; }
    pid_t pid_number() const;
    // Start time in clock ticks after boot.
    std::uint64_t start_time();
    std::optional<std::uint64_t> fetch_start_time() const;
    std::string _proc_pid_path() const;
    // True while this very process runs (a zombie has ended); never raises.
    bool is_running() const;
    // Sends the signal to this very process, never to a later holder of its
    // pid: through the pidfd, or right after the start time was compared
    // again. 0 when sent, else the errno (ESRCH once it has ended).
    int send_signal(int sig) const;
    uid_t uid();
    // Whole seconds since the process started.
    std::int64_t elapsed_time();
    std::string state() const;
    // A fresh copy each time.
    std::vector<std::string> cmdline();
    [[noreturn]] void _ended_die() const;

private:
    std::string _pid;
    std::optional<std::uint64_t> start_time_;
    // On the real /proc the process is also held by a pidfd, which tells it
    // from a later one even within one clock tick.
    std::shared_ptr<const int> pidfd_;
    std::optional<uid_t> _uid;
    std::optional<std::vector<std::string>> _cmdline;
};

}  // namespace norvik::proc
