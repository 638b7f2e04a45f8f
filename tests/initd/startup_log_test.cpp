// The startup log: waited-for and detached starts, exec failures, the
// planted-symlink refusal, the name mapping.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <sstream>

#include "support/test_support.hpp"
#include "exception/exception.hpp"
#include "foundation/child_status.hpp"
#include "foundation/paths.hpp"
#include "initd/startup_log.hpp"
#include "initd/service_log.hpp"

using norvik::test::TempDir;
namespace initd = norvik::initd;

namespace {
class StartupLog : public ::testing::Test {
protected:
    void SetUp() override {
        norvik::test::become_subreaper();
        norvik::foundation::set_root_for_testing(root_.path());
    }
    void TearDown() override {
        norvik::foundation::set_root_for_testing("");
        norvik::test::reap_zombies();
    }
    std::string log_of(const std::string& name) {
        return norvik::test::read_file(norvik::foundation::startup_log_dir() + "/" + name);
    }
    TempDir root_{"sl"};
};
}  // namespace

TEST_F(StartupLog, WaitedCommandLeavesItsExitCodeAndOutput) {
    initd::append_to_startup_log("demo", "old line\n");
    pid_t pid =
        initd::logged_startup("demo", true, {"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}, {.wait = true});
    EXPECT_GT(pid, 0);
    EXPECT_EQ(norvik::child_status() >> 8, 3);
    std::string log = log_of("demo");
    EXPECT_NE(log.find("out\n"), std::string::npos);
    EXPECT_NE(log.find("err\n"), std::string::npos);
    EXPECT_EQ(log.find("old line"), std::string::npos);  // wiped
    struct stat st {};
    ASSERT_EQ(::stat(norvik::foundation::startup_log_dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // Appending keeps what is there.
    initd::logged_startup("demo", false, {"/bin/echo", "second"}, {.wait = true});
    EXPECT_EQ(norvik::child_status(), 0);
    EXPECT_NE(log_of("demo").find("out\n"), std::string::npos);
    EXPECT_NE(log_of("demo").find("second"), std::string::npos);
}

TEST_F(StartupLog, MissingProgramGivesCodeTwoWithoutAProcess) {
    norvik::set_child_status(0);
    pid_t pid = initd::logged_startup("demo", true, {root_ / "no/such/program", "x"}, {.wait = true});
    EXPECT_EQ(pid, 0);
    EXPECT_EQ(norvik::child_status(), 512);
    // A directory or a non-executable file is no program either.
    norvik::test::write_file(root_ / "plain.txt", "x", 0644);
    EXPECT_EQ(initd::logged_startup("demo", true, {root_ / "plain.txt"}, {.wait = true}), 0);
    EXPECT_EQ(initd::logged_startup("demo", true, {root_.path()}, {.wait = true}), 0);
}

TEST_F(StartupLog, WaitedExecFailureIsLoggedAndLeavesTheErrno) {
    norvik::test::write_file(root_ / "nointerp", "#!/no/such/interpreter\n", 0755);
    norvik::test::write_file(root_ / "garbage", std::string(64, '\x7f'), 0755);
    for (auto [path, err] : {std::pair<std::string, int>{root_ / "nointerp", ENOENT}, {root_ / "garbage", ENOEXEC}}) {
        pid_t pid = initd::logged_startup("demo", true, {path}, {.wait = true});
        EXPECT_GT(pid, 0) << path;
        EXPECT_EQ(norvik::child_status(), err << 8) << path;
        EXPECT_NE(log_of("demo").find("The system failed to execute “" + path +
                                      "” because of an error: " + std::strerror(err)),
                  std::string::npos)
            << log_of("demo");
    }
}

TEST_F(StartupLog, WaitedCommandRunsUnderALeaderWithOnlyItsStreamsAndPlainSignals) {
    // What the caller blocks is not what the command gets.
    sigset_t usr1, old;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ASSERT_EQ(::sigprocmask(SIG_BLOCK, &usr1, &old), 0);
    // The program reads its own mask as exec left it: a shell blocks
    // everything for moments of its own while it waits on a child.
    initd::logged_startup("demo", true, {"/bin/grep", "^SigBlk", "/proc/self/status"}, {.wait = true});
    const std::string sigblk = log_of("demo");
    initd::logged_startup("demo", true, {"/bin/sh", "-c", "cat /proc/$$/stat; ls /proc/$$/fd; readlink /proc/$$/fd/0"},
                          {.wait = true});
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(norvik::child_status(), 0);
    std::istringstream log(log_of("demo"));
    std::string stat_line, fd_line, in_target;
    std::getline(log, stat_line);
    std::vector<std::string> fds;
    while (std::getline(log, fd_line) && fd_line.find('/') == std::string::npos) fds.push_back(fd_line);
    in_target = fd_line;
    // pid (comm) state ppid pgrp session: the intermediate leads the session.
    std::istringstream fields(stat_line.substr(stat_line.rfind(')') + 2));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0;
    fields >> state >> ppid >> pgrp >> session;
    EXPECT_EQ(session, ppid) << stat_line;
    EXPECT_NE(session, static_cast<long>(::getsid(0))) << stat_line;
    EXPECT_EQ(sigblk, "SigBlk:\t0000000000000000\n");
    EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(in_target, "/dev/null");
}

TEST_F(StartupLog, DetachedExecFailureRaisesWithTheErrno) {
    norvik::test::write_file(root_ / "noexec", "#!/bin/sh\n", 0644);
    for (auto [path, err] :
         {std::pair<std::string, int>{root_ / "no/such/program", ENOENT}, {root_ / "noexec", EACCES}}) {
        try {
            initd::logged_startup("demo", true, {path});
            ADD_FAILURE() << "no error for " << path;
        } catch (const norvik::Exception& e) {
            EXPECT_EQ(e.class_name(), "Norvik::Exception::IO::ExecError");
            EXPECT_EQ(e.get("errno").get<int>(), err) << e.to_string();
            EXPECT_EQ(e.get_text("path"), path);
        }
    }
}

TEST_F(StartupLog, DetachedStartRunsInTheBackground) {
    std::string marker = root_ / "started";
    pid_t pid =
        initd::logged_startup("demo", true, {"/bin/sh", "-c", "echo daemon says hi; touch " + marker + "; sleep 30"});
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 100 && !norvik::test::exists(marker); ++i) ::usleep(20000);
    EXPECT_TRUE(norvik::test::exists(marker));
    EXPECT_EQ(::kill(pid, 0), 0);
    EXPECT_NE(log_of("demo").find("daemon says hi"), std::string::npos);
    // The daemon holds no descriptor of ours beyond its standard streams.
    int fds = 0;
    for (int fd = 3; fd < 64; ++fd)
        if (::access(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).c_str(), F_OK) == 0) ++fds;
    EXPECT_EQ(fds, 0);
    ::kill(pid, SIGKILL);
}

TEST_F(StartupLog, PlantedSymlinkIsNeverFollowed) {
    initd::_mkdir_or_log_failure(norvik::foundation::startup_log_dir());
    std::string victim = root_ / "victim";
    norvik::test::write_file(victim, "precious\n");
    ASSERT_EQ(::symlink(victim.c_str(), (norvik::foundation::startup_log_dir() + "/demo").c_str()), 0);
    EXPECT_THROW(initd::append_to_startup_log("demo", "evil\n"), norvik::Exception);
    // The start still runs, with its output in the fallback sink.
    initd::logged_startup("demo", true, {"/bin/echo", "evil"}, {.wait = true});
    EXPECT_EQ(norvik::child_status(), 0);
    EXPECT_EQ(norvik::test::read_file(victim), "precious\n");
}

TEST_F(StartupLog, AppendFetchAndNames) {
    EXPECT_EQ(initd::append_to_startup_log("demo", ""), 1);
    EXPECT_FALSE(norvik::test::exists(norvik::foundation::startup_log_dir() + "/demo"));
    EXPECT_EQ(initd::fetch_startup_log("demo"), "");
    initd::append_to_startup_log("demo", "no line end");
    EXPECT_EQ(initd::fetch_startup_log("demo"), "no line end");
    EXPECT_THROW(initd::append_to_startup_log("../etc", "x"), norvik::PlainError);
    EXPECT_THROW(initd::logged_startup("a/b", true, {"/bin/true"}, {.wait = true}), norvik::PlainError);
    EXPECT_EQ(norvik::initd::get_service_name_from_legacy_name("PureFTPd"), "ftpd");
    EXPECT_EQ(norvik::initd::get_service_name_from_legacy_name("exim-altport"), "exim");
    EXPECT_EQ(norvik::initd::get_service_name_from_legacy_name("nkdavd"), "nkdavd");
    initd::append_to_startup_log("proftpd", "ftp line\n");
    EXPECT_EQ(log_of("ftpd"), "ftp line\n");
}

TEST_F(StartupLog, NoOutputSystemSplitsWordsAtSpacesAndKeepsTheStatus) {
    // Words split at spaces only (a tab stays inside its piece); trailing
    // empty words are dropped; the command's exit code is the status.
    norvik::set_child_status(-1);
    pid_t pid = initd::nooutputsystem({"/bin/sh -c", "exit\t4", ""});
    EXPECT_GT(pid, 0);
    EXPECT_EQ(norvik::child_status(), 4 << 8);
    initd::nooutputsystem({"false"});
    EXPECT_EQ(norvik::child_status(), 1 << 8);
    norvik::set_child_status(-1);
    initd::nooutputsystem({"/no/such/program"});
    EXPECT_EQ(norvik::child_status(), 1 << 8);
    initd::nooutputsystem({"true"});
    EXPECT_EQ(norvik::child_status(), 0);
    // All three standard streams of the command (the shell, $$) are the null device.
    const std::string where = root_ / "streams";
    initd::nooutputsystem({"/bin/sh", "-c", "readlink\t/proc/$$/fd/0\t/proc/$$/fd/1\t/proc/$$/fd/2|cat>" + where});
    EXPECT_EQ(norvik::test::read_file(where), "/dev/null\n/dev/null\n/dev/null\n");
}

TEST_F(StartupLog, LongLogIsCutToItsTailAtALineStart) {
    const std::string line = "a line of a long startup log\n";
    std::string text;
    while (text.size() < static_cast<size_t>(initd::STARTUP_LOG_MAX_BYTES) + 3 * 65536) text += line;
    text.insert(0, "first\n");
    initd::append_to_startup_log("demo", text);
    std::string log = log_of("demo");
    EXPECT_LE(log.size(), static_cast<size_t>(initd::STARTUP_LOG_MAX_BYTES));
    EXPECT_GT(log.size(), static_cast<size_t>(initd::STARTUP_LOG_MAX_BYTES) - line.size());
    EXPECT_EQ(log.rfind(line, 0), 0u);
    EXPECT_EQ(log.substr(log.size() - line.size()), line);
    // A waited-for command's flood is cut once it ends; what it said last stays.
    initd::logged_startup("demo", false, {"/bin/sh", "-c", "yes flood | head -c 6000000; echo the end"},
                          {.wait = true});
    log = log_of("demo");
    EXPECT_LE(log.size(), static_cast<size_t>(initd::STARTUP_LOG_MAX_BYTES));
    EXPECT_EQ(log.rfind("flood\n", 0), 0u);
    EXPECT_EQ(log.substr(log.size() - 8), "the end\n");
    // The display reads only the last lines.
    std::string shown = initd::fetch_startup_log("demo");
    EXPECT_EQ(shown.rfind("(earlier lines are not shown)\n", 0), 0u) << shown.substr(0, 200);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 201);
    EXPECT_EQ(shown.substr(shown.size() - 8), "the end\n");
}
