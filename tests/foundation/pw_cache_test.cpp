#include <sys/stat.h>
#include <fcntl.h>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "foundation/paths.hpp"
#include "foundation/pw_cache.hpp"

namespace foundation = norvik::foundation;
using norvik::test::TempDir;

class PwCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        norvik::foundation::set_root_for_testing(t.path());
        foundation::clear_pw_cache();
    }
    void TearDown() override {
        foundation::clear_pw_cache();
        norvik::foundation::set_root_for_testing("");
    }
    void passwd(const std::string& text) { norvik::test::write_file(t / "etc/passwd", text); }
    TempDir t;
};

TEST_F(PwCacheTest, PrefixNamesAndUidOnlyInThirdField) {
    passwd("abc:x:1001:1005::/home/abc:/bin/sh\nab:x:1002:100::/home/ab:/bin/sh\ny:x:1005:1:g:/home/1005:/bin/false\n");
    auto ab = foundation::cached_getpwnam("ab");
    ASSERT_TRUE(ab);
    EXPECT_EQ(ab->uid, 1002u);
    EXPECT_EQ(ab->dir, "/home/ab");
    auto u = foundation::cached_getpwuid(1005);  // abc has 1005 as its gid, y as its uid
    ASSERT_TRUE(u);
    EXPECT_EQ(u->name, "y");
    EXPECT_FALSE(foundation::cached_getpwuid(100));
    EXPECT_FALSE(foundation::cached_getpwnam("a"));
    EXPECT_FALSE(foundation::cached_getpwnam("ab:x"));
    EXPECT_EQ(foundation::getusername(1001).value_or(""), "abc");
}

TEST_F(PwCacheTest, LineAcrossTheChunkBoundaryIsFound) {
    std::string text;
    int i = 0;
    while (text.size() < foundation::PW_CHUNK_SIZE - 20) {
        text += "filler" + std::to_string(i) + ":x:" + std::to_string(50000 + i) + ":1::/h:/s\n";
        ++i;
    }
    text += "straddler:x:4242:7::/home/straddler:/bin/sh\ntail:x:4243:7::/t:/s\n";
    passwd(text);
    auto r = foundation::cached_getpwnam("straddler");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->uid, 4242u);
    foundation::clear_pw_cache();
    auto byuid = foundation::cached_getpwuid(4242);
    ASSERT_TRUE(byuid);
    EXPECT_EQ(byuid->name, "straddler");
    EXPECT_EQ(byuid->shell, "/bin/sh");
}

TEST_F(PwCacheTest, ChangedFileIsReReadAndSecondUidZeroKeepsRoot) {
    passwd("toor:x:0:0::/toor:/bin/sh\nroot:x:0:0::/root:/bin/sh\nann:x:1000:1000::/home/ann:/bin/sh\n");
    EXPECT_EQ(foundation::cached_getpwnam("toor")->uid, 0u);
    EXPECT_EQ(foundation::cached_getpwuid(0)->name, "root");
    EXPECT_EQ(foundation::cached_getpwnam("ann")->dir, "/home/ann");
    passwd("root:x:0:0::/root:/bin/sh\nann:x:1000:1000::/srv/ann:/bin/sh\n");
    struct timespec ts[2] = {{1000000, 0}, {1000000, 0}};
    utimensat(AT_FDCWD, (t / "etc/passwd").c_str(), ts, 0);
    EXPECT_EQ(foundation::cached_getpwnam("ann")->dir, "/srv/ann");
}

TEST_F(PwCacheTest, HomeDirectoryFollowsEveryChangeOfThePasswordFile) {
    const std::string file = t / "etc/passwd";
    struct timespec fixed[2] = {{1000000, 0}, {1000000, 0}};
    passwd("ann:x:1000:1000::/home/ann:/bin/sh\n");
    utimensat(AT_FDCWD, file.c_str(), fixed, 0);
    EXPECT_EQ(foundation::gethomedir("ann").value_or(""), "/home/ann");
    EXPECT_EQ(foundation::gethomedir(1000).value_or(""), "/home/ann");
    // Rewritten in place with the same modification time: the size tells.
    passwd("ann:x:1000:1000::/srv/homes/ann:/bin/sh\n");
    utimensat(AT_FDCWD, file.c_str(), fixed, 0);
    EXPECT_EQ(foundation::gethomedir("ann").value_or(""), "/srv/homes/ann");
    EXPECT_EQ(foundation::gethomedir(1000).value_or(""), "/srv/homes/ann");
    // Replaced by another file of the same size and time: the inode tells.
    norvik::test::write_file(file + ".new", "ann:x:1000:1000::/srv/homes/bob:/bin/sh\n");
    utimensat(AT_FDCWD, (file + ".new").c_str(), fixed, 0);
    ASSERT_EQ(rename((file + ".new").c_str(), file.c_str()), 0);
    EXPECT_EQ(foundation::gethomedir("ann").value_or(""), "/srv/homes/bob");
    // Gone: no answer from memory.
    ASSERT_EQ(unlink(file.c_str()), 0);
    EXPECT_FALSE(foundation::gethomedir("ann"));
}

// A disk cache file is only trusted when its numbers are integers that fit
// their fields; converting others was undefined (found by fuzzing under the
// undefined-behaviour checker).
TEST(PwRecordJson, NumbersMustBeIntegersThatFit) {
    auto list = [](const nlohmann::json& uid, const nlohmann::json& mtime) {
        return nlohmann::json::array(
            {"alice", "x", uid, 1000, "", "", "Alice", "/home/alice", "/bin/sh", -1, -1, mtime, mtime});
    };
    auto ok = foundation::PwRecord::from_json(list(1000, 1700000000000000000LL));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->uid, 1000u);
    EXPECT_EQ(ok->passwd_mtime, 1700000000000000000LL);
    EXPECT_TRUE(foundation::PwRecord::from_json(list(4294967295ULL, 0)));
    for (const nlohmann::json& bad_uid : {nlohmann::json(1e300), nlohmann::json(1.5), nlohmann::json(-1),
                                          nlohmann::json(4294967296ULL), nlohmann::json("1000")})
        EXPECT_FALSE(foundation::PwRecord::from_json(list(bad_uid, 0))) << bad_uid.dump();
    EXPECT_FALSE(foundation::PwRecord::from_json(list(1000, 1e300)));
    EXPECT_FALSE(foundation::PwRecord::from_json(list(1000, 18446744073709551615ULL)));
}
