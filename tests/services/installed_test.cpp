// The installed test: always-installed list, per-service tests that win over
// the monitor file, the monitor-file fallback, DNS-only answers.
#include <unistd.h>

#include <gtest/gtest.h>

#include "config/httpd_hx4.hpp"
#include "foundation/paths.hpp"
#include "pkgr/binaries.hpp"
#include "server/server_type.hpp"
#include "services/always_installed.hpp"
#include "services/installed.hpp"
#include "support/test_support.hpp"

namespace {

namespace services = norvik::services;
namespace foundation = norvik::foundation;
using norvik::test::write_file;

class Installed : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::set_root_for_testing(tmp.path());
        norvik::test::make_dirs(foundation::servmon_d_dir());
        norvik::server::set_DNSONLY_MODE(0);
        norvik::config::reset_cache();
    }
    void TearDown() override {
        norvik::server::set_DNSONLY_MODE(std::nullopt);
        norvik::config::reset_cache();
    }
    void monitor(const std::string& s) { write_file(foundation::servmon_d_dir() + "/" + s, ""); }
    norvik::test::TempDir tmp{"installed"};
};

TEST_F(Installed, AlwaysInstalledNeedsNothingOnDisk) {
    ASSERT_EQ(norvik::services::SERVICES().size(), 10u);
    for (const auto& s : norvik::services::SERVICES()) EXPECT_TRUE(services::service_is_installed(s)) << s;
    // norviklogd's own test says no; only the list makes it installed.
    EXPECT_TRUE(services::service_is_installed("norviklogd"));
    EXPECT_EQ(services::per_service_test("norviklogd"), false);
}

TEST_F(Installed, MonitorFileFallback) {
    EXPECT_FALSE(services::service_is_installed("nkwidgetd"));
    monitor("nkwidgetd");
    EXPECT_TRUE(services::service_is_installed("nkwidgetd"));
    // A hyphenated name keeps its hyphen in the monitor file name.
    monitor("nk-gadget");
    EXPECT_EQ(services::code_name("nk-gadget"), "nk_gadget");
    EXPECT_TRUE(services::service_is_installed("nk-gadget"));
}

TEST_F(Installed, FailingPerServiceTestBeatsTheMonitorFile) {
    monitor("p0f");
    monitor("httpd");
    EXPECT_FALSE(services::service_is_installed("p0f"));
    EXPECT_FALSE(services::service_is_installed("httpd"));
    write_file(foundation::p0f_binary(), "", 0755);
    EXPECT_TRUE(services::service_is_installed("p0f"));
    write_file(foundation::hx4_flag(), "");
    norvik::config::reset_cache();
    EXPECT_TRUE(services::service_is_installed("httpd"));
}

TEST_F(Installed, DnsOnlyServerHasNoMailOrFtpOrWebdav) {
    for (const char* s : {"imap", "pop", "mailman", "nkdavd"}) EXPECT_TRUE(services::service_is_installed(s)) << s;
    norvik::server::set_DNSONLY_MODE(1);
    for (const char* s : {"imap", "pop", "mailman", "nkdavd", "ftpd"}) {
        monitor(s);
        EXPECT_FALSE(services::service_is_installed(s)) << s;
    }
}

TEST_F(Installed, MtaAndItsAltPortAgree) {
    // Both follow the MTA's binary, whatever this host has. Without monitor
    // files a name that fell through to them would say no, and with them
    // yes, so one of the two rounds catches a name that lost its own test.
    const bool mta = ::access(norvik::pkgr::path("exim").c_str(), X_OK) == 0;
    for (bool with_monitor_files : {false, true}) {
        if (with_monitor_files) {
            monitor("exim");
            monitor("exim-altport");
        }
        EXPECT_EQ(services::service_is_installed("exim"), mta) << with_monitor_files;
        EXPECT_EQ(services::service_is_installed("exim-altport"), mta) << with_monitor_files;
        EXPECT_EQ(services::per_service_test("exim_altport"), mta);
    }
}

TEST_F(Installed, InvalidNameIsNotInstalledAndDoesNotEscape) {
    // A monitor "file" reachable only through a path in the name.
    write_file(tmp / "etc/escape", "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(services::service_is_installed("../escape"));
    EXPECT_FALSE(services::service_is_installed(""));
    testing::internal::GetCapturedStderr();
}

}  // namespace
