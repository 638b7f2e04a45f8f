#include "run/kill_single.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>

namespace norvik::run {
namespace {

void nap(double seconds) {
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - double(ts.tv_sec)) * 1e9);
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

// 1 reaped (status set), 0 still running, -1 not our child.
int try_reap(pid_t pid, int& status) {
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return 1;
        if (r == 0) return 0;
        if (errno == EINTR) continue;
        return -1;
    }
}

}  // namespace

int safekill_single(pid_t pid, double grace_seconds) {
    // Never a group, every process, or init.
    if (pid <= 1) return -1;
    int status = 0;
    // Already finished: its pid cannot be reused before it is reaped, so
    // nothing else could be hit; take the status without signalling.
    int r = try_reap(pid, status);
    if (r != 0) return r == 1 ? status : -1;

    ::kill(pid, SIGTERM);
    double waited = 0;
    const double grace = grace_seconds > 0 ? grace_seconds : 0;
    while (waited < grace) {
        double step = waited > 0.5 ? 0.05 : waited > 0.01 ? 0.01 : 0.0025;
        nap(step);
        waited += step;
        r = try_reap(pid, status);
        if (r == 1) return status;
        if (r < 0) return -1;
    }
    ::kill(pid, SIGKILL);
    for (;;) {
        pid_t w = ::waitpid(pid, &status, 0);
        if (w == pid) return status;
        if (w < 0 && errno == EINTR) continue;
        return -1;
    }
}

}  // namespace norvik::run
