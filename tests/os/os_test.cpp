// Distribution detection from the release files, the link cache, and the
// fact lookup with its fallback class.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "support/test_support.hpp"
#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "os/os.hpp"
#include "os/release_probe.hpp"

using norvik::test::TempDir;
namespace os = norvik::os;

namespace {
class OSProbe : public ::testing::Test {
protected:
    void SetUp() override {
        norvik::foundation::set_root_for_testing(root_.path());
        os::clear_cache_after_distro_conversion();
    }
    void TearDown() override {
        os::clear_cache_after_distro_conversion();
        norvik::foundation::set_root_for_testing("");
    }
    void os_release(const std::string& text) { norvik::test::write_file(root_ / "etc/os-release", text); }
    std::string cache_text() {
        char buf[256];
        ssize_t n = ::readlink(norvik::foundation::os_info_cache().c_str(), buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    void set_mtime(const std::string& path, time_t t, bool link) {
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        ::utimensat(AT_FDCWD, path.c_str(), ts, link ? AT_SYMLINK_NOFOLLOW : 0);
    }
    TempDir root_{"os"};
};
}  // namespace

TEST_F(OSProbe, OsReleaseValues) {
    os_release("NAME=\"Ubuntu\"\nVERSION_ID=\"22.04\"\nVERSION=\"22.04.3 LTS (Jammy Jellyfish)\"\nID=ubuntu\n");
    auto r = os::_read_os_release();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->distro, "ubuntu");
    EXPECT_EQ(r->major, "22");
    EXPECT_EQ(r->minor, "04");
    EXPECT_EQ(r->build, "3");
    os_release(
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\nID=debian\n");
    r = os::_read_os_release();
    EXPECT_EQ(r->major + "." + r->minor + "." + r->build, "12.0.0");
    os_release("VERSION_ID=1\n");
    EXPECT_FALSE(os::_read_os_release());
}

TEST_F(OSProbe, RedHatReleaseWinsAndNamesItself) {
    os_release("ID=\"almalinux\"\nVERSION_ID=\"9.3\"\n");
    norvik::test::write_file(root_ / "etc/redhat-release", "Red Hat Enterprise Linux release 9.2 (Plow)\n");
    auto info = os::get_os_info(os::ACKNOWLEDGEMENT);
    EXPECT_EQ(info.distro, "rhel");
    EXPECT_EQ(info.major, "9");
    EXPECT_EQ(info.minor, "2");
    EXPECT_EQ(info.build, "0");
    norvik::test::write_file(root_ / "etc/redhat-release", "CentOS Linux release 7.9.2009 (Core)\n");
    auto r = os::_read_redhat_release();
    EXPECT_EQ(r->distro + r->major + r->minor + r->build, "centos792009");
    EXPECT_THROW(os::get_os_info("please"), norvik::PlainError);
}

// A release file is one line or a few, but nothing stops a long one; the
// readers used to recurse per character on it (found by fuzzing).
TEST_F(OSProbe, LongReleaseLinesAreScanned) {
    const std::string blanks(300000, ' ');
    os_release(blanks + "\nID" + blanks + "=" + blanks + "debian\nVERSION_ID=12\nVERSION=\"12 (bookworm)\"\n");
    auto r = os::_read_os_release();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->distro, "debian");
    EXPECT_EQ(r->major, "12");
    norvik::test::write_file(root_ / "etc/redhat-release",
                             std::string(300000, 'C') + " release " + std::string(300000, '7') + ".9 (Core)\n");
    r = os::_read_redhat_release();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->distro, std::string(300000, 'c'));
    EXPECT_EQ(r->major, std::string(300000, '7'));
    EXPECT_EQ(r->minor, "9");
}

TEST_F(OSProbe, RedHatVersionStartsAtAWordBoundary) {
    auto read = [&](const std::string& line) {
        norvik::test::write_file(root_ / "etc/redhat-release", line + "\n");
        auto r = os::_read_redhat_release();
        return r ? r->distro + "|" + r->major + "|" + r->minor + "|" + r->build : std::string("none");
    };
    EXPECT_EQ(read("x8.1 release 9.2.3"), "x8|9|2|3");
    EXPECT_EQ(read("Foo release 9.2 and 1.2.3"), "foo|1|2|3");
    EXPECT_EQ(read("Foo release 9. 4"), "foo|9|0|0");
    EXPECT_EQ(read("-release"), "||0|0");
}

TEST_F(OSProbe, NothingToReadRaises) { EXPECT_THROW(os::get_os_info(os::ACKNOWLEDGEMENT), norvik::PlainError); }

TEST_F(OSProbe, CacheFreshnessAndCustomMarker) {
    os_release("ID=ubuntu\nVERSION_ID=\"22.04\"\nVERSION=\"22.04.1 LTS\"\n");
    os::get_os_info(os::ACKNOWLEDGEMENT);
    EXPECT_EQ(cache_text(), "linux|ubuntu|22|04|1");
    // A cache as old as the release file is stale.
    set_mtime(root_ / "etc/os-release", 1000000, false);
    set_mtime(norvik::foundation::os_info_cache(), 1000000, true);
    EXPECT_FALSE(os::read_cache());
    set_mtime(norvik::foundation::os_info_cache(), 1000001, true);
    ASSERT_TRUE(os::read_cache());
    EXPECT_EQ(os::read_cache()->distro, "ubuntu");
    // With the marker, an old cache still counts and is kept by the flush.
    set_mtime(norvik::foundation::os_info_cache(), 10, true);
    EXPECT_FALSE(os::read_cache());
    ASSERT_EQ(::symlink("custom", norvik::foundation::os_custom_marker().c_str()), 0);
    EXPECT_TRUE(os::read_cache());
    EXPECT_EQ(os::flush_disk_caches(), 0);
    EXPECT_FALSE(cache_text().empty());
    ::unlink(norvik::foundation::os_custom_marker().c_str());
    EXPECT_EQ(os::flush_disk_caches(), 1);
    EXPECT_TRUE(cache_text().empty());
}

TEST_F(OSProbe, FactsPerDistributionAndFallback) {
    os::make_instance({"linux", "ubuntu", "22", "04", "0"});
    EXPECT_EQ(os::instance().class_name(), "Norvik::OS::Ubuntu22");
    EXPECT_EQ(os::maillog_path(), "/var/log/mail.log");
    EXPECT_EQ(os::package_manager_module(), "Norvik::Pkgr::Apt");
    EXPECT_EQ(os::systemd_service_name_map()["crond"], "cron");
    EXPECT_EQ(os::release_codename(), "jammy");
    EXPECT_THROW(os::assert_unreachable_on_ubuntu(), norvik::PlainError);
    os::make_instance({"linux", "almalinux", "9", "3", "0"});
    EXPECT_EQ(os::cron_bin_path(), "/usr/sbin/crond");
    EXPECT_EQ(os::package_manager_module(), "Norvik::Pkgr::Yum");
    EXPECT_NO_THROW(os::assert_unreachable_on_ubuntu());
    os::make_instance({"", "gentoo", "2", "0", "0"});
    EXPECT_TRUE(os::instance().is_fallback());
    EXPECT_EQ(os::instance().class_name(), "Norvik::OS::Linux");
    EXPECT_EQ(os::instance().kernel(), "linux");
    EXPECT_FALSE(os::is_supported());
    EXPECT_THROW(os::fact("install_packages"), norvik::PlainError);
    EXPECT_EQ(os::fact("Norvik::OS::nobody"), "nobody");
    EXPECT_TRUE(std::is_sorted(os::supported_methods().begin(), os::supported_methods().end()));
}

TEST_F(OSProbe, ListsAndPrettyNames) {
    os::make_instance({"linux", "debian", "12", "0", "0"});
    EXPECT_EQ(os::list_contains_value("dns_supported", "bind"), 1);
    EXPECT_EQ(os::list_contains_value("dns_supported", "djbdns"), 0);
    EXPECT_EQ(os::list_contains_value("dns_supported", std::nullopt), 0);
    EXPECT_THROW(os::list_contains_value("maillog_path", "x"), norvik::PlainError);
    EXPECT_EQ(os::lookup_pretty_distro("ubuntu22").value_or(""), "Ubuntu 22");
    EXPECT_EQ(os::lookup_pretty_distro("almalinux9").value_or(""), "AlmaLinux 9");
    EXPECT_FALSE(os::lookup_pretty_distro("ubuntu99"));
    EXPECT_FALSE(os::lookup_pretty_distro("ubuntu"));
}

TEST_F(OSProbe, FirstLookupProbesAndConversionForgets) {
    os_release("ID=rocky\nVERSION_ID=\"8.9\"\n");
    EXPECT_EQ(os::distro(), "rocky");
    EXPECT_EQ(os::pretty_distro(), "Rocky Linux");
    os_release("ID=almalinux\nVERSION_ID=\"8.9\"\n");
    ::unlink(norvik::foundation::os_info_cache().c_str());
    EXPECT_EQ(os::distro(), "rocky");  // the instance is kept
    os::clear_cache_after_distro_conversion();
    EXPECT_EQ(os::distro(), "almalinux");
}
