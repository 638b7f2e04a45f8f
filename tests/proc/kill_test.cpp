#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "proc_test_util.hpp"
#include "exception/exception.hpp"
#include "proc/kill.hpp"
#include "proc/process_table.hpp"
#include "run/kill_single.hpp"
#include "support/test_support.hpp"

namespace proc = norvik::proc;
using proctest::Spawned;

namespace {

bool reaped_elsewhere(pid_t pid) {
    int st;
    return ::waitpid(pid, &st, WNOHANG) < 0 && errno == ECHILD;
}

// A zombie child of ours has ended: it does not count.
bool alive(pid_t pid) { return norvik::test::running(pid); }

void ignore_term() { ::signal(SIGTERM, SIG_IGN); }

struct SleepRecorder {
    double total = 0;
    double real_cap;
    explicit SleepRecorder(double cap) : real_cap(cap) {
        proc::set_sleep_function([this](double s) {
            total += s;
            std::this_thread::sleep_for(std::chrono::duration<double>(std::min(s, real_cap)));
        });
    }
    ~SleepRecorder() { proc::set_sleep_function(nullptr); }
};

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

TEST(Kill, SafekillEndsAllAndReapsOwnChildren) {
    std::string name = proctest::unique_name("nvkkill");
    Spawned a = proctest::spawn_sleep(name), b = proctest::spawn_sleep(name), c = proctest::spawn_sleep(name);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(proc::safekill(name, false, 5), 1);
    EXPECT_LT(seconds_since(start), 2.0);
    for (pid_t p : {a.pid, b.pid, c.pid}) EXPECT_TRUE(reaped_elsewhere(p)) << "no zombie left for " << p;
    EXPECT_EQ(proc::safekill(name, false, 1), 0) << "nothing left to find";
}

TEST(Kill, ImmunePidsAndCallerNeverSignalled) {
    std::string name = proctest::unique_name("nvkimmune");
    Spawned keep = proctest::spawn_sleep(name), doomed = proctest::spawn_sleep(name);
    EXPECT_EQ(proc::safekill(name, false, 2, {keep.pid}), 1);
    EXPECT_TRUE(reaped_elsewhere(doomed.pid));
    EXPECT_TRUE(alive(keep.pid));
    int st;
    EXPECT_EQ(::waitpid(keep.pid, &st, WNOHANG), 0) << "immune process still running";

    // the escalation refuses the caller even when handed its pid
    EXPECT_EQ(proc::safekill_multipid({::getpid()}, false, 1), 0);
    EXPECT_EQ(proc::_safekill_multipid({::getpid(), keep.pid}, false, 1, {}, ""), 1);
    EXPECT_TRUE(reaped_elsewhere(keep.pid));
}

TEST(Kill, TermIgnorerEndedByKillAfterBudget) {
    std::string name = proctest::unique_name("nvkstubborn");
    Spawned p = proctest::spawn_sleep(name, "30", ignore_term);
    SleepRecorder rec(1.0);
    EXPECT_EQ(proc::safekill(name, false, 0.3), 1);
    EXPECT_TRUE(reaped_elsewhere(p.pid));
    EXPECT_GT(rec.total, 0.3);
    EXPECT_LT(rec.total, 0.6);
}

TEST(Kill, DefaultBudgetIsFifteenSecondsOfSleeps) {
    std::string name = proctest::unique_name("nvkbudget");
    Spawned p = proctest::spawn_sleep(name, "60", ignore_term);
    // TERM-stage naps are shorter than 0.1 s and only counted; the naps after
    // KILL are 0.1 s and really slept, so a loaded machine's slow reap shows
    // up as time, not as a longer TERM stage.
    double term_stage = 0;
    proc::set_sleep_function([&](double s) {
        if (s < 0.1) {
            term_stage += s;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        } else {
            std::this_thread::sleep_for(std::chrono::duration<double>(s));
        }
    });
    int ended = proc::safekill_multipid({p.pid}, false, 0);
    proc::set_sleep_function(nullptr);
    EXPECT_EQ(ended, 1);
    EXPECT_GT(term_stage, 15.0);
    EXPECT_LT(term_stage, 15.06) << "one nap past the budget at most";
}

TEST(Kill, ZombieOfAnotherParentCountsAsGone) {
    std::string name = proctest::unique_name("nvkzombie");
    int report[2], hold[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(hold), 0);
    pid_t middle = ::fork();
    if (middle == 0) {
        ::close(report[0]);
        ::close(hold[1]);
        Spawned g = proctest::spawn_sleep(name);
        pid_t gp = g.pid;
        (void)!::write(report[1], &gp, sizeof gp);
        char c;
        (void)!::read(hold[0], &c, 1);  // keeps the grandchild unreaped until told
        g.cleanup();
        _exit(0);
    }
    Spawned mid(middle);
    ::close(report[1]);
    ::close(hold[0]);
    pid_t grand = 0;
    ASSERT_EQ(::read(report[0], &grand, sizeof grand), (ssize_t)sizeof grand);
    ::close(report[0]);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(proc::safekill(name, false, 3), 1);
    EXPECT_LT(seconds_since(start), 1.5) << "the zombie must not wait out both stages";
    EXPECT_EQ(proc::read_state_letter(grand), "Z");
    ::close(hold[1]);
    EXPECT_TRUE(mid.wait_exit());
}

TEST(Kill, AlreadyZombieChildIsReaped) {
    Spawned z = proctest::spawn("/bin/true", {proctest::unique_name("nvkdone")});
    for (int i = 0; i < 400 && proc::read_state_letter(z.pid) != "Z"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(proc::read_state_letter(z.pid), "Z");
    EXPECT_EQ(proc::safekill_multipid({z.pid}, false, 1), 1);
    EXPECT_TRUE(reaped_elsewhere(z.pid));
}

TEST(Kill, KillGroupCountsAndRefuses) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(proc::_kill_group(0, {2147483000}), 0);
    EXPECT_EQ(proc::_kill_group(SIGTERM, {2147483001}), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a vanished pid is silent";

    EXPECT_EQ(proc::_kill_group(0, {0, 1, -1}), 0) << "pid 0, 1 and negatives are never probed";
    testing::internal::CaptureStderr();
    EXPECT_EQ(proc::_kill_group(SIGCONT, {0, 1, -1}), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Refusing"), std::string::npos);

    Spawned p = proctest::spawn_sleep(proctest::unique_name("nvkgroup"));
    EXPECT_EQ(proc::_kill_group(0, {p.pid, p.pid}), 2);
}

TEST(Kill, KillallSignalsOnceAndReports) {
    std::string name = proctest::unique_name("nvkall");
    Spawned a = proctest::spawn_sleep(name), b = proctest::spawn_sleep(name);
    auto r = proc::killall("TERM", name);
    EXPECT_EQ(r.success, 1);
    EXPECT_EQ(r.count, 2);
    EXPECT_NE(r.message.find("2 processes"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find(std::to_string(a.pid)), std::string::npos);
    EXPECT_NE(r.message.find(name), std::string::npos);
    ASSERT_TRUE(a.wait_exit());
    ASSERT_TRUE(b.wait_exit());
    EXPECT_TRUE(WIFSIGNALED(a.status) && WTERMSIG(a.status) == SIGTERM);

    Spawned c = proctest::spawn_sleep(name);
    r = proc::killall("-9", name);
    EXPECT_EQ(r.count, 1);
    ASSERT_TRUE(c.wait_exit());
    EXPECT_EQ(WTERMSIG(c.status), SIGKILL);

    EXPECT_EQ(proc::killall("NOSUCHSIG", name).success, 0);
    EXPECT_EQ(proc::killall("TERM", "").success, 0);
    EXPECT_THROW(proc::killall("TERM", "init"), norvik::PlainError);
    r = proc::killall("HUP", name);
    EXPECT_EQ(r.success, 1);
    EXPECT_EQ(r.count, 0);
}

TEST(Kill, SingleChildWithGrace) {
    Spawned stubborn = proctest::spawn_sleep(proctest::unique_name("nvksingle"), "30", ignore_term);
    int st = norvik::run::safekill_single(stubborn.pid, 0.2);
    stubborn.reaped = true;
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL);

    Spawned polite = proctest::spawn_sleep(proctest::unique_name("nvksingle"));
    st = norvik::run::safekill_single(polite.pid, 2);
    polite.reaped = true;
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGTERM);

    EXPECT_EQ(norvik::run::safekill_single(1, 1), -1) << "not our child, never signalled";
    EXPECT_EQ(norvik::run::safekill_single(0, 1), -1);
}

TEST(Kill, ProcMounted) {
    auto [ok, msg] = proc::_verify_proc_mounted();
    EXPECT_EQ(ok, 1);
    EXPECT_FALSE(msg.empty());
}

// A target that ends during the TERM stage leaves its pid free; the process
// that is given that pid next must never get the KILL meant for the target.
// Both ways of holding a target are proven: the pidfd and the start time.
TEST(Kill, EscalationNeverSignalsAProcessThatInheritedATargetsPid) {
    for (bool pidfd : {true, false}) {
        int rc = proctest::in_pid_namespace([pidfd]() -> int {
            proc::set_pidfd_enabled(pidfd);
            Spawned quits = proctest::spawn_sleep("nvk-quits", "60");
            Spawned stubborn = proctest::spawn_sleep("nvk-stubborn", "60", ignore_term);
            Spawned heir;
            proc::set_sleep_function([&](double s) {
                if (heir.pid <= 0) {
                    // The TERM has gone out: once the target has ended (the
                    // escalation may reap it first), its pid is handed on.
                    for (int i = 0; i < 1000; ++i) {
                        pid_t r = ::waitpid(quits.pid, nullptr, WNOHANG);
                        if (r == quits.pid || (r < 0 && errno == ECHILD)) break;
                        ::usleep(5000);
                    }
                    quits.reaped = true;
                    // Without a pidfd a start time tells processes apart one clock tick apart.
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    heir = proctest::recycle_pid(quits.pid, "nvk-heir");
                }
                std::this_thread::sleep_for(std::chrono::duration<double>(s));
            });
            int result = proc::safekill_multipid({quits.pid, stubborn.pid}, false, 0.3);
            proc::set_sleep_function(nullptr);
            if (heir.pid != quits.pid) return 77;  // the pid could not be handed out again
            if (!alive(heir.pid) || heir.wait_exit(0.05)) return 10;
            if (!stubborn.wait_exit(1) && !reaped_elsewhere(stubborn.pid)) return 11;
            return result == 1 ? 0 : 12;
        });
        if (rc < 0) GTEST_SKIP() << "no private PID namespace here";
        EXPECT_NE(rc, 77) << "pidfd " << pidfd;
        EXPECT_NE(rc, 10) << "the process that inherited the pid was signalled (pidfd " << pidfd << ")";
        EXPECT_EQ(rc, 0) << "pidfd " << pidfd;
    }
    proc::set_pidfd_enabled(true);
}
