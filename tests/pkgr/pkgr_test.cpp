#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "foundation/paths.hpp"
#include "os/os.hpp"
#include "pkgr/binaries.hpp"
#include "pkgr/rpm.hpp"
#include "pkgr/pkgr.hpp"
#include "pkgr/apt.hpp"
#include "pkgr/yum.hpp"
#include "run/fork_async.hpp"
#include "support/test_support.hpp"

namespace {

// Fake package tools that answer like the real ones for a few packages.
const char* FAKE_DPKG_QUERY = R"(#!/bin/sh
# dpkg-query -W --showformat FORMAT PACKAGE...
[ "$1" = "-W" ] && [ "$2" = "--showformat" ] || exit 2
fmt=$3; shift 3
rc=0
for p in "$@"; do
  case "$p" in
    exim4) st="ii "; v="4.96-15+deb12u4"; a=amd64 ;;
    libc6) st="ii "; v="2.36-9+deb12u7"; a=amd64 ;;
    oldpkg) st="rc "; v="1.0-1"; a=amd64 ;;
    *) echo "dpkg-query: no packages found matching $p" >&2; rc=1; continue ;;
  esac
  case "$fmt" in
    *Package*) printf '%s %s %s %s\n' "$st" "$p" "$v" "$a" ;;
    *) printf '%s' "$st" ;;
  esac
done
exit $rc
)";

const char* FAKE_RPM = R"(#!/bin/sh
# rpm -q --nodigest --nosignature --queryformat FORMAT PACKAGE...
[ "$1" = "-q" ] || exit 2
fmt=$5; shift 5
rc=0
for p in "$@"; do
  case "$p" in
    bash) n=bash; v="5.1.8-9.el9" ;;
    exim) n=exim; v="4.97.1-1.el9" ;;
    huge) n=huge; v=$(head -c 300000 /dev/zero | tr '\0' 'v') ;;
    *) echo "package $p is not installed"; rc=1; continue ;;
  esac
  case "$fmt" in
    *VERSION*) printf '%s %s\n' "$n" "$v" ;;
    *) printf '%s\n' "$n" ;;
  esac
done
exit $rc
)";

class PkgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        bin_ = std::make_unique<norvik::test::TempDir>("pkgr-bin");
        root_ = std::make_unique<norvik::test::TempDir>("pkgr-root");
        norvik::test::write_file(*bin_ / "dpkg-query", FAKE_DPKG_QUERY, 0755);
        norvik::test::write_file(*bin_ / "rpm", FAKE_RPM, 0755);
        const char* p = ::getenv("PATH");
        old_path_ = p ? p : "";
        ::setenv("PATH", (bin_->path() + ":" + old_path_).c_str(), 1);
        norvik::foundation::set_root_for_testing(root_->path());
    }
    void TearDown() override {
        ::setenv("PATH", old_path_.c_str(), 1);
        ::unsetenv("NORVIK_RPM_LOCKED_IN_PARENT");
        norvik::foundation::set_root_for_testing("");
        norvik::pkgr::reset_instance_for_testing();
    }
    std::unique_ptr<norvik::test::TempDir> bin_, root_;
    std::string old_path_;
};

}  // namespace

TEST_F(PkgrTest, DebianBackEndReadsDpkgQuery) {
    norvik::pkgr::Apt apt;
    EXPECT_EQ(apt.name(), "apt");
    EXPECT_EQ(apt._dpkg_query().bin(), bin_->path() + "/dpkg-query");
    EXPECT_EQ(apt.get_package_version("exim4"), "4.96-15+deb12u4");
    EXPECT_FALSE(apt.get_package_version("oldpkg"));   // removed, configuration left
    EXPECT_FALSE(apt.get_package_version("missing"));  // unknown to the tool
    EXPECT_EQ(apt.is_installed("exim4"), true);
    EXPECT_EQ(apt.is_installed("oldpkg"), false);
    EXPECT_EQ(apt.is_installed("missing"), false);
    auto many = apt.installed_packages({"exim4", "missing", "libc6", "oldpkg"});
    EXPECT_EQ(many.size(), 2u);
    EXPECT_EQ(many["libc6"], "2.36-9+deb12u7");

    norvik::pkgr::Apt with_arch({.with_arch_suffix = true});
    EXPECT_EQ(with_arch.get_package_version("exim4"), "4.96-15+deb12u4:amd64");
}

TEST_F(PkgrTest, RpmBackEndReadsRpm) {
    norvik::pkgr::Yum yum;
    EXPECT_EQ(yum.name(), "yum");
    EXPECT_EQ(yum.get_package_version("bash"), "5.1.8-9.el9");
    EXPECT_FALSE(yum.get_package_version("nothere"));
    auto both = yum.get_version_for_packages({"nothere", "exim", "bash"});
    EXPECT_EQ(both.size(), 2u);
    EXPECT_EQ(both["exim"], "4.97.1-1.el9");
    EXPECT_EQ(yum.is_installed("bash"), true);
    EXPECT_EQ(yum.is_installed("nothere"), false);
    EXPECT_THROW(yum._rpm().get_version({}), norvik::PlainError);
    // A very long version line is read, not a crash.
    auto huge = yum.get_package_version("huge");
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->size(), 300000u);
}

TEST_F(PkgrTest, FactoryFollowsTheOperatingSystem) {
    norvik::os::make_instance({.kernel = "linux", .distro = "debian", .major = "12", .minor = "0", .build = ""});
    norvik::pkgr::reset_instance_for_testing();
    EXPECT_EQ(norvik::pkgr::name(), "apt");
    EXPECT_EQ(norvik::pkgr::get_package_version("exim4"), "4.96-15+deb12u4");
    EXPECT_EQ(norvik::pkgr::is_installed("missing"), false);
    norvik::os::clear_cache_after_distro_conversion();
}

TEST_F(PkgrTest, MissingToolRaises) {
    ::setenv("PATH", "/nonexistent", 1);
    norvik::pkgr::Apt apt({}, {.bin = std::string("/nonexistent/dpkg-query")});
    EXPECT_THROW(apt.get_package_version("exim4"), norvik::PlainError);
}

TEST_F(PkgrTest, RpmLockIsHeldForChangesAndReleased) {
    norvik::pkgr::Rpm rpm({.lock_timeout = 0.4});
    EXPECT_EQ(rpm.needs_lock({"-q", "bash"}), false);
    EXPECT_EQ(rpm.needs_lock({"-e", "bash", "--test"}), false);
    EXPECT_EQ(rpm.needs_lock({"-e", "bash"}), true);
    {
        auto lock = rpm.get_lock_for_cmd(nullptr, {"-e", "bash"});
        ASSERT_TRUE(lock);
        EXPECT_STREQ(::getenv("NORVIK_RPM_LOCKED_IN_PARENT"), std::to_string(::getpid()).c_str());
        // Another holder cannot take it meanwhile.
        int fd = ::open((norvik::foundation::binaries_lock_dir() + "/rpm").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
        ::close(fd);
        // A child of the holder only waits for the tools' own locks.
        EXPECT_FALSE(rpm.get_lock_for_cmd(nullptr, {"-e", "bash"}));
    }
    EXPECT_EQ(::getenv("NORVIK_RPM_LOCKED_IN_PARENT"), nullptr);

    // Held elsewhere: the wait ends with an error after lock_timeout.
    norvik::test::make_dirs(norvik::foundation::binaries_lock_dir(), 0700);
    int fd = ::open((norvik::foundation::binaries_lock_dir() + "/rpm").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(rpm.hold_lock(nullptr, {"-e", "bash"}), norvik::PlainError);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
    ::close(fd);
}

TEST_F(PkgrTest, WaitsWhileAnotherProcessHoldsTheToolsLockFile) {
    norvik::pkgr::Rpm rpm({.lock_timeout = 0.5});
    EXPECT_EQ(rpm.wait_for_locks(nullptr, {}), 1);
    norvik::test::write_file(norvik::foundation::rpm_lock(), "");
    std::string lock = norvik::foundation::rpm_lock();
    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    pid_t holder = norvik::run::do_in_child([&] {
        int fd = ::open(lock.c_str(), O_RDONLY | O_CLOEXEC);
        (void)fd;
        ssize_t ignored = ::write(ready[1], "x", 1);
        (void)ignored;
        ::sleep(20);
    });
    ::close(ready[1]);
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    EXPECT_THROW(rpm.wait_for_locks(nullptr, {}), norvik::PlainError);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(rpm.wait_for_locks(nullptr, {}), 1);
}

namespace {
struct SlashLock : norvik::pkgr::Rpm {
    using norvik::pkgr::Rpm::Rpm;
    std::string lock_to_hold() const override { return "../escape"; }
};
}  // namespace

TEST_F(PkgrTest, LockNameWithSlashIsRefusedBeforeTouchingFiles) {
    SlashLock rpm;
    EXPECT_THROW(rpm.hold_lock(nullptr, {}), norvik::PlainError);
    EXPECT_FALSE(norvik::test::exists(norvik::foundation::binaries_lock_dir()));
}

TEST_F(PkgrTest, BinaryPaths) {
    EXPECT_EQ(norvik::pkgr::path(""), "");
    EXPECT_EQ(norvik::pkgr::path("ionice"), "/usr/bin/ionice");
    EXPECT_EQ(norvik::pkgr::path("sshd"), "/usr/sbin/sshd");
    EXPECT_EQ(norvik::pkgr::path("nksrvd"), root_->path() + "/usr/local/norvik/bin/nksrvd");
    EXPECT_THROW(norvik::pkgr::path("no-such-program-anywhere"), norvik::PlainError);
}
