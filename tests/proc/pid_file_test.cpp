// PID files: one open for the check and the read, and the rule that decides
// whether the process a PID file names is the service's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "proc_test_util.hpp"
#include "proc/pid_file.hpp"
#include "support/test_support.hpp"

namespace proc = norvik::proc;
using norvik::test::TempDir;
using norvik::test::write_file;
using proctest::Spawned;

namespace {
constexpr uid_t NOBODY = 65534;

void become_nobody() {
    if (::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0) _exit(126);
}
}  // namespace

TEST(PidFile, ReadChecksWhatItOpened) {
    TempDir dir("pf");
    write_file(dir / "good.pid", " 4321\n", 0644);
    auto r = proc::read_checked(dir / "good.pid");
    EXPECT_EQ(r.pid, 4321);
    EXPECT_EQ(r.problem, "");

    EXPECT_EQ(proc::read_checked(dir / "missing.pid").problem, "") << "no file is no problem";
    EXPECT_EQ(proc::read_checked(dir / "missing.pid").pid, 0);

    write_file(dir / "open.pid", "4321\n", 0666);
    ::chmod((dir / "open.pid").c_str(), 0666);
    EXPECT_EQ(proc::read_checked(dir / "open.pid").pid, 0);
    EXPECT_NE(proc::read_checked(dir / "open.pid").problem.find("writable"), std::string::npos);
    EXPECT_EQ(proc::read_checked(dir / "open.pid", "", false).pid, 4321) << "a query does not judge the owner";

    write_file(dir / "theirs.pid", "4321\n");
    ASSERT_EQ(::chown((dir / "theirs.pid").c_str(), NOBODY, NOBODY), 0);
    EXPECT_NE(proc::read_checked(dir / "theirs.pid").problem.find("uid 65534"), std::string::npos);
    EXPECT_EQ(proc::read_checked(dir / "theirs.pid", "nobody").pid, 4321) << "the service's own user may write it";

    ASSERT_EQ(::symlink((dir / "good.pid").c_str(), (dir / "link.pid").c_str()), 0);
    EXPECT_EQ(proc::read_checked(dir / "link.pid").problem, "it is a symbolic link");
    ASSERT_EQ(::mkfifo((dir / "fifo.pid").c_str(), 0600), 0);
    EXPECT_EQ(proc::read_checked(dir / "fifo.pid").problem, "it is not a plain file");

    for (const char* bad : {"-1\n", "1\n", "12x\n", "99999999999999\n"}) {
        write_file(dir / "bad.pid", bad);
        EXPECT_EQ(proc::read_checked(dir / "bad.pid").pid, 0) << bad;
        EXPECT_NE(proc::read_checked(dir / "bad.pid").problem, "") << bad;
    }
    write_file(dir / "empty.pid", "\n");
    EXPECT_EQ(proc::read_checked(dir / "empty.pid").problem, "") << "an empty file names nobody";
}

// A user swaps a root-owned PID file for their own as fast as they can:
// the pid of their file must never come back from a check for root's.
TEST(PidFile, FileSwappedBetweenCheckAndReadNeverYieldsTheUntrustedPid) {
    TempDir dir("swap");
    const std::string path = dir / "svc.pid";
    write_file(dir / "trusted", "4000\n", 0644);
    pid_t swapper = ::fork();
    if (swapper == 0) {
        const std::string a = dir / "a.tmp", b = dir / "b.tmp";
        for (;;) {
            FILE* f = std::fopen(a.c_str(), "w");
            if (!f) _exit(1);
            std::fputs("4000\n", f);
            std::fclose(f);
            std::rename(a.c_str(), path.c_str());
            f = std::fopen(b.c_str(), "w");
            if (!f) _exit(1);
            std::fputs("6666\n", f);
            std::fclose(f);
            if (::chown(b.c_str(), NOBODY, NOBODY) != 0) _exit(2);
            std::rename(b.c_str(), path.c_str());
        }
    }
    Spawned guard(swapper);
    int trusted = 0, refused = 0, foreign = 0;
    // At least 20000 reads, and on until both files were seen (a loaded
    // machine may start the swapper late), for 10 s at most.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int i = 0; i < 20000 || ((!trusted || !refused) && std::chrono::steady_clock::now() < until); ++i) {
        auto r = proc::read_checked(path);
        if (r.pid == 6666) ++foreign;
        else if (r.pid == 4000) ++trusted;
        else if (!r.problem.empty()) ++refused;
    }
    EXPECT_EQ(foreign, 0) << trusted << " " << refused;
    EXPECT_GT(trusted, 0);
    EXPECT_GT(refused, 0) << "the swap never showed: the loop proved nothing";
}

TEST(PidFile, OnlyTheServicesOwnProcessCounts) {
    const std::string name = proctest::unique_name("nkpfsvc");
    Spawned root_named = proctest::spawn_sleep(name + "-daemon", "30");
    Spawned root_plain = proctest::spawn_sleep("/bin/sleep", "30");
    Spawned nobody_named = proctest::spawn_sleep(name + "-daemon", "30", become_nobody);
    struct Case {
        const char* what;
        pid_t pid;
        proc::Identity id;
        bool ours;
    };
    const Case cases[] = {
        {"named by its command line, owner root", root_named.pid, {name, "", "root", ""}, true},
        {"owner root by default", root_named.pid, {name, "", "", ""}, true},
        {"another service's name", root_named.pid, {"othersvc", "", "root", ""}, false},
        {"root process, unprivileged owner", root_named.pid, {name, "", "nobody", ""}, true},
        {"the owner's own process", nobody_named.pid, {name, "", "nobody", ""}, true},
        {"right name, wrong owner", nobody_named.pid, {name, "", "root", ""}, false},
        {"plain sleep for the service", root_plain.pid, {name, "", "root", ""}, false},
        {"the binary by its base name", root_plain.pid, {name, "/opt/elsewhere/sleep", "root", ""}, true},
        {"pid_exe decides the program", root_plain.pid, {"othersvc", "", "nobody", "/sleep$"}, true},
        {"pid_exe matches another user's program", nobody_named.pid, {name, "", "", "/sleep$"}, false},
        {"pid_exe that does not match", root_named.pid, {name, "", "root", "norvik_demod"}, false},
        {"this very program", ::getpid(), {"test_proc", "", "root", ""}, false},
        {"pid 1", 1, {"init", "", "root", ""}, false},
    };
    for (const auto& c : cases) {
        std::string why = proc::foreign_reason(c.pid, c.id);
        EXPECT_EQ(why.empty(), c.ours) << c.what << ": " << why;
    }
    std::string w = proc::foreign_warning("/run/x.pid", "x", 42, "it runs /bin/sleep");
    EXPECT_NE(w.find("/run/x.pid"), std::string::npos) << w;
}
