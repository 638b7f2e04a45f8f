// The atomic writer against power loss and dead writers: the order of its
// system calls (seen through strace), leftover temporary files, long names.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "foundation/write_file.hpp"
#include "support/test_support.hpp"

namespace foundation = norvik::foundation;
using norvik::test::dir_entries;
using norvik::test::TempDir;

namespace {

constexpr const char* kHelperVar = "NORVIK_TEST_DURABLE_WRITE";

// Re-run of this program under strace: overwrite the named file and leave
// before any test runs.
const bool kHelperRan = [] {
    const char* target = std::getenv(kHelperVar);
    if (!target) return false;
    try {
        foundation::overwrite(target, std::string("durable"));
        foundation::write_file(std::string(target) + ".new", std::string("linked"));
        foundation::WriteOptions transient;
        transient.sync = false;
        foundation::overwrite(std::string(target) + ".marker", std::string("until the run ends"), transient);
    } catch (...) {
        _exit(3);
    }
    _exit(0);
}();

std::string find_strace() {
    for (const char* p : {"/usr/bin/strace", "/bin/strace"})
        if (access(p, X_OK) == 0) return p;
    return "";
}

struct Call {
    std::string name;
    std::string args;
    long result = 0;
};

std::vector<Call> parse_trace(const std::string& text) {
    static const std::regex line(R"(^(?:\d+\s+)?(\w+)\((.*)\)\s+=\s+(-?\d+))");
    std::vector<Call> calls;
    std::istringstream in(text);
    std::string l;
    std::smatch m;
    while (std::getline(in, l))
        if (std::regex_search(l, m, line)) calls.push_back({m[1], m[2], std::stol(m[3])});
    return calls;
}

// Index of the first call at or after `from` that satisfies `pred`, or -1.
template <typename Pred>
long find_call(const std::vector<Call>& calls, long from, Pred pred) {
    for (std::size_t i = from < 0 ? calls.size() : static_cast<std::size_t>(from); i < calls.size(); ++i)
        if (pred(calls[i])) return static_cast<long>(i);
    return -1;
}

}  // namespace

TEST(DurableWrite, DataIsSyncedBeforeTheRenameAndTheDirectoryAfterItUnlessAMarker) {
    const std::string strace = find_strace();
    ASSERT_FALSE(strace.empty()) << "strace is needed (scripts/install-deps installs it)";
    if (norvik::test::run(strace, {"strace", "-o", "/dev/null", "/bin/true"}).exit_code != 0)
        GTEST_SKIP() << "this machine does not allow tracing";
    TempDir t("durable");
    const std::string target = t / "state";
    norvik::test::write_file(target, "old");
    const std::string log = t / "trace";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    auto r = norvik::test::run(
        strace,
        {"strace", "-f", "-o", log, "-e", "trace=openat,fsync,fdatasync,rename,renameat,renameat2,link,linkat", self},
        {{kHelperVar, target}});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(norvik::test::read_file(target), "durable");
    EXPECT_EQ(norvik::test::read_file(target + ".new"), "linked");

    const auto calls = parse_trace(norvik::test::read_file(log));
    auto opens_temp = [](const Call& c) { return c.name == "openat" && c.args.find("/.nkwr") != std::string::npos; };
    // overwrite: temporary file, fsync of it, rename, fsync of the directory.
    long open_tmp = find_call(calls, 0, opens_temp);
    ASSERT_GE(open_tmp, 0) << "no temporary file opened";
    const std::string tmp_fd = std::to_string(calls[open_tmp].result);
    long sync_tmp = find_call(calls, open_tmp, [&](const Call& c) {
        return (c.name == "fsync" || c.name == "fdatasync") && c.args == tmp_fd;
    });
    long renamed = find_call(calls, open_tmp, [&](const Call& c) {
        return c.name.rfind("rename", 0) == 0 && c.args.find("\"" + target + "\"") != std::string::npos;
    });
    ASSERT_GE(renamed, 0) << "no rename into place";
    ASSERT_GE(sync_tmp, 0) << "the temporary file is never synced";
    EXPECT_LT(sync_tmp, renamed) << "synced only after the rename";
    long open_dir = find_call(calls, renamed, [&](const Call& c) {
        return c.name == "openat" && c.args.find("\"" + t.path() + "/\"") != std::string::npos &&
               c.args.find("O_DIRECTORY") != std::string::npos && c.result >= 0;
    });
    ASSERT_GE(open_dir, 0) << "the directory is never opened after the rename";
    const std::string dir_fd = std::to_string(calls[open_dir].result);
    EXPECT_GE(find_call(calls, open_dir, [&](const Call& c) { return c.name == "fsync" && c.args == dir_fd; }), 0)
        << "the directory is never synced after the rename";

    // write: the same, with a hard link instead of the rename.
    long open_tmp2 = find_call(calls, renamed, opens_temp);
    ASSERT_GE(open_tmp2, 0);
    const std::string tmp2_fd = std::to_string(calls[open_tmp2].result);
    long sync_tmp2 = find_call(calls, open_tmp2, [&](const Call& c) { return c.name == "fsync" && c.args == tmp2_fd; });
    long linked = find_call(calls, open_tmp2, [&](const Call& c) { return c.name.rfind("link", 0) == 0; });
    ASSERT_GE(linked, 0);
    ASSERT_GE(sync_tmp2, 0);
    EXPECT_LT(sync_tmp2, linked);
    long open_dir2 = find_call(calls, linked, [&](const Call& c) {
        return c.name == "openat" && c.args.find("O_DIRECTORY") != std::string::npos && c.result >= 0;
    });
    ASSERT_GE(open_dir2, 0);
    const std::string dir2_fd = std::to_string(calls[open_dir2].result);
    EXPECT_GE(find_call(calls, open_dir2, [&](const Call& c) { return c.name == "fsync" && c.args == dir2_fd; }), 0);

    // A marker written without syncing: renamed into place, nothing flushed.
    EXPECT_EQ(norvik::test::read_file(target + ".marker"), "until the run ends");
    long open_tmp3 = find_call(calls, open_dir2, opens_temp);
    ASSERT_GE(open_tmp3, 0);
    EXPECT_GE(find_call(calls, open_tmp3, [&](const Call& c) { return c.name.rfind("rename", 0) == 0; }), 0);
    EXPECT_LT(find_call(calls, open_tmp3, [](const Call& c) { return c.name == "fsync" || c.name == "fdatasync"; }), 0)
        << "a marker was flushed to disk";
}

TEST(DurableWrite, LeftoversOfDeadWritersOfTheSameFileAreRemovedOnceAMinuteOld) {
    TempDir t("leftover");
    const std::string target = t / "conf";
    norvik::test::write_file(target, "old");
    // A killed writer's file: find its name by letting a write fail
    // before installation, then recreate it under that name.
    std::string tmp_name;
    foundation::WriteOptions fail;
    fail.before_installation = [&](int fd) {
        char link[64], path[4096];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, path, sizeof path - 1);
        path[n > 0 ? n : 0] = '\0';
        tmp_name = path;
        throw std::runtime_error("killed");
    };
    EXPECT_THROW(foundation::overwrite(target, "half", fail), std::runtime_error);
    ASSERT_NE(tmp_name.find("/.nkwr"), std::string::npos) << tmp_name;
    const std::string base = tmp_name.substr(tmp_name.rfind('/') + 1);
    // Same stem, another random part: what a second dead writer leaves.
    const std::string stem = base.substr(0, base.rfind('-') + 1);
    const std::string old_dead = t / (stem + "12345~");
    const std::string fresh_dead = t / (stem + "67890~");
    const std::string old_style = t / ".nkwr4711~conf";
    const std::string other_file = t / ".nkwr4711~confX";
    for (const auto& p : {old_dead, fresh_dead, old_style, other_file}) norvik::test::write_file(p, "partial");
    const time_t now = time(nullptr);
    for (const auto& p : {old_dead, old_style, other_file}) ASSERT_TRUE(norvik::test::set_mtime(p, now - 120));
    ASSERT_TRUE(norvik::test::set_mtime(fresh_dead, now - 10));

    foundation::overwrite(target, std::string("new"));
    EXPECT_EQ(norvik::test::read_file(target), "new");
    EXPECT_FALSE(norvik::test::exists(old_dead));
    EXPECT_FALSE(norvik::test::exists(old_style));
    EXPECT_TRUE(norvik::test::exists(fresh_dead)) << "a writer at work within the minute lost its file";
    EXPECT_TRUE(norvik::test::exists(other_file)) << "another file's temporary file was removed";
}

TEST(DurableWrite, EveryNameTheFileSystemAllowsCanBeWritten) {
    TempDir t("longname");
    for (std::size_t len : {241u, 242u, 250u, 255u}) {
        const std::string target = t / std::string(len, 'n');
        foundation::overwrite(target, "long " + std::to_string(len));
        EXPECT_EQ(norvik::test::read_file(target), "long " + std::to_string(len));
        foundation::overwrite(target, std::string("again"));
        EXPECT_EQ(norvik::test::read_file(target), "again");
    }
    foundation::write_file(t / std::string(255, 'w'), std::string("linked"));
    EXPECT_EQ(norvik::test::read_file(t / std::string(255, 'w')), "linked");
    for (const auto& e : dir_entries(t.path())) EXPECT_EQ(e.find(".nkwr"), std::string::npos) << e;
}
