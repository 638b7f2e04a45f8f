// Precomputed cache files: answered only while strictly newer than their
// source; absent or corrupt files fall back to the real source.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>

#include <gtest/gtest.h>

#include "foundation/global_cache.hpp"
#include "foundation/paths.hpp"
#include "run/saferun_simple.hpp"
#include "support/test_support.hpp"

namespace foundation = norvik::foundation;
using json = nlohmann::json;
using norvik::test::TempDir;

// The real runner the program would pass in.
const foundation::CommandRunner run = norvik::run::saferunnoerror;

namespace {

void set_mtime(const std::string& path, time_t t) {
    struct timespec ts[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, 0), 0) << path;
}

class GlobalCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::default_product_dir(root.path());
        foundation::clearcache();
    }
    void TearDown() override {
        foundation::clearcache();
        foundation::default_product_dir(norvik::foundation::state_dir());
    }
    std::string file(const std::string& name) const { return root / ("globalcache/" + name + ".json"); }
    void write_cache(const std::string& name, const std::string& text, time_t mtime) {
        norvik::test::write_file(file(name), text);
        set_mtime(file(name), mtime);
    }
    TempDir root{"gcache"};
};

}  // namespace

TEST_F(GlobalCacheTest, DataIsAnsweredOnlyFromAStrictlyNewerCache) {
    write_cache("roles", R"({"data": {"mail": 1, "dns": {"on": true}, "none": null}})", 1000);
    EXPECT_EQ(foundation::cache_file("roles"), file("roles"));
    EXPECT_EQ(foundation::global_cache_data("roles", "mail"), json(1));
    EXPECT_EQ(foundation::global_cache_data("roles", "dns"), json({{"on", true}}));
    EXPECT_EQ(foundation::global_cache_data("roles", "none"), json(nullptr));  // present, even if null
    EXPECT_EQ(foundation::global_cache_data("roles", "mail", 999), json(1));
    EXPECT_FALSE(foundation::global_cache_data("roles", "mail", 1000));  // equal times: not newer
    EXPECT_FALSE(foundation::global_cache_data("roles", "mail", 5000));
    EXPECT_FALSE(foundation::global_cache_data("roles", "absent"));
    EXPECT_EQ(foundation::get_cache_mtime("roles"), std::optional<int64_t>(1000));
    // Without a time to beat, any cache after the epoch answers.
    write_cache("early", R"({"data": {"x": 1}})", 1);
    EXPECT_EQ(foundation::global_cache_data("early", "x"), json(1));
    write_cache("epoch", R"({"data": {"x": 1}})", 0);
    EXPECT_FALSE(foundation::global_cache_data("epoch", "x"));
}

TEST_F(GlobalCacheTest, ReadOncePerProcessUntilCleared) {
    write_cache("roles", R"({"data": {"mail": 1}})", 1000);
    EXPECT_EQ(foundation::global_cache_data("roles", "mail"), json(1));
    write_cache("roles", R"({"data": {"mail": 2}})", 2000);
    EXPECT_EQ(foundation::global_cache_data("roles", "mail"), json(1));
    EXPECT_EQ(foundation::get_cache_mtime("roles"), std::optional<int64_t>(1000));
    foundation::clearcache();
    EXPECT_EQ(foundation::global_cache_data("roles", "mail"), json(2));
}

TEST_F(GlobalCacheTest, AbsentFileIsTriedAgainOnEveryQuery) {
    EXPECT_FALSE(foundation::global_cache_data("late", "x"));
    EXPECT_FALSE(foundation::get_cache_mtime("late"));
    // It appears later: the next query reads it without a clearcache.
    write_cache("late", R"({"data": {"x": "here"}})", 1000);
    EXPECT_EQ(foundation::global_cache_data("late", "x"), json("here"));
}

TEST_F(GlobalCacheTest, CorruptOrNonMapFileFallsBackToTheSource) {
    norvik::test::write_file(root / "source.txt", "from the file");
    set_mtime(root / "source.txt", 500);
    for (const std::string& body : {std::string("{\"data\": {\"x\": 1"), std::string("[1, 2, 3]"), std::string("\"x\""),
                                    std::string(""), std::string("\xff\xfe\x00", 3)}) {
        foundation::clearcache();
        write_cache("bad", body, 1000);
        EXPECT_FALSE(foundation::global_cache_data("bad", "x")) << body;
        EXPECT_FALSE(foundation::get_cache_mtime("bad")) << body;
        EXPECT_EQ(foundation::global_cache_loadfile("bad", root / "source.txt"),
                  std::optional<std::string>("from the file"))
            << body;
        EXPECT_EQ(foundation::cachedcommand("bad", {"/bin/echo", "real"}, run), std::optional<std::string>("real\n"))
            << body;
        // Repairing the file changes nothing until the cache is cleared.
        write_cache("bad", R"({"data": {"x": 1}})", 1000);
        EXPECT_FALSE(foundation::global_cache_data("bad", "x")) << body;
    }
    foundation::clearcache();
    EXPECT_EQ(foundation::global_cache_data("bad", "x"), json(1));
}

TEST_F(GlobalCacheTest, UnreadableCacheNamesAreNeverOpened) {
    norvik::test::write_file(root / "outside.json", R"({"data": {"x": 1}})");
    EXPECT_FALSE(foundation::global_cache_data("../outside", "x"));
    EXPECT_FALSE(foundation::global_cache_data("", "x"));
    EXPECT_FALSE(foundation::global_cache_data("..", "x"));
}

TEST_F(GlobalCacheTest, LoadfileComparesWithThePathsTime) {
    const std::string src = root / "etc/thing.conf";
    norvik::test::write_file(src, "real contents");
    write_cache("files", json({{"file", {{src, "cached contents"}, {root / "gone", "cached gone"}}}}).dump(), 1000);
    set_mtime(src, 999);
    EXPECT_EQ(foundation::global_cache_loadfile("files", src), std::optional<std::string>("cached contents"));
    set_mtime(src, 1000);
    EXPECT_EQ(foundation::global_cache_loadfile("files", src), std::optional<std::string>("real contents"));
    // A given time wins over the file's own.
    EXPECT_EQ(foundation::global_cache_loadfile("files", src, 10), std::optional<std::string>("cached contents"));
    EXPECT_EQ(foundation::global_cache_loadfile("files", src, 1000), std::optional<std::string>("real contents"));
    // A missing file counts as time 0: the cache answers; without an entry
    // the real read gives nothing.
    EXPECT_EQ(foundation::global_cache_loadfile("files", root / "gone"), std::optional<std::string>("cached gone"));
    EXPECT_FALSE(foundation::global_cache_loadfile("files", root / "never"));
    // A path not in the cache is read now.
    norvik::test::write_file(root / "other", "other contents");
    set_mtime(root / "other", 1);
    EXPECT_EQ(foundation::global_cache_loadfile("files", root / "other"), std::optional<std::string>("other contents"));
}

TEST_F(GlobalCacheTest, CachedCommandsNeedACacheNewerThanTheProgram) {
    // A private copy of a program whose times the test controls (its change
    // time is now).
    const std::string prog = root / "bin/say";
    norvik::test::write_file(prog, norvik::test::read_file("/bin/echo"), 0755);
    const std::vector<std::string> cmd{prog, "real"};
    const time_t now = ::time(nullptr);
    write_cache("cmds", json({{"command", {{foundation::command_key(cmd), "cached\n"}}}}).dump(), now + 100);
    EXPECT_EQ(foundation::command_key(cmd), prog + '\x1f' + "real");
    EXPECT_EQ(foundation::cachedcommand("cmds", cmd, run), std::optional<std::string>("cached\n"));
    // A cache older than the program's change time is not used.
    foundation::clearcache();
    write_cache("cmds", json({{"command", {{foundation::command_key(cmd), "cached\n"}}}}).dump(), now - 100);
    EXPECT_EQ(foundation::cachedcommand("cmds", cmd, run), std::optional<std::string>("real\n"));
    // Other arguments are another key.
    EXPECT_EQ(foundation::cachedcommand("cmds", {prog, "other"}, run), std::optional<std::string>("other\n"));
}

TEST_F(GlobalCacheTest, CachedMCommandHonoursTheMaximumAge) {
    const std::vector<std::string> cmd{"/bin/echo", "fresh"};
    const time_t now = ::time(nullptr);
    write_cache("m", json({{"command", {{foundation::command_key(cmd), "from cache\n"}}}}).dump(), now - 50);
    EXPECT_EQ(foundation::cachedmcommand("m", 100, cmd, run), std::optional<std::string>("from cache\n"));
    EXPECT_EQ(foundation::cachedmcommand("m", 10, cmd, run), std::optional<std::string>("fresh\n"));
    EXPECT_EQ(foundation::cachedmcommand("m", 50, cmd, run), std::optional<std::string>("fresh\n"));  // not after now
}

TEST_F(GlobalCacheTest, TheCallersRunnerIsAskedOncePerCommandAndFailuresAreNotKept) {
    int calls = 0;
    bool fail = true;
    const foundation::CommandRunner counting =
        [&](const std::vector<std::string>& command) -> std::optional<std::string> {
        ++calls;
        if (fail) return std::nullopt;
        return command.back() + "\n";
    };
    const std::vector<std::string> cmd{"/nonexistent/counted", "once"};
    EXPECT_FALSE(foundation::cachedcommand("none", cmd, counting));
    fail = false;
    EXPECT_EQ(foundation::cachedcommand("none", cmd, counting), std::optional<std::string>("once\n"));
    EXPECT_EQ(foundation::cachedcommand("none", cmd, counting), std::optional<std::string>("once\n"));
    EXPECT_EQ(calls, 2);
    // Without a runner there is no real source to fall back to.
    EXPECT_FALSE(foundation::cachedcommand("none", {"/nonexistent/counted", "never"}, nullptr));
}
