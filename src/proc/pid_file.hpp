// Reading a service's PID file, and deciding whether the process it names
// is the service's own, before anything is signalled or reported running.
#pragma once

#include <sys/types.h>

#include <string>

namespace norvik::proc {

struct Read {
    pid_t pid = 0;        // 0: no pid
    std::string problem;  // why the file is not used ("" when it is, or is simply absent or empty)
};

// Opens the file once, without following a link, checks what was opened (a
// plain file; with `owner` given: owned by root or that user and writable by
// nobody else) and reads the pid from that same descriptor, so that a file
// swapped in between cannot slip past the check. A missing file is no problem.
// Without check_owner (a query that signals nothing) only the plain-file
// test remains, and a link is followed.
Read read_checked(const std::string& path, const std::string& owner = "", bool check_owner = true);

// What a process must be to count as the service's.
struct Identity {
    std::string service;  // the service's name
    std::string binary;   // its daemon's path, may be empty
    std::string owner;    // processowner ("" = root)
    std::string pid_exe;  // pattern for the executable, may be empty
};

// Whether a process of uid runs as the service: root's, or its owner's
// (processowner, "" for none).
bool is_owner(uid_t uid, const std::string& owner);

// "" when the process is the service's own, else why not. It must belong to
// root or the owner; with pid_exe its executable must match that, without,
// its executable or command line must name the binary or the service.
// This program and its parents are never the service.
std::string foreign_reason(pid_t pid, const Identity& id);

// The warning for a PID file that names a process which is not the service's.
std::string foreign_warning(const std::string& path, const std::string& service, pid_t pid, const std::string& reason);

}  // namespace norvik::proc
