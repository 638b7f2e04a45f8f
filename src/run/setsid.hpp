// Detaches the calling process from its terminal and session (fork, setsid,
// fork). Returns 0 in the detached process. In the caller: with keep_parent,
// the pid of the first child once it has ended (norvik::child_status() then
// carries the detached process's exit code); without it, the caller exits 0.
// Fork/setsid failures raise "IO::ForkError" / "IO::SetsidError" (param error).
//
// Note: the detached process is re-parented to the nearest subreaper (or
// process 1); tests must make themselves a subreaper and reap it.
#pragma once

#include <sys/types.h>

#include <functional>

namespace norvik::run {

struct SetsidOptions {
    bool keep_parent = false;
    // With keep_parent: seconds to wait for the detached session (0: no
    // limit). At the limit on_timeout gets the session's id and must end
    // it; the wait then goes on until the first child has ended.
    double timeout = 0;
    std::function<void(pid_t session)> on_timeout;
    // Called in the intermediate instead of forking the worker: it starts
    // the worker without copying this process (a fork of a large program is
    // the slow part of a short command) and returns its pid, or the system
    // error number negated, which the intermediate then exits with. With it
    // full_daemonize never returns 0.
    std::function<pid_t()> spawn_worker;
};

pid_t full_daemonize(const SetsidOptions& options = {});

// With keep_parent, the first child (leader of the detached session) while
// the caller waits for it, else 0. Safe to read from a signal handler, so
// that a run ended by a signal can end the session it started and waits on.
pid_t waited_session();

// True when the last wait of full_daemonize reached its time limit.
bool last_wait_timed_out();

// Makes the calling process the leader of a new session; -1 on failure.
pid_t fast_setsid();

}  // namespace norvik::run
