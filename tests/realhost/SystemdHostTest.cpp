// The standard services on the distribution's own daemons under a real
// systemd: every operation by panel name and by unit name, once with the
// panel's tree installed and once on a bare host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "RealHost.hpp"
#include "support/RealSystemd.hpp"

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

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// A drop-in that makes every start of the unit fail with a line of its own.
class FailingStart {
public:
    explicit FailingStart(const std::string& unit) : dir_("/etc/systemd/system/" + show(unit, "Id") + ".d") {
        write_file(dir_ + "/norvik-fail.conf",
                   "[Service]\nExecStartPre=/bin/sh -c 'echo norvik-fatal-marker; exit 1'\n");
        systemctl({"daemon-reload"});
    }
    ~FailingStart() {
        ::unlink((dir_ + "/norvik-fail.conf").c_str());
        systemctl({"daemon-reload"});
    }

private:
    std::string dir_;
};

class SystemdDaemon : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        if (!inside_real_systemd()) GTEST_SKIP() << "runs inside the real systemd only";
        ::unsetenv("NORVIK_ROOT");
        systemctl({"reset-failed", d().unit});
        ASSERT_EQ(systemctl({"start", d().unit}).exit_code, 0) << "the daemon does not start under systemd itself";
        ASSERT_TRUE(ports_become(d().ports, true, 5));
    }
    const Daemon& d() const { return GetParam().daemon(); }
    const std::string name() const { return GetParam().name(); }
    ToolRun tool(const std::vector<std::string>& args, double timeout = 30) {
        return realhost::tool(links_.path(), name(), args, timeout);
    }
    // The unit's main PID; for a unit that has none (made from an init
    // script), the daemon's PID file.
    pid_t main_pid() {
        pid_t pid = std::atoi(show(d().unit, "MainPID").c_str());
        return pid > 0 ? pid : live_pid_in(d().pidfile);
    }
    std::string state() { return show(d().unit, "ActiveState"); }
    TempDir links_{"rhlinks"};
};

}  // namespace

TEST_P(SystemdDaemon, StatusRestartReloadStopStart) {
    pid_t before = main_pid();
    ASSERT_GT(before, 0);
    ToolRun status = tool({"--status"});
    ASSERT_EQ(status.r.exit_code, 0) << status.text();

    ToolRun restart = tool({});
    EXPECT_EQ(restart.r.exit_code, 0) << restart.text();
    pid_t after = main_pid();
    EXPECT_GT(after, 0);
    EXPECT_NE(after, before) << "the restart kept the old main process";
    EXPECT_EQ(state(), "active");
    EXPECT_TRUE(ports_become(d().ports, true, 2)) << "the port does not answer after the restart";

    if (d().reloads) {
        ToolRun reload = tool({"--reload"});
        EXPECT_EQ(reload.r.exit_code, 0) << reload.text();
        EXPECT_EQ(main_pid(), after) << "a reload replaced the main process";
        EXPECT_EQ(state(), "active");
    }

    ToolRun stop = tool({"--stop"});
    EXPECT_EQ(stop.r.exit_code, 0) << stop.text();
    EXPECT_EQ(state(), "inactive");
    EXPECT_TRUE(ports_become(d().ports, false, 2)) << "a port is still open after the stop";
    ToolRun down = tool({"--status"});
    EXPECT_EQ(down.r.exit_code, 255) << down.text();

    ToolRun start = tool({"--start"});
    EXPECT_EQ(start.r.exit_code, 0) << start.text();
    EXPECT_EQ(state(), "active");
    EXPECT_TRUE(ports_become(d().ports, true, 2));
    // Against the daemon's own start under systemd.
    ASSERT_EQ(systemctl({"stop", d().unit}).exit_code, 0);
    ToolRun own = timed("/usr/bin/systemctl", {"systemctl", "start", d().unit});
    ASSERT_EQ(own.r.exit_code, 0) << own.text();
    EXPECT_LE(start.seconds, own.seconds + 2.0) << "tool " << start.seconds << " s, systemctl " << own.seconds << " s";
}

TEST_P(SystemdDaemon, BrokenConfigurationAndFailingStart) {
    if (!d().bad_file.empty()) {
        pid_t before = main_pid();
        ASSERT_GT(before, 0);
        ToolRun refused;
        {
            ConfigEdit broken(d().bad_file, d().bad_text);
            refused = tool({});
        }
        EXPECT_EQ(refused.r.exit_code, 255) << refused.text();
        EXPECT_NE(lower(refused.text()).find("norvik_broken"), std::string::npos)
            << "the configuration test's output is not shown:\n" << refused.text();
        EXPECT_EQ(main_pid(), before) << "the running daemon was touched";
        EXPECT_EQ(state(), "active");
    }

    ASSERT_EQ(systemctl({"stop", d().unit}).exit_code, 0);
    ToolRun failed;
    {
        FailingStart fail(d().unit);
        failed = tool({"--start", "--verbose"}, 15);
    }
    systemctl({"reset-failed", d().unit});
    EXPECT_EQ(failed.r.exit_code, 255) << failed.text();
    EXPECT_LT(failed.seconds, 10.0) << "a failed unit kept the tool waiting";
    EXPECT_NE(failed.text().find("norvik-fatal-marker"), std::string::npos)
        << "the journal lines are not in the report:\n" << failed.text();
    EXPECT_EQ(systemctl({"start", d().unit}).exit_code, 0);
}

INSTANTIATE_TEST_SUITE_P(Real, SystemdDaemon, ::testing::ValuesIn(cases(false)),
                         [](const auto& info) { return case_label(info.param); });

// ---- the outer driver: one instance for the whole suite -----------------

namespace {
std::vector<std::string> inner_tests() {
    std::vector<std::string> t;
    for (const auto& c : cases(false))
        for (const char* what : {"StatusRestartReloadStopStart", "BrokenConfigurationAndFailingStart"})
            t.push_back("Real/SystemdDaemon." + std::string(what) + "/" + case_label(c));
    return t;
}
}  // namespace

class RealHostSystemd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (inside_real_systemd()) return;
        rs_ = std::make_unique<RealSystemd>("nvk-rh-" + std::to_string(::getpid()));
        // Copies, so that a checkout under /tmp is tested the same way.
        rs_->copy_programs(true);
        if (!rs_->start()) {
            why_ = rs_->why();
            rs_.reset();
            return;
        }
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
    void SetUp() override {
        if (inside_real_systemd()) GTEST_SKIP() << "outer driver";
        if (!rs_) {
            if (real_systemd_required()) FAIL() << "the real systemd did not boot: " << why_;
            GTEST_SKIP() << "no real systemd on this machine: " << why_;
        }
    }
    void run_all(bool tree) {
        if (without_pending(inner_tests(), PENDING).empty())
            GTEST_SKIP() << "every case waits for the product:\n" << describe(PENDING);
        panel_tree(rs_->root(), tree);
        std::string out;
        int code = rs_->run_inner(filter_without("Real/SystemdDaemon.*", PENDING), &out, {}, 1500);
        EXPECT_EQ(inner_run_problems(code, out, without_pending(inner_tests(), PENDING)), "") << out;
        std::cout << describe(PENDING);
    }
    static const std::vector<Pending> PENDING;
    static std::unique_ptr<RealSystemd> rs_;
    static std::string why_;
};
const std::vector<Pending> RealHostSystemd::PENDING = {
    {"*/httpd_by_panel_name", "unknown panel name: no built-in definition"},
    {"*/exim_by_panel_name", "unknown panel name: no built-in definition"},
    {"*/ftpd_by_panel_name", "unknown panel name: no built-in definition"},
    {"*/crond_by_panel_name", "unknown panel name: no built-in definition"},
    {"*/rsyslogd_by_panel_name", "unknown panel name: no built-in definition"},
    {"*/dovecot_by_panel_name", "a loaded unit without a monitor file is 'disabled' and gets stopped"},
    {"*_by_unit_name", "a loaded unit without a monitor file is 'disabled' and gets stopped"},
    {"*.BrokenConfiguration*/named_*", "no configuration test before a restart"},
    {"*.BrokenConfiguration*/sshd_*", "no configuration test before a restart"},
    {"*.StatusRestartReloadStopStart/named_*", "a start of a stopped unit still pays the 2 s settle"},
    {"*.StatusRestartReloadStopStart/mysql_*", "a start of a stopped unit still pays the 2 s settle"},
    {"*.StatusRestartReloadStopStart/sshd_*", "a start of a stopped unit still pays the 2 s settle"},
};
std::unique_ptr<RealSystemd> RealHostSystemd::rs_;
std::string RealHostSystemd::why_;

TEST_F(RealHostSystemd, EveryDaemonWithThePanelTree) { run_all(true); }
TEST_F(RealHostSystemd, EveryDaemonOnABareHost) { run_all(false); }
