// Whole runs where another user has been at the tool's files: a definition
// they could write, state files and folders they own or hold, links that
// lead out of the tree, and a FIFO in place of the standard log. Nothing of
// theirs may run as root, block a run, or receive what the run writes.
#include <sys/file.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "rel_sandbox.hpp"

using namespace norvik::reltest;
using norvik::test::exists;
using norvik::test::make_dirs;
using norvik::test::read_file;
using norvik::test::write_file;

namespace {

constexpr uid_t kNobody = 65534;

struct stat stat_of(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}

bool owned_by_root_closed_to_others(const std::string& path) {
    const struct stat st = stat_of(path);
    return st.st_uid == 0 && (st.st_mode & 022) == 0;
}

void give_to_nobody(const std::string& path, mode_t mode) {
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0) << path;
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

// A process that holds an exclusive flock on `path` until it is killed.
pid_t hold_lock(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || ::setresuid(kNobody, kNobody, kNobody) != 0) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return pid;
}

}  // namespace

TEST(Trust, DefinitionsOthersCouldWriteAreIgnoredAndTheirActionsNeverRun) {
    Sandbox s;
    const std::string mark = s.dir() + "/mark";
    const std::string def = s.root() + "/var/norvik/custom/services/Nkdemo.json";
    const std::string folder = s.root() + "/var/norvik/custom/services";
    auto with_action = [&] {
        ::unlink(def.c_str());  // a new file of root's each time
        s.write_definition({}, {{"actions", {{"hello", {"/usr/bin/touch", mark}}}}});
    };
    auto hello = [&](const std::string& why) {
        ::unlink(mark.c_str());
        auto r = s.rs({"hello"}, true, 60, {{"RESTARTSRV_LOCK_WAIT", "5"}});
        EXPECT_EQ(r.signal, 0) << why;
        return r;
    };

    // Owned by another user; root's but writable by all; in a folder another user owns.
    with_action();
    give_to_nobody(def, 0644);
    auto r = hello("owned by nobody");
    EXPECT_FALSE(exists(mark)) << "an action of nobody's file ran as root\n" << all(r);
    EXPECT_NE(r.err.find(def), std::string::npos) << "the warning must name the file\n" << r.err;
    EXPECT_NE(r.err.find("uid 65534"), std::string::npos) << r.err;

    with_action();
    ASSERT_EQ(::chmod(def.c_str(), 0666), 0);
    r = hello("mode 0666");
    EXPECT_FALSE(exists(mark)) << all(r);
    EXPECT_NE(r.err.find("written by others"), std::string::npos) << r.err;

    with_action();
    give_to_nobody(folder, 0777);
    r = hello("folder of nobody's");
    EXPECT_FALSE(exists(mark)) << all(r);
    EXPECT_NE(r.err.find(folder), std::string::npos) << r.err;

    // The same definition, root's and closed, is used.
    ASSERT_EQ(::chown(folder.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
    with_action();
    r = hello("trusted");
    EXPECT_TRUE(exists(mark)) << "the trusted definition's action did not run\n" << all(r);
}

TEST(Trust, StateFilesOfOtherUsersAreReplacedAndNoLinkOrFifoIsFollowed) {
    Sandbox s;
    const std::map<std::string, std::string> wait1{{"RESTARTSRV_LOCK_WAIT", "1"}};
    ASSERT_EQ(s.rs({"start"}).exit_code, 0);
    const std::string locks = s.root() + "/var/norvik/restartsrv/locks";
    const std::string logs = s.root() + "/var/norvik/restartsrv/startup_logs";
    const std::string lock = locks + "/nkdemo", startup = logs + "/nkdemo";
    const std::string logdir = s.root() + "/usr/local/norvik/logs", error_log = logdir + "/error_log";
    ASSERT_TRUE(exists(lock) && exists(startup) && exists(error_log));

    // Another user's lock file, held by them; their logs in folders open to all.
    for (const auto& d : {locks, logs, logdir}) give_to_nobody(d, 0777);
    for (const auto& f : {lock, startup, error_log}) give_to_nobody(f, 0666);
    const pid_t holder = hold_lock(lock);
    auto r = s.rs({"hard"}, true, 60, wait1);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(r.exit_code, 0) << "another user's lock blocked the restart\n" << all(r);
    EXPECT_TRUE(alive(s.pid()));
    for (const auto& p : {locks, logs, logdir, lock, startup, error_log})
        EXPECT_TRUE(owned_by_root_closed_to_others(p)) << p << " is still another user's or open to them";
    EXPECT_NE(r.err.find("belonged to uid 65534"), std::string::npos) << "no warning said so\n" << r.err;

    // Hard links: the file linked to keeps its content.
    const std::string precious = s.dir() + "/precious";
    write_file(precious, "precious\n", 0600);
    for (const auto& f : {startup, error_log}) {
        ::unlink(f.c_str());
        ASSERT_EQ(::link(precious.c_str(), f.c_str()), 0);
    }
    r = s.rs({"hard"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(read_file(precious), "precious\n") << "a write through a hard link";
    EXPECT_EQ(stat_of(startup).st_nlink, 1u);

    // Symbolic links in place of the state folders lead nowhere outside.
    const std::string outside = s.dir() + "/outside";
    make_dirs(outside, 0755);
    auto relink = [&](const std::string& folder) {
        const std::string moved = folder + ".real";
        EXPECT_EQ(::rename(folder.c_str(), moved.c_str()), 0) << folder;
        EXPECT_EQ(::symlink(outside.c_str(), folder.c_str()), 0);
        return moved;
    };
    for (const std::string& folder : {s.root() + "/var/norvik/restartsrv", logdir}) {
        const std::string moved = relink(folder);
        r = s.rs({"--status"}, true, 60, wait1);
        EXPECT_EQ(r.signal, 0);
        r = s.rs({"hard"}, true, 60, wait1);
        EXPECT_EQ(r.signal, 0);
        EXPECT_TRUE(norvik::test::dir_entries(outside).empty()) << folder << " was followed";
        ::unlink(folder.c_str());
        ASSERT_EQ(::rename(moved.c_str(), folder.c_str()), 0);
    }

    // A FIFO at the standard log neither hangs a run nor takes its lines.
    ::unlink(error_log.c_str());
    ASSERT_EQ(::mkfifo(error_log.c_str(), 0600), 0);
    int reader = ::open(error_log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    auto status = s.rs({"--status"}, true, 20);
    EXPECT_EQ(status.exit_code, 0) << all(status);
    EXPECT_NE(status.out.find("is running"), std::string::npos) << status.out;
    ::close(reader);
    auto unread = s.rs({"--status"}, true, 20);
    EXPECT_EQ(unread.exit_code, 0) << "a FIFO nobody reads hung or failed the run\n" << all(unread);
    EXPECT_TRUE(S_ISFIFO(stat_of(error_log).st_mode)) << "not a file of the tool's to remove";
}
