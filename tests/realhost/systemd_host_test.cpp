// The standard services on the distribution's own daemons under a real
// systemd: every operation by panel name and by unit name, once with the
// panel's tree installed and once on a bare host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>

#include "real_host.hpp"
#include "support/real_systemd.hpp"

using namespace norvik::test;
using namespace norvik::test::realhost;

namespace {

RunResult systemctl(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"systemctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run("/usr/bin/systemctl", argv, {}, 60);
}

std::string show(const std::string& unit, const std::string& prop) {
    std::string v = systemctl({"show", "-p", prop, "--value", unit}).out;
    while (!v.empty() && v.back() == '\n') v.pop_back();
    return v;
}

// A drop-in that makes every start of the unit fail with a line of its own.
class FailingStart {
public:
    explicit FailingStart(const std::string& unit) : dir_("/etc/systemd/system/" + show(unit, "Id") + ".d") {
        write_file(dir_ + "/norvik-fail.conf",
                   "[Service]\nExecStartPre=/bin/sh -c 'echo norvik-fatal-marker; exit 1'\n"
                   // rsyslog sends its output nowhere; the failing step's must be seen.
                   "StandardOutput=journal\n");
        systemctl({"daemon-reload"});
    }
    ~FailingStart() {
        ::unlink((dir_ + "/norvik-fail.conf").c_str());
        systemctl({"daemon-reload"});
    }

private:
    std::string dir_;
};

class SystemdDaemon : public ::testing::TestWithParam<Case>, public DaemonUnderTest {
protected:
    void SetUp() override {
        if (!inside_real_systemd()) GTEST_SKIP() << "runs inside the real systemd only";
        ::unsetenv("NORVIK_ROOT");
        systemctl({"reset-failed", daemon().unit});
        ASSERT_EQ(systemctl({"start", daemon().unit}).exit_code, 0) << "the daemon does not start under systemd itself";
        ASSERT_TRUE(ports_become(daemon().ports, true, 5));
    }
    const Daemon& daemon() const override { return GetParam().daemon(); }
    ToolRun tool(const std::vector<std::string>& args, double timeout = 30) override {
        return realhost::tool(links_.path(), GetParam().name(), args, timeout);
    }
    // The unit's main PID; for a unit that has none (made from an init
    // script), the daemon's PID file.
    pid_t main_pid() override {
        pid_t pid = std::atoi(show(daemon().unit, "MainPID").c_str());
        return pid > 0 ? pid : live_pid_in(daemon().pidfile);
    }
    bool running() override { return show(daemon().unit, "ActiveState") == "active"; }
    bool stopped() override { return show(daemon().unit, "ActiveState") == "inactive"; }
    ToolRun own_stop_and_start() override {
        RunResult stop = systemctl({"stop", daemon().unit});
        if (stop.exit_code != 0) return {stop, 0};
        return timed("/usr/bin/systemctl", {"systemctl", "start", daemon().unit});
    }
    TempDir links_{"rhlinks"};
};

}  // namespace

TEST_P(SystemdDaemon, StatusRestartReloadStopStart) { check_operations(*this); }

TEST_P(SystemdDaemon, BrokenConfigurationIsRefused) { check_broken_configuration_refused(*this); }

TEST_P(SystemdDaemon, FailingStartReportsTheJournal) {
    // With its sockets, or one would start it again at once (rsyslog).
    std::vector<std::string> stop = {"stop", daemon().unit};
    std::istringstream triggers(show(daemon().unit, "TriggeredBy"));
    for (std::string t; triggers >> t;) stop.push_back(t);
    ASSERT_EQ(systemctl(stop).exit_code, 0);
    ToolRun failed;
    {
        FailingStart fail(daemon().unit);
        failed = tool({"--start", "--verbose"}, 15);
    }
    systemctl({"reset-failed", daemon().unit});
    EXPECT_EQ(failed.r.exit_code, 255) << failed.text();
    EXPECT_LT(failed.seconds, 10.0) << "a failed unit kept the tool waiting";
    EXPECT_NE(failed.text().find("norvik-fatal-marker"), std::string::npos)
        << "the journal lines are not in the report:\n"
        << failed.text();
    EXPECT_EQ(systemctl({"start", daemon().unit}).exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(Real, SystemdDaemon, ::testing::ValuesIn(cases(false)),
                         [](const auto& info) { return case_label(info.param); });

// ---- the outer driver: one instance for the whole suite -----------------

namespace {
std::vector<std::string> inner_tests() {
    std::vector<std::string> t;
    for (const auto& c : cases(false))
        for (const char* what :
             {"StatusRestartReloadStopStart", "BrokenConfigurationIsRefused", "FailingStartReportsTheJournal"})
            t.push_back("Real/SystemdDaemon." + std::string(what) + "/" + case_label(c));
    return t;
}
}  // namespace

class RealHostSystemd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rs_ = boot_copied("nvk-rh-", &why_);
        if (!rs_) return;
        const std::string root = rs_->root();
        prepare_daemons(root, "nvk-rh-" + std::to_string(::getpid()));
        // systemd's start limit (5 in 10 s) would fail units this suite restarts back to back.
        for (const auto& d : daemons()) {
            std::string id = rs_->exec({"systemctl", "show", "-p", "Id", "--value", d.unit});
            while (!id.empty() && id.back() == '\n') id.pop_back();
            write_file(root + "/etc/systemd/system/" + id + ".d/norvik-test.conf", "[Unit]\nStartLimitIntervalSec=0\n");
        }
        rs_->exec({"systemctl", "daemon-reload"});
    }
    static void TearDownTestSuite() { rs_.reset(); }
    void SetUp() override { NORVIK_SHARED_REAL_SYSTEMD_OR_SKIP(rs_, why_); }
    void run_all(bool tree) {
        // The program's package brings the definitions, so a bare host waits
        // for the same fixes as one with the panel's tree.
        const std::vector<Pending>& PENDING = PENDING_TREE;
        if (without_pending(inner_tests(), PENDING).empty())
            GTEST_SKIP() << "every case waits for the product:\n" << describe(PENDING);
        panel_tree(rs_->root(), tree);
        std::string out;
        int code = rs_->run_inner(filter_without("Real/SystemdDaemon.*", PENDING), &out, {}, 1500);
        EXPECT_EQ(inner_run_problems(code, out, without_pending(inner_tests(), PENDING)), "") << out;
        std::cout << describe(PENDING);
    }
    static const std::vector<Pending> PENDING_TREE;
    static std::unique_ptr<RealSystemd> rs_;
    static std::string why_;
};
const std::vector<Pending> RealHostSystemd::PENDING_TREE = {};
std::unique_ptr<RealSystemd> RealHostSystemd::rs_;
std::string RealHostSystemd::why_;

TEST_F(RealHostSystemd, EveryDaemonWithThePanelTree) { run_all(true); }
TEST_F(RealHostSystemd, EveryDaemonOnABareHost) { run_all(false); }
