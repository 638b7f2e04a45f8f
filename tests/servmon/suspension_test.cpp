#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include <gtest/gtest.h>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "servmon/suspension.hpp"
#include "support/test_support.hpp"

namespace {

namespace servmon = norvik::servmon;
using norvik::test::read_file;

class ServmonTiny : public ::testing::Test {
protected:
    void SetUp() override { norvik::foundation::set_root_for_testing(tmp.path()); }
    std::string file(const std::string& s) { return servmon::service_suspend_dir() + "/" + s; }
    norvik::test::TempDir tmp{"servmon"};
};

TEST_F(ServmonTiny, DelaysDefaultAndCap) {
    const int64_t T = 1700000000;
    ASSERT_TRUE(servmon::suspend_service("exim", std::nullopt, T));
    EXPECT_EQ(read_file(file("exim")), std::to_string(T + 70));
    ASSERT_TRUE(servmon::suspend_service("exim", 0, T));
    EXPECT_EQ(read_file(file("exim")), std::to_string(T + 70));
    ASSERT_TRUE(servmon::suspend_service("exim", 7200, T));
    EXPECT_EQ(read_file(file("exim")), std::to_string(T + 3600));
    // Replaced, not extended.
    ASSERT_TRUE(servmon::suspend_service("exim", 600, T));
    EXPECT_EQ(read_file(file("exim")), std::to_string(T + 600));
    const auto before = std::time(nullptr);
    ASSERT_TRUE(servmon::suspend_service("httpd"));
    const auto v = std::stoll(read_file(file("httpd")));
    EXPECT_GE(v, before + 70);
    EXPECT_LE(v, std::time(nullptr) + 70);
}

TEST_F(ServmonTiny, FileAndDirectoryModes) {
    ASSERT_TRUE(servmon::suspend_service("nkdavd", 100));
    struct stat st {};
    ASSERT_EQ(stat(servmon::service_suspend_dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(file("nkdavd").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(read_file(file("nkdavd")).find('\n'), std::string::npos);
}

TEST_F(ServmonTiny, SuspendedUntilStrictlyBeforeExpiry) {
    const int64_t now = std::time(nullptr);
    servmon::Suspensions m{{"a", now + 100}, {"b", now}, {"c", now - 5}};
    EXPECT_EQ(servmon::is_service_suspended(m, "a"), true);
    EXPECT_EQ(servmon::is_service_suspended(m, "c"), false);
    // Expiry equal to now is over (allow the clock to tick once).
    EXPECT_EQ(servmon::is_service_suspended(m, "b"), false);
    EXPECT_EQ(servmon::is_service_suspended(m, ""), std::nullopt);
    EXPECT_EQ(servmon::is_service_suspended(m, "unknown"), std::nullopt);
    // Not in the map: the file decides.
    ASSERT_TRUE(servmon::suspend_service("d", 300));
    EXPECT_EQ(servmon::is_service_suspended({}, "d"), true);
    norvik::test::write_file(file("garbage"), "soon\n", 0600);
    EXPECT_EQ(servmon::is_service_suspended({}, "garbage"), std::nullopt);
}

TEST_F(ServmonTiny, ListingSkipsDotFilesAndResumeRemoves) {
    EXPECT_EQ(servmon::load_service_suspensions(), std::nullopt);
    ASSERT_TRUE(servmon::suspend_service("exim", 10, 1000));
    ASSERT_TRUE(servmon::suspend_service("pop", 20, 1000));
    norvik::test::write_file(file(".hidden"), "5000", 0600);
    auto all = servmon::load_service_suspensions();
    ASSERT_TRUE(all);
    EXPECT_EQ(all->size(), 2u);
    EXPECT_EQ(all->at("exim"), 1010);
    EXPECT_EQ(all->at("pop"), 1020);
    EXPECT_EQ(servmon::resume_service("exim"), 1);
    EXPECT_EQ(servmon::resume_service("exim"), 0);
}

TEST_F(ServmonTiny, NamesThatCouldLeaveTheDirectoryRaise) {
    for (const char* bad : {"../x", "a/b", "/", "..", ".", ""}) {
        EXPECT_THROW(servmon::suspend_service(bad, 10), norvik::PlainError) << bad;
        EXPECT_THROW(servmon::resume_service(bad), norvik::PlainError) << bad;
    }
    EXPECT_FALSE(norvik::test::exists(tmp / "x"));
}

TEST_F(ServmonTiny, PlantedSymlinkIsReplacedNotFollowed) {
    norvik::test::make_dirs(servmon::service_suspend_dir(), 0700);
    const std::string victim = tmp / "victim";
    norvik::test::write_file(victim, "precious", 0644);
    ASSERT_EQ(symlink(victim.c_str(), file("exim").c_str()), 0);
    // Reading through the link is refused too.
    EXPECT_EQ(servmon::is_service_suspended({}, "exim"), std::nullopt);
    ASSERT_TRUE(servmon::suspend_service("exim", 10, 100));
    EXPECT_EQ(read_file(victim), "precious");
    struct stat st {};
    ASSERT_EQ(lstat(file("exim").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(file("exim")), "110");
}

TEST_F(ServmonTiny, DirectoryThatCannotBeCreatedGivesFalse) {
    // A regular file where the parent directory should be.
    norvik::test::write_file(norvik::foundation::state_dir() + "/servmon", "not a dir", 0644);
    EXPECT_FALSE(servmon::suspend_service("exim", 10));
    // A symbolic link in place of the directory is refused.
    norvik::test::TempDir other("servmon-other");
    ::unlink((norvik::foundation::state_dir() + "/servmon").c_str());
    norvik::test::make_dirs(norvik::foundation::state_dir() + "/servmon");
    ASSERT_EQ(symlink(other.path().c_str(), servmon::service_suspend_dir().c_str()), 0);
    EXPECT_FALSE(servmon::suspend_service("exim", 10));
    EXPECT_FALSE(norvik::test::exists(other / "exim"));
}

TEST_F(ServmonTiny, WholeMonitorFlag) {
    EXPECT_EQ(servmon::is_suspended(), false);
    norvik::test::write_file(servmon::suspend_file(), "", 0644);
    EXPECT_EQ(servmon::is_suspended(), true);
    EXPECT_EQ(servmon::is_suspended(), true);
}

}  // namespace
