#include "run/setsid.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>

#include "exception/exception.hpp"
#include "foundation/child_status.hpp"
#include "run/errno_names.hpp"
#include "run/fork_async.hpp"

namespace norvik::run {
namespace {

[[noreturn]] void raise_errno(const std::string& type, const std::string& call, int err) {
    auto e = exception::create(type, "The system failed to call “[_1]” because of an error: [_2]",
                               {call, run::strerror_text(err)});
    e->set("error", run::strerror_text(err));
    e->set("errno", err);
    e->raise();
    __builtin_unreachable();
}

pid_t fork_or_raise() {
    pid_t pid = ::fork();
    if (pid < 0) raise_errno("IO::ForkError", "fork", errno);
    return pid;
}

int wait_for(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// Signal handler state: the session being waited for.
std::atomic<pid_t> g_waited_session{0};
// Whether the last session wait hit its limit.
bool g_timed_out = false;

// Waits for the child `pid` at most `timeout` seconds; false at the limit.
bool wait_bounded(pid_t pid, double timeout, int& status) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::duration<double>(timeout);
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    bool done = false;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            done = true;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0) break;
        if (pidfd >= 0) {
            struct pollfd p {
                pidfd, POLLIN, 0
            };
            ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000)));
        } else {
            ::usleep(static_cast<useconds_t>(std::min<long long>(left, 20)) * 1000);
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    return done;
}

// In the intermediate: waits for the worker. Should the caller die first (a
// KILLed run), what the session still runs is ended at once: left alone, a
// slow init script's stop would go on without the run's lock or time limit
// and end the daemon a later run started.
int wait_for_worker(pid_t worker, pid_t caller, const SetsidOptions& options) {
    int worker_fd = static_cast<int>(::syscall(SYS_pidfd_open, worker, 0));
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(worker, &status, WNOHANG);
        if (r == worker) {
            if (worker_fd >= 0) ::close(worker_fd);
            return status;
        }
        if (r < 0 && errno != EINTR) break;
        // An orphan is adopted by a reaper: the caller is gone.
        if (::getppid() != caller) {
            if (options.on_timeout) options.on_timeout(::getpid());
            else ::kill(worker, SIGKILL);
            break;
        }
        if (worker_fd >= 0) {
            struct pollfd p {
                worker_fd, POLLIN, 0
            };
            ::poll(&p, 1, 100);
        } else {
            ::usleep(20000);
        }
    }
    if (worker_fd >= 0) ::close(worker_fd);
    return wait_for(worker);
}

}  // namespace

pid_t waited_session() { return g_waited_session.load(); }
bool last_wait_timed_out() { return g_timed_out; }

pid_t full_daemonize(const SetsidOptions& options) {
    const pid_t caller = ::getpid();
    pid_t first = fork_or_raise();
    if (first > 0) {
        if (!options.keep_parent) run::child_exit(0);
        g_waited_session.store(first);
        g_timed_out = false;
        int status = 0;
        if (options.timeout > 0 && !wait_bounded(first, options.timeout, status)) {
            g_timed_out = true;
            if (options.on_timeout) options.on_timeout(first);
            else ::kill(-first, SIGKILL);
            status = wait_for(first);
        } else if (options.timeout <= 0) {
            status = wait_for(first);
        }
        g_waited_session.store(0);
        set_child_status(status);
        return first;
    }
    g_waited_session.store(0);
    // The first child: a new session, then the worker. A waited-for one
    // that lost its caller already starts nothing.
    if (options.keep_parent && ::getppid() != caller) run::child_exit(1);
    if (fast_setsid() == -1 && errno != 0) {
        int err = errno;
        std::string line = "setsid: " + run::strerror_text(err) + "\n";
        ssize_t ignored = ::write(2, line.data(), line.size());
        (void)ignored;
        run::child_exit(err);
    }
    pid_t second;
    if (options.spawn_worker) {
        second = options.spawn_worker();
        // Never go on as the worker: that is the caller's code in a copy.
        if (second <= 0) run::child_exit(second < 0 ? -second : 1);
    } else {
        try {
            second = fork_or_raise();
        } catch (...) {  // the first child must _exit, never unwind into the caller's code
            run::child_exit(errno ? errno : 1);
        }
    }
    if (second > 0) {
        if (!options.keep_parent) run::child_exit(0);
        int status = wait_for_worker(second, caller, options);
        int code = 1;
        if (status >= 0 && WIFEXITED(status)) code = WEXITSTATUS(status);
        else if (status >= 0 && WIFSIGNALED(status)) code = 128 + WTERMSIG(status);
        run::child_exit(code);
    }
    return 0;
}

pid_t fast_setsid() { return static_cast<pid_t>(::syscall(SYS_setsid)); }

}  // namespace norvik::run
