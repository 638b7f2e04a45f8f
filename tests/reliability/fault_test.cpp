// Faults around the daemon: one that will not stop, PID files that lie or
// are stale, starts that fail, and what a stop leaves for the service
// monitor. Every case drives the real restartsrv_nkdemo in a private root.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "rel_sandbox.hpp"

using namespace norvik::reltest;

namespace {

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Waits (bounded) for a child of ours to end; its wait status, or -1.
int wait_child(pid_t pid, double timeout) {
    auto end = Clock::now() + std::chrono::duration<double>(timeout);
    int st = 0;
    while (Clock::now() < end) {
        pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) return st;
        if (r < 0) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// A process of ours running a copy of sleep under another name: what a
// recycled pid looks like to the tool.
pid_t spawn_foreign(const std::string& exe) {
    pid_t p = ::fork();
    if (p == 0) {
        ::execl(exe.c_str(), "worker", "120", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return p;
}

int count(const std::vector<Event>& ev, const std::string& what, long pid = 0) {
    return static_cast<int>(std::count_if(
        ev.begin(), ev.end(), [&](const Event& e) { return e.what == what && (pid == 0 || e.pid == pid); }));
}

}  // namespace

TEST(Fault, DaemonIgnoringTermIsKilledByTheEscalationAndTheRestartSucceeds) {
    Sandbox s("--hang-on-term");
    s.write_definition({{"ports", {s.port()}}});
    auto r = s.rs({});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    const pid_t old = s.pid();
    ASSERT_TRUE(alive(old));

    auto t0 = Clock::now();
    r = s.rs({"hard"}, false, 100);
    const double took = since(t0);
    EXPECT_EQ(r.exit_code, 0) << all(r);
    // The stuck daemon was reparented to us (subreaper): its status says how it ended.
    int st = wait_child(old, 5);
    ASSERT_NE(st, -1) << "the daemon that ignored TERM is still there";
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "wait status " << st;
    // KILL came only after the first stage's wait, and the whole run stayed bounded.
    EXPECT_GT(took, 10.0);
    EXPECT_LT(took, 75.0);

    const pid_t now_pid = s.pid();
    EXPECT_NE(now_pid, old);
    EXPECT_TRUE(alive(now_pid)) << all(r);
    auto ev = s.events();
    EXPECT_EQ(count(ev, "hang", old), 1);
    EXPECT_EQ(count(ev, "stop", old), 0);
    EXPECT_EQ(count(ev, "start", now_pid), 1);
    norvik::test::reap_zombies();
}

TEST(Fault, PidFileNamingAnUnrelatedProcessNeverGetsItSignalled) {
    Sandbox s;
    const std::string exe = s.dir() + "/bin/worker";
    std::filesystem::copy_file("/bin/sleep", exe);
    ::chmod(exe.c_str(), 0755);

    struct Case {
        const char* name;
        bool daemon_running;
        std::vector<std::string> args;
    };
    const std::vector<Case> cases = {
        {"stop, service down", false, {"--stop"}},
        {"restart, service down", false, {"hard"}},
        {"stop, service up", true, {"--stop"}},
        {"restart, service up", true, {"hard"}},
        {"status", true, {"--status"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.daemon_running) {
            auto r = s.rs({});
            ASSERT_EQ(r.exit_code, 0) << all(r);
        } else if (alive(s.pid())) {
            ASSERT_EQ(s.rs({"--stop"}).exit_code, 0);
        }
        const pid_t daemon = c.daemon_running ? s.pid() : 0;
        pid_t foreign = spawn_foreign(exe);
        ASSERT_GT(foreign, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // exec done
        norvik::test::write_file(s.pidfile(), std::to_string(foreign) + "\n", 0644);

        auto r = s.rs(c.args, false, 60);
        EXPECT_EQ(r.signal, 0) << all(r);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_TRUE(alive(foreign)) << "pid " << foreign << " was ended: " << all(r);
        EXPECT_NE(state_of(foreign), 'T') << "pid " << foreign << " was stopped";
        int st = 0;
        EXPECT_EQ(::waitpid(foreign, &st, WNOHANG), 0) << "ended with status " << st;
        // A daemon the tool never identified is left running as well.
        if (daemon) {
            EXPECT_TRUE(alive(daemon)) << all(r);
        }

        ::kill(foreign, SIGKILL);
        ::waitpid(foreign, nullptr, 0);
        // Whatever daemon the case left (the one before, or one the restart
        // started) goes, so that the next case finds the port free.
        for (pid_t d : {daemon, s.pid()})
            if (d > 0 && d != foreign && alive(d) && cmdline_of(d).find(s.root()) != std::string::npos)
                ::kill(d, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        norvik::test::reap_zombies();
        ::unlink(s.pidfile().c_str());
    }
}

TEST(Fault, StalePidFileIsRemovedBeforeTheStart) {
    // The first start of each round fails on purpose before the daemon
    // writes a PID file, which shows whether the stale one was removed.
    TempDir t("stale");
    const std::string counter = t.path() + "/counter";
    Sandbox s("--fail-first 1 --counter " + counter);

    pid_t dead = ::fork();
    if (dead == 0) ::_exit(0);
    ::waitpid(dead, nullptr, 0);
    const std::vector<std::pair<std::string, std::string>> stale = {
        {"dead pid", std::to_string(dead) + "\n"},
        {"garbage", "not a pid\n"},
        {"empty", ""},
        {"zero", "0\n"},
        {"negative", "-17\n"},
        {"huge", "99999999999999999999\n"},
        {"binary", std::string("\x01\xff\0"
                               "12",
                               5)},
    };
    for (const auto& [tag, body] : stale) {
        SCOPED_TRACE(tag);
        norvik::test::write_file(counter, "0\n");
        norvik::test::write_file(s.pidfile(), body, 0644);
        auto r = s.rs({});
        EXPECT_EQ(r.exit_code, 255) << all(r);
        EXPECT_EQ(r.signal, 0);
        EXPECT_FALSE(norvik::test::exists(s.pidfile()))
            << "stale PID file left in place, now holding: " << norvik::test::read_file(s.pidfile());

        norvik::test::write_file(s.pidfile(), body, 0644);
        r = s.rs({});
        EXPECT_EQ(r.exit_code, 0) << all(r);
        const pid_t p = s.pid();
        EXPECT_TRUE(alive(p)) << all(r);
        EXPECT_NE(cmdline_of(p).find("norvik_demod"), std::string::npos);
        r = s.rs({"--stop"});
        EXPECT_EQ(r.exit_code, 0) << all(r);
        EXPECT_FALSE(alive(p));
    }
}

TEST(Fault, PidFileThatIsNoPlainFileNeverHangsTheRun) {
    // Whoever can write the PID file's directory could plant these; opening
    // a FIFO for reading would wait for a writer that never comes.
    Sandbox s;
    const std::string fifo = s.dir() + "/elsewhere.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Kind {
        const char* name;
        std::function<void()> plant;
        bool start_works;  // a directory cannot be replaced by the daemon's PID file
    };
    const std::vector<Kind> kinds = {
        {"fifo", [&] { ASSERT_EQ(::mkfifo(s.pidfile().c_str(), 0600), 0); }, true},
        {"link to a fifo", [&] { ASSERT_EQ(::symlink(fifo.c_str(), s.pidfile().c_str()), 0); }, true},
        {"link to /dev/zero", [&] { ASSERT_EQ(::symlink("/dev/zero", s.pidfile().c_str()), 0); }, true},
        {"directory", [&] { ASSERT_EQ(::mkdir(s.pidfile().c_str(), 0700), 0); }, false},
    };
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        k.plant();
        for (const std::vector<std::string>& args : {std::vector<std::string>{"--status"}, {"--stop"}, {"--check"}}) {
            auto t0 = Clock::now();
            auto r = s.rs(args, true, 30);
            EXPECT_EQ(r.signal, 0) << args[0] << " hung: " << all(r);
            EXPECT_LT(since(t0), 20.0) << args[0];
            // Not running: --status and --check say so, --stop has nothing to do.
            EXPECT_EQ(r.exit_code, args[0] == "--stop" ? 0 : 255) << args[0] << ": " << all(r);
            EXPECT_TRUE(s.lock_free());
        }
        auto t0 = Clock::now();
        auto r = s.rs({}, true, 60);
        EXPECT_EQ(r.signal, 0) << "the start hung: " << all(r);
        EXPECT_LT(since(t0), 30.0);
        if (k.start_works) {
            EXPECT_EQ(r.exit_code, 0) << all(r);
            EXPECT_TRUE(alive(s.pid())) << all(r);
            EXPECT_EQ(s.rs({"--stop"}).exit_code, 0);
        } else {
            EXPECT_EQ(r.exit_code, 255) << all(r);
            ::rmdir(s.pidfile().c_str());
        }
        s.kill_daemons();
        ::unlink(s.pidfile().c_str());
    }
}

TEST(Fault, FailedStartShowsTheDaemonsOwnErrorAndExits255) {
    TempDir t("fail");
    {
        // The daemon says why it gives up, and the verbose report shows it.
        Sandbox s("--fail-first 100 --counter " + t.path() + "/counter");
        auto r = s.rs({"--verbose"});
        EXPECT_EQ(r.exit_code, 255) << all(r);
        EXPECT_NE(all(r).find("norvik_demod: failing this start on purpose"), std::string::npos) << all(r);
        std::string log = norvik::test::read_file(s.root() + "/var/norvik/restartsrv/startup_logs/nkdemo");
        EXPECT_NE(log.find("failing this start on purpose"), std::string::npos) << log;
        // Without --verbose: the same status and a message on the error stream.
        r = s.rs({});
        EXPECT_EQ(r.exit_code, 255) << all(r);
        EXPECT_FALSE(r.err.empty());
        r = s.rs({"--start"});
        EXPECT_EQ(r.exit_code, 255) << all(r);
        EXPECT_FALSE(alive(s.pid()));
    }
    {
        // Someone else holds the port: the daemon's own bind error is shown.
        Sandbox s;
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(s.port()));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << std::strerror(errno);
        ASSERT_EQ(::listen(fd, 1), 0);
        auto r = s.rs({"hard", "--verbose"});
        ::close(fd);
        EXPECT_EQ(r.exit_code, 255) << all(r);
        EXPECT_NE(all(r).find("cannot listen on 127.0.0.1:" + std::to_string(s.port())), std::string::npos) << all(r);
        // The port is free again: the next start works.
        r = s.rs({});
        EXPECT_EQ(r.exit_code, 0) << all(r);
    }
}

TEST(Fault, StopSuspendsMonitoringForTheSuspendTime) {
    Sandbox s;
    const std::string file = s.root() + "/var/norvik/servmon/suspended/nkdemo";
    // suspend_time unset (600), set, and above the cap of 3600.
    const std::vector<std::pair<nlohmann::json, long>> cases = {{nullptr, 600}, {900, 900}, {7200, 3600}};
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(expected);
        s.write_definition({{"suspend_time", value}});
        auto r = s.rs({});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        const long t0 = static_cast<long>(std::time(nullptr));
        r = s.rs({"--stop"});
        const long t1 = static_cast<long>(std::time(nullptr));
        ASSERT_EQ(r.exit_code, 0) << all(r);
        EXPECT_FALSE(alive(s.pid()));
        std::string text = norvik::test::read_file(file);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos) << "not a bare number: '" << text << "'";
        long v = std::atol(text.c_str());
        EXPECT_GE(v, t0 + expected);
        EXPECT_LE(v, t1 + expected + 1);
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    // A stop of a service that is down suspends nothing new.
    norvik::test::write_file(file, "12345", 0600);
    auto r = s.rs({"--stop"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(norvik::test::read_file(file), "12345");
}
