// Reads a pid file and tells whether the process it names runs.
//
// The namespace component "unix" is a predefined macro in GNU dialects; the
// project builds with -std=c++20 where it is not, and the guard below keeps
// this header usable either way.
#pragma once

#include <sys/types.h>

#include <string>

#ifdef unix
#undef unix
#endif

namespace norvik::proc {

class Tiny {
public:
    Tiny() = default;
    // The pid written in the file when that process runs (and is no zombie),
    // else 0. The file must hold one all-digit pid (whitespace around it is
    // allowed); anything else counts as not running.
    pid_t is_pidfile_running(const std::string& pid_file_path) const;
    // The pid in the file, or 0 when it holds no valid pid.
    pid_t get_pid_from_pidfile(const std::string& pid_file_path) const;
    // True when the pid runs and is not a zombie.
    bool is_pid_running(pid_t pid) const;
};

}  // namespace norvik::proc
