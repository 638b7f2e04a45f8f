// Whether a service runs: what systemd says of its unit (when it has one),
// its PID file, and the process table, in that order.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace norvik::proc {

// What systemd says of the service's unit, as the caller asked it.
struct UnitFacts {
    std::string type;           // Type: "simple", "forking", "oneshot"...
    std::string active_state;   // ActiveState
    std::string sub_state;      // SubState
    std::string main_pid;       // MainPID as systemd wrote it
    std::string fragment_path;  // FragmentPath
    pid_t pid = 0;              // the unit's main process, 0 for none
    // The unit's processes, asked for only when the main pid is not enough.
    std::function<std::vector<pid_t>()> pids;
};

struct CheckServiceOptions {
    std::string service;
    pid_t pid = 0;  // 0: none given
    std::string pidfile;
    std::string user;
    std::string check_method;
    // Nothing: the unit is not asked for (no unit, or checked without systemd).
    std::optional<UnitFacts> unit;
    // A process named by the PID file counts only when it is the service's
    // (proc::foreign_reason with these and service/user).
    std::string binary;
    std::string pid_exe;
    // Told when the PID file names another process.
    std::function<void(const std::string&)> warn;
};
// A non-empty report when the service runs, "" otherwise. Never raises for
// a vanished process.
std::string check_service(const CheckServiceOptions& opts);

// The last resort of check_service (answers "" unless something is set).
using OutsideCheckService = std::function<std::string(const CheckServiceOptions&)>;
void set_outside_check_service(OutsideCheckService fn);

}  // namespace norvik::proc
