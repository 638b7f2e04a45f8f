// Real processes with chosen names for the process tests; every child is
// killed and reaped when its Spawned handle goes away.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace proctest {

// A name no other process on the machine has.
inline std::string unique_name(const std::string& stem) {
    static std::mt19937 rng(static_cast<unsigned>(::getpid()) ^
                            static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(rng() % 1000000);
}

struct Spawned {
    pid_t pid = -1;
    bool reaped = false;
    int status = 0;
    Spawned() = default;
    explicit Spawned(pid_t p) : pid(p) {}
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;
    Spawned(Spawned&& o) noexcept : pid(o.pid), reaped(o.reaped), status(o.status) { o.pid = -1; }
    Spawned& operator=(Spawned&& o) noexcept {
        if (this != &o) {
            cleanup();
            pid = o.pid;
            reaped = o.reaped;
            status = o.status;
            o.pid = -1;
        }
        return *this;
    }
    ~Spawned() { cleanup(); }
    void cleanup() {
        if (pid > 0 && !reaped) {
            // Reaped elsewhere (the escalation reaps the caller's children):
            // the pid may belong to someone else now, so leave it alone.
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid || (r < 0 && errno == ECHILD)) {
                reaped = true;
                return;
            }
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
            reaped = true;
        }
    }
    // Waits (up to timeout) for the child to end; true when it was reaped here.
    bool wait_exit(double timeout = 5.0) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
        while (std::chrono::steady_clock::now() < end) {
            pid_t r = ::waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                reaped = true;
                return true;
            }
            if (r < 0) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

// fork + optional child setup + execv(path, argv); waits until the exec has
// happened (the child's cmdline shows argv[0]).
inline Spawned spawn(const std::string& path, const std::vector<std::string>& argv,
                     const std::function<void()>& in_child = {}) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return Spawned();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        if (in_child) in_child();
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        ::execv(path.c_str(), cargv.data());
        _exit(127);
    }
    ::close(p[1]);
    char c;
    while (::read(p[0], &c, 1) < 0 && errno == EINTR) {}  // EOF once exec closed the pipe
    ::close(p[0]);
    return Spawned(pid);
}

// /bin/sleep under a chosen argv[0].
inline Spawned spawn_sleep(const std::string& argv0, const std::string& seconds = "30",
                           const std::function<void()>& in_child = {}) {
    return spawn("/bin/sleep", {argv0, seconds}, in_child);
}

inline bool contains(const std::vector<pid_t>& v, pid_t p) {
    for (pid_t x : v)
        if (x == p) return true;
    return false;
}

// Runs fn as process 1 of a private PID namespace with its own /proc, where
// pids can be handed out on demand (recycle). Gives fn's result, or -1 when
// the namespace cannot be made.
inline int in_pid_namespace(const std::function<int()>& fn) {
    pid_t outer = ::fork();
    if (outer < 0) return -1;
    if (outer == 0) {
        if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) _exit(255);
        pid_t init = ::fork();
        if (init < 0) _exit(255);
        if (init == 0) {
            if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
                _exit(255);
            _exit(fn());
        }
        int st = 0;
        while (::waitpid(init, &st, 0) < 0 && errno == EINTR) {}
        _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 254);
    }
    int st = 0;
    while (::waitpid(outer, &st, 0) < 0 && errno == EINTR) {}
    if (!WIFEXITED(st) || WEXITSTATUS(st) == 255) return -1;
    return WEXITSTATUS(st);
}

// Inside in_pid_namespace: the next process made gets `pid` (if it is free).
inline Spawned recycle_pid(pid_t pid, const std::string& argv0) {
    FILE* f = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
    if (!f) return Spawned();
    std::fprintf(f, "%d", static_cast<int>(pid - 1));
    std::fclose(f);
    return spawn_sleep(argv0, "60");
}

}  // namespace proctest
