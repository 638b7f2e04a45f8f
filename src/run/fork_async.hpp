// Runs code in a child without waiting for it. The child exits 0 when the
// code returns; when it throws, the error text goes to standard error
// (after a log warning unless no_warn; neither when quiet) and the exit code
// is errno, or DEFAULT_ERROR_CODE when errno is 0. Fork failure raises
// "IO::ForkError" (param error).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <exception>
#include <functional>

namespace norvik::run {

constexpr int DEFAULT_ERROR_CODE = 127;

struct Flags {
    bool quiet = false;
    bool no_warn = false;
};

pid_t do_in_child(const std::function<void()>& code, Flags flags = {});
pid_t do_in_child_quiet(const std::function<void()>& code);

// The text and exit code for an error caught in a child (shared with ForkSync).
void report_child_error(const std::exception_ptr& error, Flags flags);
// Ends a forked child without running the parent's exit handlers or
// destructors of statics.
[[noreturn]] void child_exit(int code);

// SIGCHLD at its default while a child runs, so that it stays waitable; the
// end of the scope (or restore()) puts back an ignored one.
class SigchldDefault {
public:
    SigchldDefault();
    ~SigchldDefault() { restore(); }
    SigchldDefault(const SigchldDefault&) = delete;
    SigchldDefault& operator=(const SigchldDefault&) = delete;
    void restore();

private:
    struct sigaction old_ {};
    bool changed_ = false;
};

// Waits for `pid` through interruptions; its wait status, or -1.
int reap(pid_t pid);

}  // namespace norvik::run
