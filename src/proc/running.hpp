// Confirms that a pid runs the expected command as the expected user.
#pragma once

#include <sys/types.h>

#include <memory>
#include <regex>
#include <string>
#include <variant>

#include "proc/pid.hpp"

namespace norvik::proc {

struct RunningOptions {
    // Text the command line must contain (case ignored), or a compiled pattern.
    std::variant<std::string, std::regex> pattern;
    // How a compiled pattern reads in messages (a compiled pattern keeps no text).
    std::string pattern_text;
    std::string pid;
    std::string user;  // name or uid
    bool use_services_ignore = false;
};

class Running {
public:
    // Raises ProcessCheck::MissingPattern, Proc::InvalidPid, Proc::Ended, or
    // the user-lookup exception for an empty or unknown user.
    explicit Running(const RunningOptions& options);

    proc::PID& pid_object() { return *_pid; }
    // 1, or raises ProcessCheck::CommandMismatch / IgnoredCommand / WrongOwner
    // (checked in that order).
    int check_all();

private:
    std::unique_ptr<proc::PID> _pid;
    uid_t _uid = 0;
    std::variant<std::string, std::regex> _pattern;
    std::string pattern_text_;
    bool _use_services_ignore = false;
};

}  // namespace norvik::proc
