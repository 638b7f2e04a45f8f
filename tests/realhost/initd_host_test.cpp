// The same daemons without systemd: started by their Debian init scripts in
// private mount, network, pid and host-name namespaces. /etc, /var and
// /usr/local are copy-on-write overlays and /run a tmpfs there, so nothing
// the daemons or the tests write reaches the host.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "real_host.hpp"
#include "support/real_systemd.hpp"

using namespace norvik::test;
using namespace norvik::test::realhost;

namespace {

bool inside_private_host() {
    const char* e = std::getenv("NORVIK_INITD_INNER");
    return e && std::string(e) == "1";
}

// As process 1 of the private pid namespace this program only reaps: the
// daemons' orphans come to it, and a test blocked on an init script must
// not leave them as zombies that the script waits for. A child runs the tests.
struct Reaper {
    Reaper() {
        if (!inside_private_host() || ::getpid() != 1) return;
        pid_t tests = ::fork();
        if (tests == 0) return;
        int status = 0, tests_status = 1;
        for (;;) {
            pid_t p = ::waitpid(-1, &status, 0);
            if (p < 0 && errno == EINTR) continue;
            if (p < 0) break;
            if (p == tests) {
                tests_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
        }
        ::_exit(tests_status);
    }
} reaper;

std::string sys_error(const std::string& what) { return what + ": " + std::strerror(errno); }

// Everything the daemons write lands in RAM layers of this namespace.
std::string make_private_host() {
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return sys_error("private /");
    if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=755") != 0) return sys_error("tmpfs /run");
    make_dirs("/run/lock", 01777);
    for (const char* dir : {"/etc", "/var", "/usr/local"}) {
        const std::string layer = std::string("/run/.nvk-layers") + dir;
        make_dirs(layer + "/upper");
        make_dirs(layer + "/work");
        const std::string opts =
            std::string("lowerdir=") + dir + ",upperdir=" + layer + "/upper,workdir=" + layer + "/work";
        if (::mount("overlay", dir, "overlay", 0, opts.c_str()) != 0)
            return sys_error(std::string("overlay on ") + dir);
    }
    // /dev too, so that a syslog daemon's /dev/log stays in the namespace;
    // the shared-memory mount is carried over the new layer.
    make_dirs("/run/.nvk-layers/dev/upper");
    make_dirs("/run/.nvk-layers/dev/work");
    make_dirs("/run/.nvk-shm");
    if (::mount("/dev/shm", "/run/.nvk-shm", nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return sys_error("keep /dev/shm");
    if (::mount("overlay", "/dev", "overlay", 0,
                "lowerdir=/dev,upperdir=/run/.nvk-layers/dev/upper,workdir=/run/.nvk-layers/dev/work") != 0)
        return sys_error("overlay on /dev");
    if (::mount("/run/.nvk-shm", "/dev/shm", nullptr, MS_MOVE, nullptr) != 0) return sys_error("move /dev/shm");
    const std::string host = "nvk-initd";
    if (::sethostname(host.c_str(), host.size()) != 0) return sys_error("host name");
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (up) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        up = ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (fd >= 0) ::close(fd);
    if (!up) return sys_error("loopback up");
    prepare_daemons("", host);
    const char* tree = std::getenv("NORVIK_REALHOST_TREE");
    panel_tree("", tree && std::string(tree) == "1");
    return "";
}

int script(const std::string& initd, const std::string& action) {
    const std::string path = "/etc/init.d/" + initd;
    return run_quiet(path, {path, action});
}

class InitdDaemon : public ::testing::TestWithParam<Case>, public DaemonUnderTest {
protected:
    // Once per process: the suite of the configuration cases would otherwise
    // lay fresh layers over the running daemons' files.
    static void SetUpTestSuite() {
        static bool done = false;
        if (!inside_private_host() || done) return;
        done = true;
        setup_error_ = make_private_host();
    }
    void SetUp() override {
        if (!inside_private_host()) GTEST_SKIP() << "runs inside the private namespaces only";
        ASSERT_EQ(setup_error_, "");
        ::unsetenv("NORVIK_ROOT");
        if (!main_pid()) {
            ASSERT_EQ(script(daemon().initd, "start"), 0) << "the init script does not start it";
        }
        ASSERT_TRUE(ports_become(daemon().ports, true, 10));
        // A daemon writes its PID file after its script returned.
        for (int i = 0; i < 100 && !main_pid(); ++i) ::usleep(50000);
    }
    void TearDown() override { reap_zombies(); }
    const Daemon& daemon() const override { return GetParam().daemon(); }
    ToolRun tool(const std::vector<std::string>& args, double timeout = 30) override {
        ToolRun t = realhost::tool(links_.path(), GetParam().name(), args, timeout);
        reap_zombies();
        return t;
    }
    pid_t main_pid() override {
        reap_zombies();
        return live_pid_in(daemon().pidfile);
    }
    bool running() override { return main_pid() > 0; }
    bool reload_changes_main_pid() override { return daemon().initd_reload_new_pid; }
    bool stopped() override { return main_pid() == 0 && script(daemon().initd, "status") != 0; }
    ToolRun own_stop_and_start() override {
        ToolRun stop = timed_quiet("/etc/init.d/" + daemon().initd, {"/etc/init.d/" + daemon().initd, "stop"});
        reap_zombies();
        if (stop.r.exit_code != 0) return stop;
        // Some scripts signal and return (spamd's): the start to time is one
        // from stopped, not one that finds the old daemon still running.
        for (int i = 0; i < 200 && main_pid() != 0; ++i) ::usleep(50000);
        if (main_pid() != 0 || !ports_become(daemon().ports, false, 10)) {
            stop.r.exit_code = -1;
            stop.r.err = "the init script's stop left the daemon running";
            return stop;
        }
        return timed_quiet("/etc/init.d/" + daemon().initd, {"/etc/init.d/" + daemon().initd, "start"});
    }
    TempDir links_{"rhinit"};
    static std::string setup_error_;
};
std::string InitdDaemon::setup_error_;

}  // namespace

TEST_P(InitdDaemon, StatusRestartReloadStopStart) { check_operations(*this); }

// Only for daemons with a configuration to break (cron has none).
class InitdDaemonConfig : public InitdDaemon {};

TEST_P(InitdDaemonConfig, BrokenConfigurationAndFailingStart) {
    check_broken_configuration_refused(*this);
    ASSERT_EQ(script(daemon().initd, "stop"), 0);
    reap_zombies();
    // Some daemons tell why they failed only to syslog, as on a real host
    // (Debian ships rsyslog without an init script).
    if (!live_pid_in("/run/rsyslogd.pid")) {
        ASSERT_EQ(run_quiet("/usr/sbin/rsyslogd", {"/usr/sbin/rsyslogd"}), 0);
        for (int i = 0; i < 100 && ::access("/dev/log", F_OK) != 0; ++i) ::usleep(50000);
    }
    // mariadb's own script polls 30 s for a server that has already died,
    // and a start with ports is tried twice.
    const double bound = daemon().initd == "mariadb" ? 75.0 : 10.0;
    ToolRun failed;
    {
        ConfigEdit fatal(daemon().fatal_file, daemon().fatal_text);
        failed = tool({"--start", "--verbose"}, bound + 5);
    }
    EXPECT_EQ(failed.r.exit_code, 255) << failed.text();
    EXPECT_LT(failed.seconds, bound) << "a failed start kept the tool waiting";
    EXPECT_NE(lower(failed.text()).find("norvik_broken"), std::string::npos)
        << "the daemon's own error is not in the report:\n"
        << failed.text();
    EXPECT_EQ(main_pid(), 0);
}

INSTANTIATE_TEST_SUITE_P(Initd, InitdDaemon, ::testing::ValuesIn(cases(true)),
                         [](const auto& info) { return case_label(info.param); });
INSTANTIATE_TEST_SUITE_P(Initd, InitdDaemonConfig, ::testing::ValuesIn(cases(true, true)),
                         [](const auto& info) { return case_label(info.param); });

// ---- the outer driver ---------------------------------------------------

namespace {
const std::vector<std::string> UNSHARE = {
    "/usr/bin/unshare", "--mount",      "--net",        "--pid",         "--uts",   "--ipc",
    "--fork",           "--kill-child", "--mount-proc", "--propagation", "private", "--"};

std::vector<std::string> inner_tests() {
    std::vector<std::string> t;
    for (const auto& c : cases(true)) t.push_back("Initd/InitdDaemon.StatusRestartReloadStopStart/" + case_label(c));
    for (const auto& c : cases(true, true))
        t.push_back("Initd/InitdDaemonConfig.BrokenConfigurationAndFailingStart/" + case_label(c));
    return t;
}

class RealHostInitd : public ::testing::Test {
protected:
    void SetUp() override {
        if (inside_private_host() || inside_real_systemd()) GTEST_SKIP() << "outer driver";
        std::string why;
        if (::geteuid() != 0) why = "not running as root";
        if (why.empty()) {
            std::vector<std::string> probe = UNSHARE;
            probe.push_back("/bin/true");
            RunResult r = run(probe[0], probe, {}, 30);
            if (r.exit_code != 0) why = "private namespaces are not available: " + r.err;
        }
        if (!why.empty()) {
            if (real_systemd_required()) FAIL() << why;
            GTEST_SKIP() << why;
        }
    }
    void run_all(bool tree) {
        // The program's package brings the definitions, so a bare host waits
        // for the same fixes as one with the panel's tree.
        const std::vector<Pending>& PENDING = PENDING_TREE;
        if (without_pending(inner_tests(), PENDING).empty())
            GTEST_SKIP() << "every case waits for the product:\n" << describe(PENDING);
        std::vector<std::string> argv = UNSHARE;
        for (const std::string& a : {std::string("/usr/bin/env"), std::string("NORVIK_INITD_INNER=1"),
                                     std::string("NORVIK_REALHOST_TREE=") + (tree ? "1" : "0"), self_exe(),
                                     "--gtest_filter=" + filter_without("Initd/InitdDaemon*", PENDING)})
            argv.push_back(a);
        RunResult r = run(argv[0], argv, {}, 1500);
        EXPECT_EQ(inner_run_problems(r.exit_code, r.out + r.err, without_pending(inner_tests(), PENDING)), "")
            << r.out << r.err;
        std::cout << describe(PENDING);
    }
    static const std::vector<Pending> PENDING_TREE;
};
}  // namespace

const std::vector<Pending> RealHostInitd::PENDING_TREE = {};

TEST_F(RealHostInitd, EveryDaemonWithThePanelTree) { run_all(true); }
TEST_F(RealHostInitd, EveryDaemonOnABareHost) { run_all(false); }
