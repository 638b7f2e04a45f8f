#include <fcntl.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include <gtest/gtest.h>

#include "run_helper.hpp"
#include "foundation/child_status.hpp"
#include "log/logger.hpp"
#include "run/read_multiple.hpp"
#include "run/saferun.hpp"
#include "support/test_support.hpp"

using norvik::run::Object;
using norvik::run::Options;
namespace helper = norvik::test::helper;

namespace {

Options helper_run(std::vector<std::string> args) {
    Options o;
    o.program = helper::self();
    o.args = std::move(args);
    o.extra_env = helper::env();
    o.timeout = 30;
    return o;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// Peak resident size in KiB from /proc/self/status; -1 when unreadable.
long peak_rss_kib() {
    std::istringstream status(norvik::test::read_file("/proc/self/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Drops the peak to the present size, so what a test measures is its own.
bool reset_peak_rss() {
    int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::write(fd, "5", 1) == 1;
    ::close(fd);
    return ok;
}

}  // namespace

TEST(SafeRunObject, SuccessLeavesNothingToExplainAndKeepsChildStatus) {
    norvik::set_child_status(1234);
    Object run({.program = "/bin/true"});
    EXPECT_EQ(run.wait_status(), 0);
    EXPECT_FALSE(run.error_code());
    EXPECT_FALSE(run.signal_code());
    EXPECT_FALSE(run.autopsy());
    EXPECT_EQ(run.to_exception(), nullptr);
    EXPECT_EQ(run.terse_autopsy(), "OK");
    EXPECT_NO_THROW(run.die_if_error());
    EXPECT_GT(run.child_pid(), 0);
    EXPECT_EQ(norvik::child_status(), 1234);
}

TEST(SafeRunObject, ExitCodeIsExplainedAndRaised) {
    Object run(helper_run({"exit", "3"}));
    EXPECT_EQ(run.wait_status(), 3 << 8);
    EXPECT_EQ(run.error_code(), 3);
    EXPECT_EQ(run.error_name(), "ESRCH");
    EXPECT_EQ(run.signal_code(), 0);
    EXPECT_EQ(run.terse_autopsy(), "Exit 3");
    auto text = run.autopsy().value_or("");
    EXPECT_NE(text.find(helper::self() + " exit 3"), std::string::npos) << text;
    EXPECT_NE(text.find(std::to_string(run.child_pid())), std::string::npos) << text;
    auto e = run.to_exception();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->class_name(), "Norvik::Exception::ProcessFailed::Error");
    EXPECT_EQ(e->get("exit_code"), 3);
    EXPECT_THROW(run.die_if_error(), norvik::run::ProcessFailedError);
    EXPECT_THROW(Object::new_or_die(helper_run({"exit", "1"})), norvik::run::ProcessFailedError);
}

TEST(SafeRunObject, SignalIsExplained) {
    Object run(helper_run({"signal", "15"}));
    EXPECT_EQ(run.error_code(), 0);
    EXPECT_EQ(run.signal_code(), 15);
    EXPECT_EQ(run.signal_name(), "TERM");
    EXPECT_EQ(run.terse_autopsy(), "SIGTERM (#15)");
    auto text = run.autopsy().value_or("");
    EXPECT_NE(text.find("“TERM” (15)"), std::string::npos) << text;
    auto e = run.to_exception();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->class_name(), "Norvik::Exception::ProcessFailed::Signal");
    EXPECT_EQ(e->get("signal_code"), 15);
}

TEST(SafeRunObject, IdleLimitEndsASilentChild) {
    auto start = std::chrono::steady_clock::now();
    auto o = helper_run({"sleep", "30"});
    o.read_timeout = 1;
    Object run(std::move(o));
    EXPECT_LT(seconds_since(start), 6);
    ASSERT_TRUE(run.timed_out());
    EXPECT_EQ(*run.timed_out(), 1);
    EXPECT_EQ(run.signal_code(), SIGTERM);
    EXPECT_NE(run.autopsy().value_or("").find("time limit of 1 seconds"), std::string::npos);
    EXPECT_THROW(run.die_if_error(), norvik::run::ProcessFailedTimeout);
    // Reaped: the pid is no longer our child.
    EXPECT_EQ(::waitpid(run.child_pid(), nullptr, WNOHANG), -1);
}

TEST(SafeRunObject, OverallLimitEndsATalkativeChildAndKillsOneThatIgnoresTerm) {
    auto o = helper_run({"tick"});
    o.timeout = 1;
    o.read_timeout = 5;
    auto start = std::chrono::steady_clock::now();
    Object run(std::move(o));
    EXPECT_LT(seconds_since(start), 6);
    ASSERT_TRUE(run.timed_out());
    EXPECT_EQ(*run.timed_out(), 1);
    EXPECT_FALSE(run.stdout().empty());

    auto o2 = helper_run({"sleep", "30", "ignore-term"});
    o2.timeout = 1;
    Object stubborn(std::move(o2));
    EXPECT_EQ(stubborn.signal_code(), SIGKILL);
    EXPECT_TRUE(stubborn.timed_out());
}

TEST(SafeRunObject, NoLimitsWaitsForTheChild) {
    auto o = helper_run({"sleep", "0.3"});
    o.timeout = 0;
    o.read_timeout = 0;
    Object run(std::move(o));
    EXPECT_EQ(run.wait_status(), 0);
    EXPECT_FALSE(run.timed_out());
}

TEST(SafeRunObject, LargeInputAndOutputRoundTrip) {
    std::string input;
    for (size_t i = 0; i < 5 * 131072 + 17; ++i) input += static_cast<char>('a' + i % 26);
    Object run({.program = "/bin/cat", .stdin_text = input, .timeout = 30});
    EXPECT_EQ(run.wait_status(), 0);
    EXPECT_EQ(run.stdout().size(), input.size());
    EXPECT_TRUE(run.stdout() == input);

    std::istringstream stream(input);
    Object from_stream({.program = "/bin/cat", .stdin_stream = &stream, .timeout = 30});
    EXPECT_TRUE(from_stream.stdout() == input);

    Object from_callback({.program = "/bin/cat",
                          .stdin_callback = [](int fd) { ASSERT_EQ(::write(fd, "via callback", 12), 12); },
                          .timeout = 30});
    EXPECT_EQ(from_callback.stdout(), "via callback");

    norvik::test::TempDir tmp("saferun");
    norvik::test::write_file(tmp / "in", "from a file\n");
    int fd = ::open((tmp / "in").c_str(), O_RDONLY | O_CLOEXEC);
    Object from_fd({.program = "/bin/cat", .stdin_fd = fd});
    ::close(fd);
    EXPECT_EQ(from_fd.stdout(), "from a file\n");
}

TEST(SafeRunObject, ChildFloodingBothPipesBeforeReadingCannotDeadlock) {
    std::string input(3 * 131072, 'i');
    auto o = helper_run({"flood", std::to_string(4 * 131072)});
    o.stdin_text = input;
    o.timeout = 20;
    Object run(std::move(o));
    EXPECT_FALSE(run.timed_out());
    EXPECT_EQ(run.wait_status(), 0);
    EXPECT_EQ(run.stderr().size(), 4 * 131072u);
    EXPECT_NE(run.stdout().find("read=" + std::to_string(input.size())), std::string::npos);
}

TEST(SafeRunObject, MergedAndRedirectedStreams) {
    auto o = helper_run({"both"});
    o.merge_stderr = true;
    Object merged(std::move(o));
    EXPECT_NE(merged.stdout().find("to-out"), std::string::npos);
    EXPECT_NE(merged.stdout().find("to-err"), std::string::npos);
    EXPECT_THROW(merged.stderr(), norvik::PlainError);

    std::ostringstream both;
    auto o2 = helper_run({"both"});
    o2.stdout_stream = &both;
    o2.stderr_stream = &both;
    Object same(std::move(o2));
    EXPECT_NE(both.str().find("to-out"), std::string::npos);
    EXPECT_NE(both.str().find("to-err"), std::string::npos);
    EXPECT_THROW(same.stdout(), norvik::PlainError);

    norvik::test::TempDir tmp("saferun");
    int fd = ::open((tmp / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    auto o3 = helper_run({"both"});
    o3.stdout_fd = fd;
    Object to_fd(std::move(o3));
    ::close(fd);
    EXPECT_EQ(norvik::test::read_file(tmp / "out"), "to-out\n");
    EXPECT_EQ(to_fd.stderr(), "to-err\n");
    EXPECT_EQ(to_fd.stdout_r(), nullptr);
}

TEST(SafeRunObject, ProgramThatCannotStart) {
    try {
        Object run({.program = "/nonexistent/dir/prog"});
        FAIL() << "no exception";
    } catch (const norvik::Exception& e) {
        EXPECT_NE(e.get_string().find("/nonexistent/dir/prog"), std::string::npos);
    }
    // Bare names: exit code 2 and the start failure in the error output, on both paths.
    for (bool fork_path : {false, true}) {
        Options o{.program = "norvik-no-such-program-here", .args = {"x"}};
        if (fork_path) o.before_exec = [] {};
        Object run(std::move(o));
        EXPECT_EQ(run.error_code(), 2) << fork_path;
        EXPECT_EQ(run.exec_failed(), true) << fork_path;
        EXPECT_NE(run.stderr().find("failed to start the program “norvik-no-such-program-here”"), std::string::npos)
            << run.stderr();
        EXPECT_EQ(run.stdout(), "");
    }
}

TEST(SafeRunObject, InvalidOptionsAreRefused) {
    EXPECT_THROW(Object({.program = ""}), norvik::PlainError);
    EXPECT_THROW(Object({.program = "/bin/true", .args = {std::string("a\0b", 3)}}), norvik::PlainError);
    Options o{.program = "/bin/true"};
    norvik::LoggerArgs la;
    la.use_no_files = true;
    o.logger = norvik::Logger::create(la);
    EXPECT_THROW(Object(std::move(o)), norvik::Exception);
    EXPECT_THROW(Object({.program = "/bin/cat", .stdin_fd = 987}), norvik::PlainError);
}

TEST(SafeRunObject, EnvironmentIsReducedUnlessKept) {
    ::setenv("NORVIK_TEST_UNSAFE_VAR", "leak", 1);
    ::unsetenv("TMP");
    Object reduced(helper_run({"env", "NORVIK_TEST_UNSAFE_VAR", "HOME", "USER", "TMP", "PATH"}));
    const auto& out = reduced.stdout();
    EXPECT_NE(out.find("NORVIK_TEST_UNSAFE_VAR=-"), std::string::npos) << out;
    EXPECT_EQ(out.find("HOME=-"), std::string::npos) << out;
    EXPECT_EQ(out.find("USER=-"), std::string::npos) << out;
    EXPECT_NE(out.find("/tmp\n"), std::string::npos) << out;

    auto o = helper_run({"env", "NORVIK_TEST_UNSAFE_VAR"});
    o.keep_env = true;
    EXPECT_EQ(Object(std::move(o)).stdout(), "NORVIK_TEST_UNSAFE_VAR=leak\n");

    // Fork path: before_exec runs in the child just before the program.
    auto f = helper_run({"env", "FROM_BEFORE_EXEC", "USER"});
    f.before_exec = [] { ::setenv("FROM_BEFORE_EXEC", "yes", 1); };
    int seen_pid = 0;
    f.after_fork = [&](pid_t pid) { seen_pid = pid; };
    Object forked(std::move(f));
    EXPECT_NE(forked.stdout().find("FROM_BEFORE_EXEC=yes"), std::string::npos) << forked.stdout();
    EXPECT_EQ(seen_pid, forked.child_pid());
    ::unsetenv("NORVIK_TEST_UNSAFE_VAR");
}

TEST(SafeRunObject, NoDescriptorLeaksIntoTheChild) {
    // Deliberately without close-on-exec: even this one must not reach the child.
    int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 3);
    Object spawned(helper_run({"fds"}));
    auto f = helper_run({"fds"});
    f.before_exec = [] {};
    Object forked(std::move(f));
    ::close(leaky);
    EXPECT_EQ(spawned.stdout(), "0 1 2 \n");
    EXPECT_EQ(forked.stdout(), "0 1 2 \n");
}

TEST(SafeRunObject, ChildThatStopsReadingEndsTheRunCleanly) {
    // /bin/true never reads: the runner neither dies of SIGPIPE nor hangs.
    Object run({.program = "/bin/true", .stdin_text = std::string(8 * 131072, 'x'), .timeout = 20});
    EXPECT_EQ(run.wait_status(), 0);
    EXPECT_FALSE(run.timed_out());
    Object cb({.program = "/bin/true",
               .stdin_callback =
                   [](int fd) {
                       ::usleep(100000);
                       std::string big(4 * 131072, 'y');
                       ssize_t w = ::write(fd, big.data(), big.size());
                       EXPECT_LT(w, static_cast<ssize_t>(big.size()));
                   },
               .timeout = 20});
    EXPECT_EQ(cb.wait_status(), 0);
}

// The limit holds for the child itself, not only for its pipes: a child with
// its output on the caller's descriptors, one that closed its output, and one
// that left a background process holding the pipe all end at the limit, and
// what the child left in its process group ends with it.
TEST(SafeRunObject, OverallLimitHoldsWithoutPipesAndEndsTheWholeGroup) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool caller_fds;
        bool fork_path;
    };
    const Case cases[] = {
        {"output on the caller's descriptors", {"sleep", "30"}, true, false},
        {"output closed", {"close-and-sleep", "30"}, false, false},
        {"background sleeper holding the pipe", {"background"}, false, false},
        {"background sleeper, fork path", {"background"}, false, true},
    };
    for (const auto& c : cases) {
        auto o = helper_run(c.args);
        o.timeout = 1;
        if (c.fork_path) o.before_exec = [] {};
        int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (c.caller_fds) {
            o.stdout_fd = null_fd;
            o.stderr_fd = null_fd;
        }
        auto start = std::chrono::steady_clock::now();
        Object run(std::move(o));
        double took = seconds_since(start);
        ::close(null_fd);
        EXPECT_GE(took, 0.9) << c.what;
        EXPECT_LT(took, 6) << c.what;
        ASSERT_TRUE(run.timed_out()) << c.what;
        EXPECT_EQ(*run.timed_out(), 1) << c.what;
        EXPECT_THROW(run.die_if_error(), norvik::run::ProcessFailedTimeout) << c.what;
        EXPECT_EQ(::waitpid(run.child_pid(), nullptr, WNOHANG), -1) << "reaped: " << c.what;
        if (c.args[0] == "background") {
            EXPECT_EQ(run.wait_status(), 0) << "the child itself exited 0, and yet the run failed";
            pid_t sleeper = static_cast<pid_t>(std::atol(run.stdout().c_str()));
            ASSERT_GT(sleeper, 1) << run.stdout();
            for (int i = 0; i < 100 && norvik::test::running(sleeper); ++i) ::usleep(10000);
            EXPECT_FALSE(norvik::test::running(sleeper)) << "the background sleeper outlived the time-out";
        }
    }
}

TEST(SafeRunObject, ExitStatus127IsTheProgramsOwn) {
    for (bool fork_path : {false, true}) {
        auto o = helper_run({"exit", "127"});
        if (fork_path) o.before_exec = [] {};
        Object run(std::move(o));
        EXPECT_EQ(run.wait_status(), 127 << 8) << fork_path;
        EXPECT_EQ(run.error_code(), 127) << fork_path;
        EXPECT_EQ(run.exec_failed(), false) << fork_path;
        EXPECT_EQ(run.stderr().find("failed to start"), std::string::npos) << run.stderr();
    }
}

TEST(SafeRunObject, FloodIsCappedAndTheDropIsMarked) {
    ASSERT_TRUE(reset_peak_rss()) << "cannot reset the peak resident size";
    const long before = peak_rss_kib();
    ASSERT_GT(before, 0);
    // A flood of a known size, so that the drop is exact however slowly a
    // loaded machine moves it (a timed `yes` may not reach the cap).
    const size_t limit = norvik::run::ReadMultipleFH::CAPTURE_LIMIT;
    const size_t flood = 4 * limit;
    Object run({.program = "head", .args = {"-c", std::to_string(flood), "/dev/zero"}, .timeout = 120});
    ASSERT_FALSE(run.timed_out());
    const std::string& out = run.stdout();
    ASSERT_EQ(run.stdout_dropped(), flood - limit);
    const std::string marker = norvik::run::ReadMultipleFH::dropped_marker(run.stdout_dropped());
    EXPECT_EQ(out.size(), limit + marker.size());
    EXPECT_EQ(out.compare(out.size() - marker.size(), marker.size(), marker), 0);
    EXPECT_EQ(out.compare(0, 4, std::string(4, '\0')), 0);
    // The capture's growth stays a small multiple of its cap. The sanitizer keeps freed blocks in quarantine, so
    // every step of the string's growth stays resident there.
#if defined(__SANITIZE_ADDRESS__)
    const long bound_kib = 8 * static_cast<long>(limit / 1024);
#else
    const long bound_kib = 4 * static_cast<long>(limit / 1024);
#endif
    EXPECT_LT(peak_rss_kib() - before, bound_kib) << "growth of the peak resident size in KiB";

    Object small(helper_run({"both"}));
    EXPECT_EQ(small.stdout_dropped(), 0u);
    EXPECT_EQ(small.stdout(), "to-out\n");
}
