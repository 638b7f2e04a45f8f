// Ending processes by program name or pid with a two-stage escalation
// (TERM, then KILL) and bounded waits. The calling program, the immune pids,
// pid 0, pid 1 and negative pids are never signalled.
//
// Note: this header declares the namespace norvik::kill; inside namespace
// norvik call the system function as ::kill(pid, sig).
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "proc/process_table.hpp"

namespace norvik::proc {
// HUP 1, KILL 9, USR1 10, USR2 12, ALRM 14, TERM 15, CHLD 17.
const std::map<std::string, int>& SIGNAL_NUMBER();

inline constexpr double DEFAULT_WAIT_TIME = 15.0;

// 1 when the processes found are gone at the end, 0 otherwise (also when
// none is found). wait_time_in_seconds 0 means the 15 s default.
int safekill(const proc::ProcName& name, bool verbose = false, double wait_time_in_seconds = 0,
             const std::vector<pid_t>& immune_pids = {}, const proc::AllowedOwners& allowed_owners = std::nullopt);

// The same escalation for given pids (no name search, no immune set beyond
// the caller itself).
int safekill_multipid(const std::vector<pid_t>& pids, bool verbose = false, double wait_time_in_seconds = 0);

struct KillallResult {
    int success = 0;
    int count = 0;
    std::string message;
};
// One signal (a name of SIGNAL_NUMBER or a number, as text), sent once.
KillallResult killall(const std::string& signal, const proc::ProcName& name, bool verbose = false,
                      const std::vector<pid_t>& immune_pids = {},
                      const proc::AllowedOwners& allowed_owners = std::nullopt);

// The escalation itself.
int _safekill_multipid(const std::vector<pid_t>& pids, bool verbose, double wait_time_in_seconds,
                       const std::vector<pid_t>& immune, const std::string& display_name = "");

// Number of pids the signal was delivered to. With signal 0 (the probe) a
// zombie does not count. Unsignalable pids are never touched.
int _kill_group(int signal, const std::vector<pid_t>& pids);

// (1, message) when /proc is there, (0, message) when absent and not mountable.
std::pair<int, std::string> _verify_proc_mounted();

// Test hook: hold targets by their start time instead of a pidfd (the way
// taken where the kernel has no pidfds).
void set_pidfd_enabled(bool enabled);

// Test hook: the sleep used by the escalation (default: nanosleep). The
// budget is counted from the requested amounts, not from the clock.
void set_sleep_function(std::function<void(double)> fn);

}  // namespace norvik::proc
