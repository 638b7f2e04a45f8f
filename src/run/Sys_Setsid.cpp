#include "run/Sys_Setsid.hpp"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "exception/Exception.hpp"
#include "foundation/ChildStatus.hpp"
#include "run/Errno.hpp"
#include "run/ForkAsync.hpp"

namespace norvik::sys::setsid {
namespace {

[[noreturn]] void raise_errno(const std::string& type, const std::string& call, int err) {
    auto e = exception::create(type, "The system failed to call “[_1]” because of an error: [_2]",
                               {call, errnum::strerror_text(err)});
    e->set("error", errnum::strerror_text(err));
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

std::atomic<pid_t> g_waited_session{0};

}  // namespace

pid_t waited_session() { return g_waited_session.load(); }

pid_t full_daemonize(const Options& options) {
    pid_t first = fork_or_raise();
    if (first > 0) {
        if (!options.keep_parent) forkasync::child_exit(0);
        g_waited_session.store(first);
        int status = wait_for(first);
        g_waited_session.store(0);
        set_child_status(status);
        return first;
    }
    g_waited_session.store(0);
    // The first child: a new session, then the worker.
    if (fast::fast_setsid() == -1 && errno != 0) {
        int err = errno;
        std::string line = "setsid: " + errnum::strerror_text(err) + "\n";
        ssize_t ignored = ::write(2, line.data(), line.size());
        (void)ignored;
        forkasync::child_exit(err);
    }
    pid_t second;
    try {
        second = fork_or_raise();
    } catch (...) {
        forkasync::child_exit(errno ? errno : 1);
    }
    if (second > 0) {
        if (!options.keep_parent) forkasync::child_exit(0);
        int status = wait_for(second);
        int code = 1;
        if (status >= 0 && WIFEXITED(status)) code = WEXITSTATUS(status);
        else if (status >= 0 && WIFSIGNALED(status)) code = 128 + WTERMSIG(status);
        forkasync::child_exit(code);
    }
    return 0;
}

}  // namespace norvik::sys::setsid

namespace norvik::sys::setsid::fast {

pid_t fast_setsid() { return static_cast<pid_t>(::syscall(SYS_setsid)); }

}  // namespace norvik::sys::setsid::fast
