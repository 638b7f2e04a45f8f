// Drives the real binary under a private root through its link names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/TestSupport.hpp"

using namespace norvik::test;

namespace {
struct Root {
    TempDir dir{"entry"};
    Root() { make_dirs(dir / "usr/local/norvik/logs"); }
    std::map<std::string, std::string> env() const { return {{"NORVIK_ROOT", dir.path()}, {"NO_COLOR", "1"}}; }
    RunResult run_as(const std::string& name, const std::vector<std::string>& args) {
        std::string link = link_binary(dir / "bin", name);
        std::vector<std::string> av{link};
        av.insert(av.end(), args.begin(), args.end());
        return norvik::test::run(link, av, env(), 25);
    }
    std::string log() const { return read_file(dir / "usr/local/norvik/logs/error_log"); }
    size_t file_count() const {
        size_t n = 0;
        for (auto& e : std::filesystem::recursive_directory_iterator(dir.path())) n += e.is_regular_file();
        return n;
    }
};
}  // namespace

TEST(Entry, HelpListsOptionsAndReturnsZero) {
    Root r;
    auto res = r.run_as("restartsrv_exim", {"--help"});
    EXPECT_EQ(res.exit_code, 0);
    for (const char* w : {"--stop", "--status", "--check", "--verbose", "--debug", "--restart-attempt", "--graceful",
                          "--no-restart", "--hard", "--force", "--systemd-service", "Exit status", "143", "255",
                          "Example", "startexim", "stopexim"})
        EXPECT_NE(res.out.find(w), std::string::npos) << w;
    std::string man = read_file(std::string(NORVIK_SOURCE_DIR) + "/man/restartsrv_base.8");
    for (const char* w : {"restart\\-attempt", "systemd\\-service", "absent\\-ok", "143", "255"})
        EXPECT_NE(man.find(w), std::string::npos) << w;
}

TEST(Entry, ProgramNameMustMatch) {
    Root r;
    auto res = r.run_as("restartsrv_", {});
    EXPECT_EQ(res.exit_code, 255);
    EXPECT_NE(res.err.find("restartsrv_: the program name"), std::string::npos);
    auto res2 = r.run_as("exim", {});
    EXPECT_EQ(res2.exit_code, 255);
}

TEST(Entry, RefusalsGiveOneLineAndCreateNothing) {
    Root r;
    auto before = r.run_as("restartsrv_base", {"--help"});
    ASSERT_EQ(before.exit_code, 0);
    size_t files = r.file_count();  // the log now exists
    std::string long_name(256, 'a');
    for (const std::string& bad : std::vector<std::string>{"../x", "a/b", "a;b", long_name, ".", "..", ""}) {
        auto res = r.run_as("restartsrv_base", {bad});
        EXPECT_EQ(res.exit_code, 255) << bad;
        EXPECT_EQ(std::count(res.err.begin(), res.err.end(), '\n'), 1) << bad << ": " << res.err;
        EXPECT_EQ(r.file_count(), files) << bad;
        EXPECT_FALSE(exists(r.dir / "var/norvik/restartsrv/locks")) << bad;
    }
    for (const char* word : {"restart", "stop", "start"}) {
        auto res = r.run_as("restartsrv_base", {word});
        EXPECT_EQ(res.exit_code, 255);
        EXPECT_NE(res.err.find("is an action"), std::string::npos) << res.err;
    }
    EXPECT_EQ(r.run_as("restartsrv_all", {}).exit_code, 255);
    auto res = r.run_as("restartsrv_base", {"all"});
    EXPECT_NE(res.err.find("Refusing"), std::string::npos);
}

TEST(Entry, InvocationLineFieldsAndCheckModeSkipsIt) {
    Root r;
    auto res = r.run_as("restartsrv_nosuchsvc", {"--verbose", "a\nb"});
    EXPECT_EQ(res.exit_code, 255);
    EXPECT_NE(res.err.find("nosuchsvc"), std::string::npos);
    std::string log = r.log();
    ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;  // the newline argument cannot split it
    EXPECT_EQ(log[0], '[');
    EXPECT_NE(log.find("] " + (r.dir / "bin/restartsrv_nosuchsvc") + " --verbose a b - called by ppid " +
                       std::to_string(getpid()) + " ("),
              std::string::npos)
        << log;
    EXPECT_EQ(log.substr(log.size() - 2), ")\n");
    r.run_as("restartsrv_nosuchsvc", {"--check"});
    r.run_as("restartsrv_nosuchsvc", {"x--check-modey"});
    EXPECT_EQ(r.log(), log);
}

TEST(Entry, TermDuringALongActionGives143) {
    Root r;
    // An init script that takes its time for any action.
    write_file(r.dir / "etc/init.d/slowsvc", "#!/bin/sh\nexec sleep 20\n", 0755);
    std::string link = link_binary(r.dir / "bin", "restartsrv_slowsvc");
    pid_t pid = fork();
    if (pid == 0) {
        for (auto& [k, v] : r.env()) setenv(k.c_str(), v.c_str(), 1);
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        execl(link.c_str(), link.c_str(), "--initd", "--hard", nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int early = 0;
    if (waitpid(pid, &early, WNOHANG) == pid)
        GTEST_SKIP() << "the service fixture did not reach a long-running action (exit "
                     << WEXITSTATUS(early) << "); needs an enabled init.d service under the root";
    auto t0 = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    int st = 0;
    waitpid(pid, &st, 0);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 143);
    EXPECT_LT(took, 2.0);
    reap_zombies();
}
