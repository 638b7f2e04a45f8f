// A handle on one live process that notices when its pid has been reused:
// the change time of /proc/<pid> is fixed when the process comes into being.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "exception/Exception.hpp"

namespace norvik::proc {

NORVIK_DECLARE_EXCEPTION(InvalidPidError)    // Norvik::Exception::Proc::InvalidPid
NORVIK_DECLARE_EXCEPTION(ProcessEndedError)  // Norvik::Exception::Proc::Ended

class PID {
public:
    // Raises Proc::InvalidPid for an empty or non-digit pid, Proc::Ended when
    // no such process exists.
    explicit PID(const std::string& pid);
    explicit PID(pid_t pid);

    // Base directory (default "/proc").
    static const std::string& PROC_PATH();
    static void set_PROC_PATH(const std::string& path);

    const std::string& pid() const { return _pid; }
    pid_t pid_number() const;
    std::int64_t ctime();
    std::optional<std::int64_t> _fetch_ctime() const;
    std::string _proc_pid_path() const;
    // 1 while this very process runs; never raises.
    int is_running() const;
    uid_t uid();
    std::int64_t elapsed_time();
    std::string state() const;
    // A fresh copy each time.
    std::vector<std::string> cmdline();
    [[noreturn]] void _ended_die() const;

private:
    std::string _pid;
    std::optional<std::int64_t> _ctime;
    std::optional<uid_t> _uid;
    std::optional<std::vector<std::string>> _cmdline;
};

}  // namespace norvik::proc
