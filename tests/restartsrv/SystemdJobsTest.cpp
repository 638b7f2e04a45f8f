// Jobs under a real systemd that must never hold or lose the service: a
// start job that does not end is cancelled at the service's time limit, a
// masked unit that still runs is left running, and a unit that systemd keeps
// active after its daemon died (as units made from init scripts are) is
// brought back by a restart.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

#include "support/RealSystemd.hpp"
#include "support/TestSupport.hpp"

using norvik::test::RunResult;
using norvik::test::TempDir;

namespace {

const char* SLOW =
    "[Service]\nType=simple\nExecStartPre=/bin/sh -c 'echo nkslow-still-waiting; exec /bin/sleep 400'\n"
    "ExecStart=/bin/sleep infinity\nTimeoutStartSec=infinity\nStandardOutput=journal\n";
// Not in /etc: masking puts its link there.
const char* MASKABLE = "[Service]\nType=simple\nExecStart=/bin/sleep infinity\n";
// What systemd makes of an init script: the unit stays active after the
// script exits, and nothing watches the daemon it left.
const char* GENERATED =
    "[Service]\nType=forking\nRemainAfterExit=yes\nGuessMainPID=no\nKillMode=process\n"
    "ExecStart=/bin/sh -c '/bin/sleep infinity & echo $$! > /run/nkgen.pid'\n";

std::string sctl(const std::vector<std::string>& args, int* code = nullptr) {
    std::vector<std::string> argv{"/usr/bin/systemctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = norvik::test::run("/usr/bin/systemctl", argv);
    if (code) *code = r.exit_code;
    std::string out = r.out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}
std::string prop(const std::string& unit, const std::string& p) { return sctl({"show", "-p", p, "--value", unit}); }

class InnerJobs : public ::testing::Test {
protected:
    void SetUp() override {
        if (!norvik::test::inside_real_systemd()) GTEST_SKIP() << "runs inside the real systemd only";
        for (const char* d : {"usr/local/norvik/logs", "var/norvik/restartsrv/locks", "etc/servmon.d"})
            norvik::test::make_dirs(root_ / d);
        for (const char* s : {"nkslow", "nkmask", "nkgen"}) norvik::test::write_file(root_ / ("etc/servmon.d/" + std::string(s)), "");
        ASSERT_EQ(::symlink("/usr/share/zoneinfo/Etc/UTC", (root_ / "etc/localtime").c_str()), 0);
        norvik::test::write_file(root_ / "usr/bin/systemctl", "#!/bin/sh\nexec /usr/bin/systemctl \"$@\"\n", 0755);
        norvik::test::write_file(root_ / "usr/bin/journalctl", "#!/bin/sh\nexec /usr/bin/journalctl \"$@\"\n", 0755);
    }
    RunResult tool(const std::string& service, const std::vector<std::string>& args, double* took = nullptr) {
        std::string link = norvik::test::link_binary(root_ / "bin", "restartsrv_" + service);
        std::vector<std::string> argv{link};
        argv.insert(argv.end(), args.begin(), args.end());
        auto t0 = std::chrono::steady_clock::now();
        RunResult r = norvik::test::run(link, argv, {{"NORVIK_ROOT", root_.path()}}, 60);
        if (took) *took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        return r;
    }
    TempDir root_{"sdjobs"};
};

std::string all(const RunResult& r) { return r.out + r.err; }

}  // namespace

TEST_F(InnerJobs, StartJobPastTheServicesLimitIsCancelledWithTheUnitsStateAndJournal) {
    norvik::test::make_dirs(root_ / "var/norvik/custom/services");
    norvik::test::write_file(root_ / "var/norvik/custom/services/Nkslow.json",
                             R"({"base": "Base", "attributes": {"startup_timeout": 3}})");
    double took = 0;
    auto r = tool("nkslow", {"--start"}, &took);
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_LT(took, 15.0) << "the start job held the run past its limit of 3 s\n" << all(r);
    EXPECT_NE(all(r).find("cancelled"), std::string::npos) << all(r);
    EXPECT_NE(all(r).find("the unit is now"), std::string::npos) << all(r);
    EXPECT_NE(all(r).find("nkslow-still-waiting"), std::string::npos) << "no journal lines\n" << all(r);
    EXPECT_EQ(prop("nkslow.service", "Job"), "") << "the job still runs";
    // Nothing of the start runs on.
    for (int i = 0; i < 100 && prop("nkslow.service", "ActiveState") != "inactive" &&
                    prop("nkslow.service", "ActiveState") != "failed"; ++i)
        ::usleep(100000);
    EXPECT_NE(prop("nkslow.service", "ActiveState"), "activating");
    sctl({"stop", "nkslow.service"});
    sctl({"reset-failed", "nkslow.service"});
}

TEST_F(InnerJobs, MaskedUnitIsReportedAndNeverStoppedByARestartStartOrReload) {
    ASSERT_EQ(sctl({"start", "nkmask.service"}), "");
    sctl({"mask", "nkmask.service"});
    ASSERT_EQ(prop("nkmask.service", "LoadState"), "masked");
    const std::string pid = prop("nkmask.service", "MainPID");
    ASSERT_NE(pid, "0");

    auto r = tool("nkmask", {"--status"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_NE(r.out.find(pid), std::string::npos) << all(r);
    EXPECT_NE(all(r).find("masked"), std::string::npos) << all(r);
    for (const std::string action : {"restart", "--start", "--reload", "hard"}) {
        r = tool("nkmask", {action});
        EXPECT_EQ(r.exit_code, 255) << action << "\n" << all(r);
        EXPECT_NE(all(r).find("masked"), std::string::npos) << action << "\n" << all(r);
        EXPECT_EQ(prop("nkmask.service", "MainPID"), pid) << action << ": the running unit was touched";
    }
    r = tool("nkmask", {"--stop"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(prop("nkmask.service", "ActiveState"), "inactive");
    r = tool("nkmask", {"--status"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_NE(all(r).find("masked and not running"), std::string::npos) << all(r);
    sctl({"unmask", "nkmask.service"});
}

TEST_F(InnerJobs, RestartBringsBackTheDaemonOfAUnitStillActiveAfterItDied) {
    ASSERT_EQ(sctl({"start", "nkgen.service"}), "");
    const pid_t first = norvik::test::read_pid_file("/run/nkgen.pid");
    ASSERT_TRUE(norvik::test::running(first));
    sctl({"kill", "-s", "KILL", "nkgen.service"});
    for (int i = 0; i < 50 && norvik::test::running(first); ++i) ::usleep(20000);
    ASSERT_FALSE(norvik::test::running(first));
    ASSERT_EQ(prop("nkgen.service", "ActiveState"), "active");

    double took = 0;
    auto r = tool("nkgen", {"restart"}, &took);
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_LT(took, 15.0) << all(r);
    const pid_t now = norvik::test::read_pid_file("/run/nkgen.pid");
    EXPECT_NE(now, first);
    EXPECT_TRUE(norvik::test::running(now)) << "the daemon is still down\n" << all(r);
    sctl({"stop", "nkgen.service"});
}

TEST(RealSystemd, JobsAreBoundedAndMaskedOrRememberedStatesNeverLeaveTheServiceDown) {
    if (norvik::test::inside_real_systemd()) GTEST_SKIP() << "outer driver";
    norvik::test::RealSystemd rs("jobs-" + std::to_string(::getpid()));
    NORVIK_BOOT_REAL_SYSTEMD_OR_SKIP(rs);
    rs.add_units({{"nkslow.service", SLOW}, {"nkgen.service", GENERATED}});
    norvik::test::write_file(rs.root() + "/usr/local/lib/systemd/system/nkmask.service", MASKABLE);
    rs.exec({"systemctl", "daemon-reload"});
    std::string out;
    const std::vector<std::string> tests = {
        "InnerJobs.StartJobPastTheServicesLimitIsCancelledWithTheUnitsStateAndJournal",
        "InnerJobs.MaskedUnitIsReportedAndNeverStoppedByARestartStartOrReload",
        "InnerJobs.RestartBringsBackTheDaemonOfAUnitStillActiveAfterItDied"};
    int code = rs.run_inner("InnerJobs.*", &out, {}, 400);
    EXPECT_EQ(norvik::test::inner_run_problems(code, out, tests), "") << out;
}
