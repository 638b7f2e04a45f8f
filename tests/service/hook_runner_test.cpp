// Hooks and custom actions run through run_argv: one that outlives its limit
// has failed, whatever its own exit status, and leaves nothing behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "service/hook_runner.hpp"
#include "support/test_support.hpp"

namespace service = norvik::service;
using norvik::test::TempDir;

namespace {

struct ShortLimit {
    explicit ShortLimit(double s) { service::set_run_argv_timeout_for_testing(s); }
    ~ShortLimit() { service::set_run_argv_timeout_for_testing(service::RUN_ARGV_TIMEOUT); }
};

}  // namespace

TEST(RunArgv, HookThatTimesOutFailsAndItsBackgroundSleeperIsEnded) {
    TempDir dir("hook");
    const std::string bg = dir / "background-hook";
    norvik::test::write_file(bg, "#!/bin/sh\nsleep 30 &\necho $!\nexit 0\n", 0755);
    const std::string quiet = dir / "quiet-hook";
    norvik::test::write_file(quiet, "#!/bin/sh\nexec >&- 2>&-\nsleep 30\n", 0755);
    ShortLimit limit(1);

    std::string out, err;
    auto t0 = std::chrono::steady_clock::now();
    int st = service::run_argv({bg}, &out, &err);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(st, service::TIMED_OUT) << err;
    EXPECT_LT(took, 6);
    EXPECT_NE(err.find("time limit"), std::string::npos) << err;
    pid_t sleeper = static_cast<pid_t>(std::atol(out.c_str()));
    ASSERT_GT(sleeper, 1) << out;
    for (int i = 0; i < 100 && norvik::test::running(sleeper); ++i) ::usleep(10000);
    EXPECT_FALSE(norvik::test::running(sleeper));

    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(service::run_argv({quiet}, &out, &err), service::TIMED_OUT);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 6);

    EXPECT_EQ(service::run_argv({"/bin/sh", "-c", "exit 127"}), 127 << 8) << "a real 127 is kept";
    EXPECT_EQ(service::run_argv({"/bin/true"}), 0);
    norvik::test::reap_zombies();
}
