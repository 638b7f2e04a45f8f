// The on-disk password cache: root only, a private root-owned directory,
// one file per key with the uid and name keys hard-linked.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "foundation/paths.hpp"
#include "foundation/pw_cache.hpp"
#include "foundation/pw_disk_cache.hpp"
#include "support/test_support.hpp"

namespace foundation = norvik::foundation;
using norvik::foundation::PwDiskCache;
using json = nlohmann::json;
using norvik::test::TempDir;

namespace {

const char* kPasswd =
    "root:x:0:0:root:/root:/bin/bash\n"
    "alice:x:1000:1000:Alice:/home/alice:/bin/sh\n"
    "bob:x:1001:1001::/home/bob:/bin/sh\n";

struct stat stat_of(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) st.st_ino = 0;
    return st;
}

class PwDiskCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "the disk cache is root's only";
        norvik::foundation::set_root_for_testing(root.path());
        passwd(kPasswd);
        norvik::test::make_dirs(root / "var/norvik");
        foundation::clear_pw_cache();
        dir = norvik::foundation::pwcache_dir();
    }
    void TearDown() override {
        foundation::set_want_encrypted_password(false);
        foundation::deinit_pw_helpers();
        foundation::clear_pw_cache();
        norvik::foundation::set_root_for_testing("");
    }
    void passwd(const std::string& text) { norvik::test::write_file(root / "etc/passwd", text); }
    // Moves the password file's time, as an edit would.
    void touch_passwd(time_t t) {
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        ::utimensat(AT_FDCWD, (root / "etc/passwd").c_str(), ts, 0);
    }
    std::string file(const std::string& key) const { return dir + "/" + key; }
    json read_json(const std::string& key) const {
        return json::parse(norvik::test::read_file(file(key)), nullptr, false);
    }
    // Rewrites a cache file in place (both links see it).
    void doctor(const std::string& key, const std::string& home, const std::string& version = "1") {
        json j = read_json(key);
        ASSERT_TRUE(j.is_object()) << key;
        j["contents"][7] = home;
        j["VERSION"] = version;
        norvik::test::write_file(file(key), j.dump(), 0600);
    }
    foundation::CacheEntry entry_for(const std::string& name, uid_t uid) {
        foundation::CacheEntry e;
        e.contents.name = name;
        e.contents.passwd = "x";
        e.contents.uid = uid;
        e.contents.dir = "/home/" + name;
        return e;
    }

    TempDir root{"pwdisk"};
    std::string dir;
};

}  // namespace

TEST_F(PwDiskCacheTest, OneFilePerKeyHardLinkedInAPrivateDirectory) {
    mode_t old = ::umask(0);
    PwDiskCache cache;
    EXPECT_EQ(cache.dir(), dir);
    auto e = cache.FETCH("0:alice");
    ::umask(old);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->contents.uid, 1000u);
    struct stat d = stat_of(dir);
    ASSERT_TRUE(S_ISDIR(d.st_mode));
    EXPECT_EQ(d.st_mode & 07777, 0700u);
    EXPECT_EQ(d.st_uid, 0u);
    struct stat a = stat_of(file("0:alice")), b = stat_of(file("2:1000"));
    ASSERT_NE(a.st_ino, 0u);
    EXPECT_EQ(a.st_mode & 07777, 0600u);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    json j = read_json("2:1000");
    EXPECT_EQ(j["VERSION"], norvik::foundation::PW_DISK_CACHE_VERSION);
    ASSERT_TRUE(j["contents"].is_array());
    EXPECT_EQ(j["contents"].size(), 13u);
    EXPECT_EQ(j["contents"][0], "alice");
    EXPECT_EQ(j["contents"][7], "/home/alice");
    // Nothing else was written.
    EXPECT_FALSE(norvik::test::exists(file("0:bob")));
}

TEST_F(PwDiskCacheTest, DiskAnswersWhileThePasswordFileIsUnchanged) {
    PwDiskCache cache;
    ASSERT_TRUE(cache.FETCH("0:alice"));
    doctor("0:alice", "/from/disk");
    foundation::clear_pw_cache();
    // The other key reads the same (linked) file.
    auto e = cache.FETCH("2:1000");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->contents.dir, "/from/disk");
    // ...and the record went into the process cache.
    EXPECT_EQ(foundation::load_cached("0:alice").value_or(foundation::CacheEntry{}).contents.dir, "/from/disk");

    // An edited password file makes the disk entry stale: re-read and rewritten.
    touch_passwd(1000000);
    foundation::clear_pw_cache();
    e = cache.FETCH("0:alice");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->contents.dir, "/home/alice");
    EXPECT_EQ(read_json("0:alice")["contents"][7], "/home/alice");
    EXPECT_EQ(stat_of(file("0:alice")).st_ino, stat_of(file("2:1000")).st_ino);
}

TEST_F(PwDiskCacheTest, OtherVersionOrMismatchedRecordIsIgnoredAndRebuilt) {
    PwDiskCache cache;
    ASSERT_TRUE(cache.FETCH("0:alice"));
    doctor("0:alice", "/from/disk", "0");
    foundation::clear_pw_cache();
    EXPECT_EQ(cache.FETCH("0:alice")->contents.dir, "/home/alice");
    EXPECT_EQ(read_json("0:alice")["VERSION"], norvik::foundation::PW_DISK_CACHE_VERSION);

    // A file holding another user's record is not that key's answer.
    ASSERT_TRUE(cache.FETCH("0:bob"));
    norvik::test::write_file(file("0:alice"), norvik::test::read_file(file("0:bob")), 0600);
    foundation::clear_pw_cache();
    auto e = cache.FETCH("0:alice");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->contents.name, "alice");

    // Garbage is survived.
    norvik::test::write_file(file("0:alice"), "\xff{not json", 0600);
    foundation::clear_pw_cache();
    EXPECT_EQ(cache.FETCH("0:alice")->contents.uid, 1000u);
}

TEST_F(PwDiskCacheTest, DirectoryOthersCanReachIsNeitherReadNorWritten) {
    PwDiskCache cache;
    ASSERT_TRUE(cache.FETCH("0:alice"));
    doctor("0:alice", "/from/disk");
    for (mode_t mode : {0750, 0705, 0770, 0701, 0710}) {
        ASSERT_EQ(::chmod(dir.c_str(), mode), 0);
        foundation::clear_pw_cache();
        auto e = cache.FETCH("0:alice");
        ASSERT_TRUE(e) << std::oct << mode;
        EXPECT_EQ(e->contents.dir, "/home/alice") << std::oct << mode;
        EXPECT_FALSE(cache.FETCH("0:bob")->contents.name.empty());
        EXPECT_FALSE(norvik::test::exists(file("0:bob"))) << std::oct << mode;
        EXPECT_FALSE(cache.STORE("0:bob", *cache.FETCH("0:bob")));
    }
    // Private again, but owned by someone else.
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chown(dir.c_str(), 4321, 0), 0);
    foundation::clear_pw_cache();
    EXPECT_EQ(cache.FETCH("0:alice")->contents.dir, "/home/alice");
    EXPECT_FALSE(norvik::test::exists(file("0:bob")));
    // A symbolic link to a private directory is not the directory.
    ASSERT_EQ(::chown(dir.c_str(), 0, 0), 0);
    ASSERT_EQ(::rename(dir.c_str(), (root / "var/norvik/real.cache").c_str()), 0);
    ASSERT_EQ(::symlink((root / "var/norvik/real.cache").c_str(), dir.c_str()), 0);
    foundation::clear_pw_cache();
    EXPECT_EQ(cache.FETCH("0:alice")->contents.dir, "/home/alice");
    EXPECT_FALSE(norvik::test::exists(root / "var/norvik/real.cache/0:bob"));
    // Back in place and private: trusted again.
    ASSERT_EQ(::unlink(dir.c_str()), 0);
    ASSERT_EQ(::rename((root / "var/norvik/real.cache").c_str(), dir.c_str()), 0);
    foundation::clear_pw_cache();
    EXPECT_EQ(cache.FETCH("0:alice")->contents.dir, "/from/disk");
    // Disabled: the files are left alone.
    cache.disable();
    foundation::clear_pw_cache();
    EXPECT_EQ(cache.FETCH("0:alice")->contents.dir, "/home/alice");
    EXPECT_FALSE(norvik::test::exists(file("0:bob")));
}

TEST_F(PwDiskCacheTest, NonRootNeitherCreatesNorWrites) {
    // Everything reachable and the parent writable for everyone, so that
    // only the module's own rule keeps a non-root caller out.
    ASSERT_EQ(::chmod(root.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((root / "var/norvik").c_str(), 0777), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        int rc = 0;
        try {
            if (::setresuid(65534, 65534, 65534) != 0) ::_exit(10);
            PwDiskCache cache;
            auto e = cache.FETCH("0:alice");
            if (!e || e->contents.uid != 1000) rc |= 1;
            if (cache.STORE("0:alice", *e)) rc |= 2;
            if (norvik::test::exists(dir)) rc |= 4;
        } catch (...) {
            rc |= 8;
        }
        ::_exit(rc);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(pid, &st, 0), pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << "1: no answer, 2: stored, 4: directory created, 8: threw, 10: no setresuid";
    EXPECT_FALSE(norvik::test::exists(dir));
}

TEST_F(PwDiskCacheTest, StoreRefusals) {
    PwDiskCache cache;
    EXPECT_FALSE(cache.STORE("0:alice", entry_for("", 1000)));
    EXPECT_FALSE(cache.STORE("0:alice", entry_for("bob", 1001)));  // not this key's record
    EXPECT_FALSE(cache.STORE("0:../x", entry_for("../x", 5)));
    EXPECT_FALSE(cache.STORE("3:alice", entry_for("alice", 1000)));
    EXPECT_FALSE(cache.STORE("2:0", entry_for("toor", 0)));  // uid 0 is the superuser's
    EXPECT_FALSE(norvik::test::exists(file("2:0")));
    // The other name is kept under its name only.
    EXPECT_TRUE(cache.STORE("0:toor", entry_for("toor", 0)));
    EXPECT_TRUE(norvik::test::exists(file("0:toor")));
    EXPECT_FALSE(norvik::test::exists(file("2:0")));
    EXPECT_EQ(stat_of(file("0:toor")).st_nlink, 1u);
    EXPECT_TRUE(cache.STORE("2:0", entry_for("root", 0)));
    EXPECT_EQ(stat_of(file("2:0")).st_ino, stat_of(file("0:root")).st_ino);
}

TEST_F(PwDiskCacheTest, StaleTwinIsRelinked) {
    PwDiskCache cache;
    norvik::test::make_dirs(dir, 0700);
    norvik::test::write_file(file("2:1000"), "stale separate file", 0600);
    ASSERT_TRUE(cache.STORE("0:alice", entry_for("alice", 1000)));
    struct stat a = stat_of(file("0:alice")), b = stat_of(file("2:1000"));
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    // Storing again rewrites the file and links the twin to the new one.
    ASSERT_TRUE(cache.STORE("2:1000", entry_for("alice", 1000)));
    a = stat_of(file("0:alice"));
    b = stat_of(file("2:1000"));
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_nlink, 2u);
    // No temporary link is left behind.
    size_t n = 0;
    for (const char* k : {"0:alice", "2:1000"}) n += norvik::test::exists(file(k));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 2);
}

TEST_F(PwDiskCacheTest, ExistsLooksAtTheProcessCacheThenTheDisk) {
    PwDiskCache cache;
    EXPECT_FALSE(cache.EXISTS("0:alice"));
    ASSERT_TRUE(cache.FETCH("0:alice"));
    EXPECT_TRUE(cache.EXISTS("0:alice"));
    foundation::clear_pw_cache();
    EXPECT_TRUE(cache.EXISTS("2:1000"));  // on disk only
    EXPECT_FALSE(cache.EXISTS("0:bob"));
    EXPECT_FALSE(cache.EXISTS("0:../alice"));
}

TEST_F(PwDiskCacheTest, BoundLookupsGoThroughTheDiskAndKeepTheSuperuser) {
    // Another uid-0 name before root's own line.
    passwd("toor:x:0:0::/toor:/bin/sh\n" + std::string(kPasswd));
    PwDiskCache cache;
    foundation::init_pw_helpers(&cache);
    ASSERT_TRUE(foundation::istied());
    auto bob = foundation::cached_getpwnam("bob");
    ASSERT_TRUE(bob);
    EXPECT_EQ(bob->uid, 1001u);
    EXPECT_TRUE(norvik::test::exists(file("0:bob")));
    EXPECT_EQ(stat_of(file("0:bob")).st_ino, stat_of(file("2:1001")).st_ino);
    auto zero = foundation::cached_getpwuid(0);
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->name, "root");
    EXPECT_EQ(foundation::cached_getpwnam("toor")->uid, 0u);
    foundation::clear_pw_cache();
    EXPECT_EQ(foundation::cached_getpwuid(0)->name, "root");
    EXPECT_EQ(foundation::getusername(0).value_or(""), "root");
    EXPECT_EQ(read_json("2:0")["contents"][0], "root");
    EXPECT_FALSE(foundation::cached_getpwnam("nobody-here"));
}

TEST_F(PwDiskCacheTest, EncryptedPasswordsAreKeptAndFollowTheShadowFile) {
    norvik::test::write_file(root / "etc/shadow", "root:*:19000:0:99999:7:::\nalice:$6$salt$hash:19100:0:90:7:::\n",
                             0600);
    PwDiskCache cache;
    // An entry stored without the shadow data...
    ASSERT_EQ(cache.FETCH("0:alice")->contents.passwd, "x");
    foundation::set_want_encrypted_password(true);
    foundation::clear_pw_cache();
    // ...is not good enough once encrypted passwords are wanted.
    auto e = cache.FETCH("0:alice");
    foundation::set_want_encrypted_password(false);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->contents.passwd, "$6$salt$hash");
    EXPECT_EQ(e->contents.shadow_max, 7);  // fields 5 and 2 of the shadow line
    EXPECT_EQ(e->contents.shadow_last, 19100);
    json j = read_json("2:1000");
    EXPECT_EQ(j["contents"][1], "$6$salt$hash");
    EXPECT_EQ(j["shadow"], true);
    EXPECT_EQ(stat_of(file("2:1000")).st_mode & 07777, 0600u);

    // From disk while both files keep their times; a changed shadow file
    // makes it stale.
    foundation::set_want_encrypted_password(true);
    doctor("0:alice", "/from/disk");
    foundation::clear_pw_cache();
    EXPECT_EQ(cache.FETCH("0:alice")->contents.dir, "/from/disk");
    struct timespec ts[2] = {{2000000, 0}, {2000000, 0}};
    ::utimensat(AT_FDCWD, (root / "etc/shadow").c_str(), ts, 0);
    foundation::clear_pw_cache();
    e = cache.FETCH("0:alice");
    foundation::set_want_encrypted_password(false);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->contents.dir, "/home/alice");
    EXPECT_EQ(e->contents.passwd, "$6$salt$hash");
}
