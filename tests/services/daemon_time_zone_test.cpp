// What a daemon started through its init script finds in its environment:
// the server's own zone and the caller's language, although the run asked
// systemd about the service first.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "support/test_support.hpp"

using norvik::test::TempDir;

namespace {

// The daemon's environment as the kernel holds it.
std::map<std::string, std::string> environ_of(pid_t pid) {
    std::map<std::string, std::string> env;
    std::string raw = norvik::test::read_file("/proc/" + std::to_string(pid) + "/environ");
    for (size_t pos = 0; pos < raw.size();) {
        size_t end = raw.find('\0', pos);
        if (end == std::string::npos) end = raw.size();
        std::string kv = raw.substr(pos, end - pos);
        auto eq = kv.find('=');
        if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
        pos = end + 1;
    }
    return env;
}

class DaemonTimeZone : public ::testing::Test {
protected:
    void SetUp() override {
        norvik::test::become_subreaper();
        pidfile_ = root_ / "var/run/nkdemo.pid";
        norvik::test::write_demo_service(root_.path(), pidfile_, "");
        norvik::test::write_file(root_ / "var/norvik/custom/services/Nkdemo.json",
                                 R"({"base": "Base", "attributes": {"pidfile": "${NORVIK_ROOT}/var/run/nkdemo.pid",)"
                                 R"( "service_binary": ")" +
                                     norvik::test::demod_path() + R"(", "pid_exe": "norvik_demod"}})");
        // systemd is asked first and does not know the service.
        norvik::test::write_file(root_ / "usr/bin/systemctl", "#!/bin/sh\necho LoadState=not-found\n", 0755);
        link_ = norvik::test::link_binary(root_ / "bin", "restartsrv_nkdemo");
    }
    void TearDown() override {
        if (pid_t p = norvik::test::read_pid_file(pidfile_); p > 0) ::kill(p, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        norvik::test::reap_zombies();
    }

    // Starts the demo daemon through the tool; its environment.
    std::map<std::string, std::string> start_and_read() {
        auto r = norvik::test::run(link_, {link_, "--start"}, {{"NORVIK_ROOT", root_.path()}, {"LANG", "de_DE.UTF-8"}});
        norvik::test::reap_zombies();
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        pid_t pid = norvik::test::read_pid_file(pidfile_);
        if (pid <= 0) return {};
        auto env = environ_of(pid);
        ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        norvik::test::reap_zombies();
        ::unlink(pidfile_.c_str());
        return env;
    }

    TempDir root_{"tzd"};
    std::string pidfile_, link_;
};

}  // namespace

TEST_F(DaemonTimeZone, DaemonGetsTheServersZoneAndTheCallersLanguage) {
    ASSERT_EQ(::symlink("/usr/share/zoneinfo/Asia/Tokyo", (root_ / "etc/localtime").c_str()), 0);
    auto env = start_and_read();
    ASSERT_FALSE(env.empty());
    EXPECT_EQ(env["TZ"], "Asia/Tokyo");
    EXPECT_EQ(env["LANG"], "de_DE.UTF-8");
}

TEST_F(DaemonTimeZone, ZoneNamedOnlyByTheTimezoneFile) {
    norvik::test::write_file(root_ / "etc/localtime", "TZif2 a copy of no known zone");
    norvik::test::write_file(root_ / "usr/share/zoneinfo/Europe/Berlin", "TZif2 berlin");
    norvik::test::write_file(root_ / "etc/timezone", "Europe/Berlin\n");
    auto env = start_and_read();
    ASSERT_FALSE(env.empty());
    EXPECT_EQ(env["TZ"], "Europe/Berlin");
}

TEST_F(DaemonTimeZone, ZoneThatCannotBeNamedLeavesTZUnset) {
    norvik::test::write_file(root_ / "etc/localtime", "TZif2 a copy of no known zone");
    auto env = start_and_read();
    ASSERT_FALSE(env.empty());
    EXPECT_EQ(env.count("TZ"), 0u) << env["TZ"];
    EXPECT_EQ(env["LANG"], "de_DE.UTF-8");
}
