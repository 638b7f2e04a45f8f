#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include <gtest/gtest.h>

#include "config/load_config.hpp"
#include "config/nkconf.hpp"
#include "config/nkconf_guard.hpp"
#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "support/test_support.hpp"

namespace {

using norvik::config::NkConf;
using norvik::config::NkConfGuard;
namespace foundation = norvik::foundation;
namespace config = norvik::config;

void set_mtime(const std::string& path, time_t t) { ASSERT_TRUE(norvik::test::set_mtime(path, t)) << path; }

class NkConf_ : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::set_root_for_testing(tmp.path());
        NkConfGuard::set_memory_only(std::nullopt);
        NkConfGuard::clearcache();
    }
    void TearDown() override { NkConfGuard::clearcache(); }
    NkConf read_unlocked() {
        NkConfGuard::Options o;
        o.loadnkconf = true;
        o.use_lock = false;
        return NkConfGuard(o).config_copy();
    }
    norvik::test::TempDir tmp{"nkconf"};
};

TEST(LoadConfigParse, GarbageLinesCommentsAndFirstEquals) {
    NkConf c;
    norvik::config::parse(
        "# comment\n\n  \nskipmailman=1\nnoequals\n=novalue\nurl=http://x/?a=b\n  spaced  =  v  \r\n"
        "\x01\x02garbage\ntrailing=last",
        c);
    EXPECT_EQ(c.size(), 4u);
    EXPECT_EQ(c["skipmailman"], "1");
    EXPECT_EQ(c["url"], "http://x/?a=b");
    EXPECT_EQ(c["spaced"], "v");
    EXPECT_EQ(c["trailing"], "last");
    NkConf round;
    norvik::config::parse(norvik::config::serialize(c), round);
    EXPECT_EQ(round, c);
}

// The root run checks every key it would write back; a long key made the
// check recurse per character (found by fuzzing).
TEST_F(NkConf_, LongKeysAreCheckedWithoutRecursion) {
    const std::string good(300000, 'k'), bad = std::string(300000, 'k') + "!";
    norvik::test::write_file(foundation::main_config(), good + "=1\n" + bad + "=2\nplain=3\n", 0644);
    NkConfGuard::Options o;
    o.use_lock = true;
    NkConf conf = NkConfGuard(o).config_copy();
    EXPECT_EQ(conf.count(good), 1u);
    EXPECT_EQ(conf.count(bad), 1u);
    EXPECT_EQ(conf["plain"], "3");
    // The default it adds makes the guard rewrite the file; the unusual
    // key's line stays as the admin wrote it.
    const std::string text = norvik::test::read_file(foundation::main_config());
    EXPECT_NE(text.find("\n" + bad + "=2\n"), std::string::npos);
    EXPECT_NE(text.find("skipmailman=0\n"), std::string::npos);
}

TEST_F(NkConf_, CacheIsTrustedOnlyAtExactlyOneSecondAfterTheMainFile) {
    norvik::test::write_file(foundation::main_config(), "source=main\n", 0644);
    norvik::test::write_file(foundation::main_config_cache(), R"({"source":"cache"})", 0644);
    const time_t base = std::time(nullptr) - 100;
    set_mtime(foundation::main_config(), base);
    for (int offset : {0, 1, 2}) {
        NkConfGuard::clearcache();
        set_mtime(foundation::main_config_cache(), base + offset);
        auto [cache, valid] = NkConfGuard::get_cache();
        EXPECT_EQ(valid, offset == 1 ? 1 : 0) << offset;
        EXPECT_EQ(read_unlocked()["source"], offset == 1 ? "cache" : "main") << offset;
    }
}

TEST_F(NkConf_, CorruptOrTruncatedCacheFallsBackToTheMainFile) {
    norvik::test::write_file(foundation::main_config(), "source=main\n", 0644);
    const time_t base = std::time(nullptr) - 100;
    set_mtime(foundation::main_config(), base);
    for (const char* bad : {R"({"source":"cac)", "not json", "[1,2]", R"({"source":{"nested":1}})", ""}) {
        NkConfGuard::clearcache();
        norvik::test::write_file(foundation::main_config_cache(), bad, 0644);
        set_mtime(foundation::main_config_cache(), base + 1);
        EXPECT_EQ(NkConfGuard::get_cache().second, false) << bad;
        EXPECT_EQ(read_unlocked()["source"], "main") << bad;
    }
}

TEST_F(NkConf_, TouchingTheMainFileMakesTheNextReadGoToDisk) {
    norvik::test::write_file(foundation::main_config(), "k=1\n", 0644);
    norvik::test::write_file(foundation::main_config_cache(), R"({"k":"1"})", 0644);
    const time_t base = std::time(nullptr) - 100;
    set_mtime(foundation::main_config(), base);
    set_mtime(foundation::main_config_cache(), base + 1);
    EXPECT_EQ(config::loadnkconf_not_copy()->at("k"), "1");
    EXPECT_EQ(NkConfGuard::mem_cache_mtime(), base);
    norvik::test::write_file(foundation::main_config(), "k=2\n", 0644);
    set_mtime(foundation::main_config(), base + 10);
    EXPECT_EQ(config::loadnkconf_not_copy()->at("k"), "2");
}

TEST_F(NkConf_, CopyAndSharedMap) {
    norvik::test::write_file(foundation::main_config(), "a=1\n", 0644);
    norvik::test::write_file(foundation::main_config_cache(), R"({"a":"1"})", 0644);
    const time_t base = std::time(nullptr) - 100;
    set_mtime(foundation::main_config(), base);
    set_mtime(foundation::main_config_cache(), base + 1);
    auto copy = config::loadnkconf();
    copy["a"] = "changed";
    EXPECT_EQ(config::loadnkconf()["a"], "1");
    auto shared1 = config::loadnkconf_not_copy();
    auto shared2 = config::loadnkconf_not_copy();
    EXPECT_EQ(shared1.get(), shared2.get());
}

TEST_F(NkConf_, NonRootWithoutTheMainFileGetsEmptyAndCreatesNothing) {
    EXPECT_TRUE(read_unlocked().empty());
    EXPECT_FALSE(norvik::test::exists(foundation::main_config()));
    EXPECT_FALSE(norvik::test::exists(foundation::main_config_cache()));
}

TEST_F(NkConf_, AsRootMissingFileIsCreatedAndTheCacheRewrittenOnRelease) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    {
        NkConfGuard::Options o;
        o.loadnkconf = true;
        NkConfGuard g(o);
        EXPECT_EQ(g.is_missing(), true);
        EXPECT_EQ(g.is_locked(), true);
        EXPECT_TRUE(g.rw());
    }
    struct stat st {};
    ASSERT_EQ(stat(foundation::main_config().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, 0u);
    // Now write a value and check the cache gets the +1 s mtime.
    {
        NkConfGuard::Options o;
        o.use_lock = true;
        NkConfGuard g(o);
        g.set("greylist_enabled", "1");
        g.save();
    }
    struct stat cst {};
    ASSERT_EQ(stat(foundation::main_config().c_str(), &st), 0);
    ASSERT_EQ(stat(foundation::main_config_cache().c_str(), &cst), 0);
    EXPECT_EQ(cst.st_mtime, st.st_mtime + 1);
    NkConfGuard::clearcache();
    EXPECT_EQ(NkConfGuard::get_cache().second, true);
    EXPECT_EQ(config::get("greylist_enabled"), "1");
    EXPECT_NE(norvik::test::read_file(foundation::main_config()).find("greylist_enabled=1\n"), std::string::npos);
}

bool config_lock_is_free() {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = ::open(norvik::config::lock_file_for(foundation::main_config()).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) _exit(2);
        _exit(::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WEXITSTATUS(status) == 0;
}

TEST_F(NkConf_, ForkedChildsGuardLeavesTheParentsLock) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    norvik::test::write_file(foundation::main_config(), "a=1\n", 0644);
    auto guard = std::make_unique<NkConfGuard>(NkConfGuard::Options{false, true, true});
    ASSERT_EQ(guard->is_locked(), true);
    ASSERT_FALSE(config_lock_is_free());
    pid_t pid = fork();
    if (pid == 0) {
        guard->release_lock();
        guard.reset();
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    EXPECT_FALSE(config_lock_is_free());
    EXPECT_EQ(guard->is_locked(), true);
    guard.reset();
    EXPECT_TRUE(config_lock_is_free());
}

TEST_F(NkConf_, MemoryOnlyTouchesNoFile) {
    NkConfGuard::set_memory_only(NkConf{{"x", "y"}});
    EXPECT_EQ(config::loadnkconf()["x"], "y");
    EXPECT_FALSE(norvik::test::exists(foundation::main_config()));
    NkConfGuard::set_memory_only(std::nullopt);
}

TEST_F(NkConf_, UnreadableMainFileRaises) {
    // A directory where the file should be: not a missing file, so an error.
    norvik::test::make_dirs(foundation::main_config());
    NkConfGuard::Options o;
    o.loadnkconf = true;
    o.use_lock = false;
    EXPECT_THROW({ NkConfGuard g(o); }, norvik::PlainError);
}

}  // namespace
