// Another user's processes that look like the service's: listeners on its
// port number and a program of its daemon's name in its PID file. The real
// restartsrv_nkdemo signals one only when the start needs it gone, and says so.
#include <net/if.h>
#include <netdb.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "RelSandbox.hpp"

using namespace norvik::reltest;

namespace {

// A child of ours that runs fn as nobody.
template <class F>
pid_t as_nobody(F fn) {
    pid_t p = ::fork();
    if (p == 0) {
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) fn();
        ::_exit(127);
    }
    return p;
}

// Nobody listening on address:port once this returns; 0 when it cannot.
pid_t nobody_listener(const char* address, int port) {
    addrinfo hints {}, *ai = nullptr;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    hints.ai_socktype = SOCK_STREAM;
    int ready[2];
    if (::getaddrinfo(address, std::to_string(port).c_str(), &hints, &ai) != 0 || ::pipe2(ready, O_CLOEXEC) != 0) return 0;
    pid_t p = as_nobody([&] {
        int fd = ::socket(ai->ai_family, SOCK_STREAM, 0);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 4) == 0 && ::write(ready[1], "y", 1) == 1)
            for (;;) ::pause();
    });
    ::freeaddrinfo(ai);
    ::close(ready[1]);
    char c;
    const bool up = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    if (!up) ::waitpid(p, nullptr, 0);
    return up ? p : 0;
}

}  // namespace

TEST(Foreign, AnotherUsersListenersAndProgramOfTheDaemonsNameGetNoSignal) {
    // A network namespace of this thread's own: the ports are never the host's.
    struct Back {
        int fd = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ~Back() {
            if (::setns(fd, CLONE_NEWNET) != 0) std::abort();
            ::close(fd);
        }
    } back;
    struct ifreq lo {};
    std::strcpy(lo.ifr_name, "lo");
    const int ctl = ::unshare(CLONE_NEWNET) == 0 ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    const bool up = ctl >= 0 && ::ioctl(ctl, SIOCGIFFLAGS, &lo) == 0 &&
                    (lo.ifr_flags |= IFF_UP, ::ioctl(ctl, SIOCSIFFLAGS, &lo)) == 0;
    if (ctl >= 0) ::close(ctl);
    if (!up) GTEST_SKIP() << "no private network namespace with a loopback here";
    Sandbox s;
    s.write_definition({{"support_reload", true}, {"ports", nlohmann::json::array({s.port()})}}, {{"base", "Hot"}});
    ASSERT_EQ(s.rs({"--start"}).exit_code, 0);
    std::vector<pid_t> others;  // no conflict with the daemon's 127.0.0.1
    for (const char* address : {"127.0.0.2", "::1"})
        if (pid_t p = nobody_listener(address, s.port())) others.push_back(p);
    ASSERT_FALSE(others.empty());
    auto untouched = [&](pid_t p, const std::string& run, const RunResult& r) {
        EXPECT_TRUE(alive(p) && ::waitpid(p, nullptr, WNOHANG) == 0) << run << " signalled " << p << ": " << all(r);
    };
    for (const char* run : {"--stop", "--start", "hard"}) {
        auto r = s.rs({run}, false);
        EXPECT_EQ(r.exit_code, 0) << run << ": " << all(r);
        for (pid_t p : others) untouched(p, run, r);
    }

    // The daemon dies and leaves its PID file; nobody's copy of sleep named
    // like it gets the pid.
    ::kill(s.pid(), SIGKILL);
    const std::string exe = s.dir() + "/norvik_demod";
    std::filesystem::copy_file("/bin/sleep", exe);
    ::chmod(exe.c_str(), 0755);
    const int exe_fd = ::open(exe.c_str(), O_RDONLY | O_CLOEXEC);
    char* argv[] = {const_cast<char*>("norvik_demod"), const_cast<char*>("300"), nullptr};
    const pid_t foreign = as_nobody([&] { ::fexecve(exe_fd, argv, environ); });
    for (int i = 0; i < 200 && cmdline_of(foreign).rfind("norvik_demod", 0) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    norvik::test::write_file(s.pidfile(), std::to_string(foreign) + "\n", 0644);
    others.push_back(foreign);
    for (const char* run : {"--status", "--check", "--reload", "--restart"}) {
        auto r = s.rs({run}, false);
        EXPECT_EQ(r.exit_code == 0, std::string(run) == "--restart") << run << ": " << all(r);
        EXPECT_EQ(all(r).find("running as nobody"), std::string::npos) << run << ": " << all(r);
        for (pid_t p : others) untouched(p, run, r);
    }
    EXPECT_TRUE(alive(s.pid()) && s.pid() != foreign);

    // One on the daemon's own address keeps it from starting: it is ended,
    // and a warning names it.
    ASSERT_EQ(s.rs({"--stop"}).exit_code, 0);
    for (pid_t p : others) ::kill(p, SIGKILL), ::waitpid(p, nullptr, 0);
    const pid_t holder = nobody_listener("127.0.0.1", s.port());
    auto r = s.rs({"--start"}, false);
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_TRUE(alive(s.pid())) << all(r);
    const std::string warned = "The process " + std::to_string(holder) + " (" +
                               std::filesystem::read_symlink("/proc/self/exe").string() + ") of the user “nobody”";
    EXPECT_NE((all(r) + s.error_log()).find(warned), std::string::npos) << all(r);
    int gone = 0;
    for (int i = 0; i < 400 && (gone = ::waitpid(holder, nullptr, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(gone, holder) << "the holder was left: " << all(r);
    if (gone == 0) ::kill(holder, SIGKILL), ::waitpid(holder, nullptr, 0);
}
