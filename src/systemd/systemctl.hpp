// The one way the program runs systemctl: never through a shell, with a fixed
// LANG and TZ on top of the program's environment (so its text can be
// parsed), under a time limit, its output captured. Past the limit systemctl
// is ended; what that leaves to systemd is the caller's to handle.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace norvik::systemd {

inline constexpr int NOT_RUNNABLE_STATUS = 127 << 8;

struct SystemctlCall {
    std::vector<std::string> args;
    double timeout = 0;         // seconds
    bool merge_stderr = false;  // else the error output is dropped
};

struct SystemctlResult {
    int status = NOT_RUNNABLE_STATUS;  // raw wait status; 127 << 8 when it could not run
    bool timed_out = false;
    bool exec_failed = false;
    std::string output;
    std::string autopsy;  // how it ended, in words ("" when it could not start)
};

class Systemctl {
public:
    virtual ~Systemctl() = default;
    virtual SystemctlResult run(const SystemctlCall& call) = 0;
};

// The environment systemctl gets on top of ours.
const std::map<std::string, std::string>& systemctl_env();

// The runner in use: the real one unless a test installed another.
Systemctl& systemctl();
// Installs a runner (nullptr: the real one again). A global because the
// queries are free functions called from every floor above.
void set_systemctl(Systemctl* runner);

}  // namespace norvik::systemd
