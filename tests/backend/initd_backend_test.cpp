// The init.d back end's layered stop and its starts through the startup log.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.hpp"
#include "foundation/paths.hpp"
#include "service/service.hpp"
#include "backend/initd_backend.hpp"

using norvik::backend::Initd;
using norvik::service::Base;
using norvik::test::TempDir;

namespace {
class InitdStop : public ::testing::Test {
protected:
    void SetUp() override {
        norvik::test::become_subreaper();
        norvik::foundation::set_root_for_testing(root_.path());
        norvik::test::make_dirs(root_ / "etc/init.d");
        // Without the log directory the warnings go to standard error.
        norvik::test::make_dirs(root_ / "usr/local/norvik/logs");
        Initd::set_pid_stop_wait_for_testing(5);
    }
    void TearDown() override {
        Initd::set_pid_stop_wait_for_testing(Initd::PID_STOP_WAIT);
        norvik::foundation::set_root_for_testing("");
        norvik::test::reap_zombies();
    }
    pid_t spawn(const std::string& program, const std::string& name) {
        pid_t child = ::fork();
        if (child == 0) {
            ::execl(program.c_str(), name.c_str(), "30", nullptr);
            ::_exit(127);
        }
        ::usleep(150000);
        return child;
    }
    bool ended(pid_t pid) {
        int st = 0;
        return ::waitpid(pid, &st, WNOHANG) == pid;
    }
    std::string log() {
        return norvik::test::exists(norvik::foundation::error_log())
                   ? norvik::test::read_file(norvik::foundation::error_log())
                   : "";
    }
    TempDir root_{"mi"};
};
}  // namespace

TEST_F(InitdStop, ForeignExecutableInPidFileIsNotSignalledAndRulesRun) {
    pid_t foreign = spawn("/bin/sleep", "sleep");
    std::string doomed = "nvkleft" + std::to_string(::getpid());
    norvik::test::write_file(root_ / doomed, norvik::test::read_file("/bin/sleep"), 0755);
    pid_t leftover = spawn(root_ / doomed, doomed);
    norvik::test::write_file(root_ / "demo.pid", std::to_string(foreign) + "\n", 0644);
    Base srv(nlohmann::json{{"service", "demo"},
                            {"pidfile", root_ / "demo.pid"},
                            {"pid_exe", "/usr/sbin/demo-daemon$"},
                            {"doomed_rules", {doomed}}});
    Initd m("demo");
    EXPECT_TRUE(m.stop(srv));
    ::usleep(100000);
    EXPECT_FALSE(ended(foreign));
    EXPECT_EQ(::kill(foreign, 0), 0);
    EXPECT_TRUE(ended(leftover) || ::kill(leftover, 0) != 0);
    EXPECT_EQ(m.last_stop_successes(), 1);
    EXPECT_NE(log().find("demo.pid"), std::string::npos) << log();
    ::kill(foreign, SIGKILL);
    ::kill(leftover, SIGKILL);
}

TEST_F(InitdStop, MatchingPidIsStoppedAndAwaited) {
    // pid_exe matches the sleep program, even with the deleted marker rule.
    pid_t own = spawn("/bin/sleep", "sleep");
    norvik::test::write_file(root_ / "demo.pid", std::to_string(own) + "\n", 0644);
    Base srv(nlohmann::json{{"service", "demo"}, {"pidfile", root_ / "demo.pid"}, {"pid_exe", "sleep"}});
    Initd m("demo");
    m.stop(srv);
    EXPECT_EQ(m.last_stop_successes(), 1);
    int st = 0;
    EXPECT_EQ(::waitpid(own, &st, WNOHANG), own);
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);
}

TEST_F(InitdStop, UntrustedOrBrokenPidFilesAreNotActedOn) {
    pid_t victim = spawn("/bin/sleep", "sleep");
    Initd m("demo");
    // Writable by others.
    norvik::test::write_file(root_ / "w.pid", std::to_string(victim) + "\n", 0666);
    Base a(nlohmann::json{{"service", "demo"}, {"pidfile", root_ / "w.pid"}});
    m.stop(a);
    // A symbolic link.
    ASSERT_EQ(::symlink((root_ / "w.pid").c_str(), (root_ / "l.pid").c_str()), 0);
    Base b(nlohmann::json{{"service", "demo"}, {"pidfile", root_ / "l.pid"}});
    m.stop(b);
    // Garbage and an empty line.
    for (const char* text : {"garbage\n", "\n", "0\n", "-1\n"}) {
        norvik::test::write_file(root_ / "g.pid", text, 0644);
        Base c(nlohmann::json{{"service", "demo"}, {"pidfile", root_ / "g.pid"}});
        m.stop(c);
        EXPECT_EQ(m.last_stop_successes(), 0);
    }
    EXPECT_FALSE(ended(victim));
    EXPECT_EQ(::kill(victim, 0), 0);
    ::kill(victim, SIGKILL);
}

TEST_F(InitdStop, InitScriptStartAndStopThroughTheStartupLog) {
    std::string calls = root_ / "calls";
    norvik::test::write_file(
        root_ / "etc/init.d/demo",
        "#!/bin/sh\necho \"$1\" >> " + calls + "\necho said $1\n[ \"$1\" = start ] && exit 3\nexit 0\n", 0755);
    Base srv(nlohmann::json{{"service", "demo"}});
    Initd m("demo");
    EXPECT_EQ(m.init_script(), root_ / "etc/init.d/demo");
    EXPECT_FALSE(m.start(srv));  // exit 3
    EXPECT_TRUE(m.reload(srv));
    EXPECT_TRUE(m.stop(srv));
    EXPECT_EQ(m.last_stop_successes(), 1);
    EXPECT_EQ(norvik::test::read_file(calls), "start\nreload\nstop\n");
    std::string slog = norvik::test::read_file(norvik::foundation::startup_log_dir() + "/demo");
    EXPECT_EQ(slog, "said reload\nsaid stop\n");  // reload wiped, stop appended
    Initd none("nosuch");
    Base n(nlohmann::json{{"service", "nosuch"}});
    EXPECT_TRUE(none.reload(n));
    EXPECT_TRUE(none.stop(n));
    EXPECT_EQ(none.last_stop_successes(), 0);
}

// The wait for "up" may end early only when nothing the start began runs.
TEST_F(InitdStop, StartGivesUpOnlyWhenNothingItBeganRuns) {
    const std::string state = root_ / "status", asked = root_ / "asked", daemon_pid = root_ / "daemon.pid";
    norvik::test::write_file(root_ / "etc/init.d/demo",
                             "#!/bin/sh\ncase \"$1\" in\n"
                             "start) [ -f " +
                                 root_ / "spawn" +
                                 " ] || exit 0\n"
                                 "  sleep 30 >/dev/null 2>&1 &\n  echo $! > " +
                                 daemon_pid +
                                 "\n  exit 0 ;;\n"
                                 "status) echo x >> " +
                                 asked + "; exit $(cat " + state + ") ;;\nesac\nexit 0\n",
                             0755);
    Base srv(nlohmann::json{{"service", "demo"}});
    auto gives_up_within = [&](Initd& m, double seconds) {
        for (double waited = 0; waited < seconds; waited += 0.05) {
            if (m.start_gave_up(srv)) return true;
            ::usleep(50000);
        }
        return false;
    };
    norvik::test::write_file(state, "3\n", 0644);
    Initd quiet("demo");
    EXPECT_FALSE(quiet.start_gave_up(srv)) << "nothing was started yet";
    ASSERT_TRUE(quiet.start(srv));
    EXPECT_TRUE(gives_up_within(quiet, 2));

    // The script's own status says running: something outside our tree may
    // run the daemon, so the wait goes on.
    norvik::test::write_file(state, "0\n", 0644);
    ::unlink(asked.c_str());
    Initd handed("demo");
    ASSERT_TRUE(handed.start(srv));
    EXPECT_FALSE(gives_up_within(handed, 1.5));
    EXPECT_TRUE(norvik::test::exists(asked)) << "the script's status was never asked";

    // A daemon the script left running keeps the wait going until it ends.
    norvik::test::write_file(state, "3\n", 0644);
    norvik::test::write_file(root_ / "spawn", "", 0644);
    Initd daemon("demo");
    ASSERT_TRUE(daemon.start(srv));
    EXPECT_FALSE(gives_up_within(daemon, 0.5));
    const pid_t left = std::stoi(norvik::test::read_file(daemon_pid));
    ASSERT_GT(left, 0);
    ::kill(left, SIGKILL);
    EXPECT_TRUE(gives_up_within(daemon, 2));
}

TEST_F(InitdStop, PidFileRewrittenByTheForkedChildIsWaitedFor) {
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    std::string pf = root_ / "demo.pid";
    norvik::test::write_file(pf, std::to_string(gone) + "\n", 0644);
    pid_t child = ::fork();
    if (child == 0) {
        ::usleep(300000);
        norvik::test::write_file(pf, std::to_string(::getpid()) + "\n", 0644);
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    Base srv(nlohmann::json{{"service", "demo"}, {"pidfile", pf}, {"pid_exe", "sleep"}});
    EXPECT_TRUE(srv.is_up_via_pidfile());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}
