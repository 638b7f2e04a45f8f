// Another user's processes that look like the service's: listeners on its
// port number and a program of its daemon's name in its PID file. The real
// restartsrv_nkdemo signals one only when the start needs it gone, and says so.
#include <netdb.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "rel_sandbox.hpp"

using namespace norvik::reltest;

namespace {

// A child of ours that runs as nobody, holding a listener on address:port
// (when given) or running exec_fd.
pid_t as_nobody(const char* address, int port, int exec_fd = -1) {
    addrinfo hints{}, *ai = nullptr;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    int fd = -1;
    if (address && ::getaddrinfo(address, std::to_string(port).c_str(), &hints, &ai) == 0) {
        fd = ::socket(ai->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(fd, 4) != 0) ::close(fd), fd = -1;
        ::freeaddrinfo(ai);
    }
    if (address && fd < 0) return 0;
    char* argv[] = {const_cast<char*>("norvik_demod"), const_cast<char*>("300"), nullptr};
    pid_t p = ::fork();
    if (p == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
        if (exec_fd >= 0) ::fexecve(exec_fd, argv, environ);
        for (;;) ::pause();
    }
    if (p == 0) ::_exit(127);
    for (int f : {fd, exec_fd})
        if (f >= 0) ::close(f);
    return p;
}

}  // namespace

TEST(Foreign, AnotherUsersListenersAndProgramOfTheDaemonsNameGetNoSignal) {
    Sandbox s;
    s.write_definition({{"support_reload", true}, {"ports", nlohmann::json::array({s.port()})}}, {{"base", "Hot"}});
    ASSERT_EQ(s.rs({"--start"}).exit_code, 0);
    std::vector<pid_t> others;  // none conflicts with the daemon's 127.0.0.1
    for (const char* address : {"127.0.0.2", "::1"})
        if (pid_t p = as_nobody(address, s.port())) others.push_back(p);
    ASSERT_FALSE(others.empty());
    auto run = [&](const char* arg, bool ok) {
        auto r = s.rs({arg}, false);
        EXPECT_EQ(r.exit_code == 0, ok) << arg << ": " << all(r);
        EXPECT_EQ(all(r).find("running as nobody"), std::string::npos) << arg << ": " << all(r);
        for (pid_t p : others)
            EXPECT_TRUE(alive(p) && ::waitpid(p, nullptr, WNOHANG) == 0) << arg << " signalled " << p << ": " << all(r);
    };
    for (const char* arg : {"--stop", "--start", "hard"}) run(arg, true);

    // The daemon dies, leaving its PID file; nobody's sleep named like it gets the pid.
    ::kill(s.pid(), SIGKILL);
    const std::string exe = s.dir() + "/norvik_demod";
    std::filesystem::copy_file("/bin/sleep", exe);
    ::chmod(exe.c_str(), 0755);
    const pid_t foreign = as_nobody(nullptr, 0, ::open(exe.c_str(), O_RDONLY | O_CLOEXEC));
    for (int i = 0; i < 200 && cmdline_of(foreign).rfind("norvik_demod", 0) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    norvik::test::write_file(s.pidfile(), std::to_string(foreign) + "\n", 0644);
    others.push_back(foreign);
    for (const char* arg : {"--status", "--check", "--reload"}) run(arg, false);
    run("--restart", true);
    EXPECT_TRUE(alive(s.pid()) && s.pid() != foreign);

    // One on the daemon's own address keeps it from starting: it is ended, and named.
    ASSERT_EQ(s.rs({"--stop"}).exit_code, 0);
    for (pid_t p : others)
        if (::waitpid(p, nullptr, WNOHANG) == 0) ::kill(p, SIGKILL), ::waitpid(p, nullptr, 0);
    const pid_t holder = as_nobody("127.0.0.1", s.port());
    auto r = s.rs({"--start"}, false);
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_TRUE(alive(s.pid())) << all(r);
    EXPECT_NE((all(r) + s.error_log())
                  .find("The process " + std::to_string(holder) + " (" +
                        std::filesystem::read_symlink("/proc/self/exe").string() + ") of the user “nobody”"),
              std::string::npos)
        << all(r);
    // The run waited for it to end.
    const bool ended = ::waitpid(holder, nullptr, WNOHANG) == holder;
    EXPECT_TRUE(ended) << "the holder was left: " << all(r);
    if (!ended) ::kill(holder, SIGKILL), ::waitpid(holder, nullptr, 0);
}
