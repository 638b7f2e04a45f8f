// Drives the real binary under a private root through its link names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/test_support.hpp"

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
    for (const char* w :
         {"--stop", "--status", "--check", "--verbose", "--debug", "--restart-attempt", "--graceful", "--no-restart",
          "--hard", "--force", "--systemd-service", "Exit status", "143", "255", "Example", "startexim", "stopexim"})
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
    become_subreaper();
    Root r;
    for (const char* d : {"etc/init.d", "etc/servmon.d", "var/run", "var/log", "var/norvik/restartsrv/locks"})
        make_dirs(r.dir / d);
    // An init script that takes its time for any action; the monitor file
    // makes the unknown service installed (and so enabled).
    std::string started = r.dir / "started";
    write_file(r.dir / "etc/init.d/slowsvc", "#!/bin/sh\necho \"$1\" >> " + started + "\nexec sleep 20\n", 0755);
    write_file(r.dir / "etc/servmon.d/slowsvc", "");
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
    // Wait until the init script really runs.
    for (int i = 0; i < 100 && !exists(started); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int early = 0;
    ASSERT_EQ(waitpid(pid, &early, WNOHANG), 0) << "the run ended before its long action (status " << early << ")";
    ASSERT_TRUE(exists(started));
    auto t0 = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 143);
    EXPECT_LT(took, 2.0);
    // The restart lock is free at once for the next run.
    int lfd = open((r.dir / "var/norvik/restartsrv/locks/slowsvc").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lfd, 0);
    EXPECT_EQ(flock(lfd, LOCK_EX | LOCK_NB), 0) << "the restart lock is still held";
    close(lfd);
    // Nothing of the run is left: every process it made is reparented to us
    // (the subreaper) and must end promptly.
    auto left = [] {
        std::vector<pid_t> out;
        for (auto& e : std::filesystem::directory_iterator("/proc")) {
            std::string name = e.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::string stat;
            try {
                stat = read_file(e.path() / "stat");
            } catch (...) {
                continue;
            }
            auto rp = stat.rfind(')');
            if (rp == std::string::npos || rp + 4 >= stat.size()) continue;
            char state = stat[rp + 2];
            if (std::atol(stat.c_str() + rp + 4) == getpid() && state != 'Z') out.push_back(std::stoi(name));
        }
        return out;
    };
    std::vector<pid_t> rest = left();
    for (int i = 0; i < 40 && !rest.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        rest = left();
    }
    EXPECT_TRUE(rest.empty()) << rest.size() << " process(es) of the run still running, first "
                              << (rest.empty() ? 0 : rest[0]);
    for (pid_t p : rest) kill(p, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    reap_zombies();
}

TEST(Entry, ALinkPlantedAtTheStandardLogIsNeverFollowed) {
    // A link to a file of someone else's, and a dangling one that an
    // append would create.
    for (bool dangling : {false, true}) {
        Root r;
        const std::string victim = r.dir / "victim";
        if (!dangling) write_file(victim, "mine\n", 0644);
        const std::string log = r.dir / "usr/local/norvik/logs/error_log";
        ASSERT_EQ(symlink(victim.c_str(), log.c_str()), 0);
        auto res = r.run_as("restartsrv_nosuchsvc", {"--verbose"});
        EXPECT_EQ(res.exit_code, 255);
        if (dangling) EXPECT_FALSE(exists(victim)) << "the link's target was created";
        else EXPECT_EQ(read_file(victim), "mine\n") << "the run wrote through the link";
        EXPECT_NE(res.err.find("“" + log + "” is a symbolic link"), std::string::npos) << res.err;
        struct stat st {};
        ASSERT_EQ(lstat(log.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
}

TEST(Entry, FifosInPlaceOfTheSettingsFilesDoNotHangTheRun) {
    Root r;
    make_dirs(r.dir / "var/norvik/custom/services");
    make_dirs(r.dir / "etc");
    for (const char* rel : {"var/norvik/norvik.config", "var/norvik/norvik.config.cache",
                            "var/norvik/custom/services/Nkfifo.json", "etc/os-release"})
        ASSERT_EQ(mkfifo((r.dir / rel).c_str(), 0644), 0) << rel;
    const auto started = std::chrono::steady_clock::now();
    auto res = r.run_as("restartsrv_nkfifo", {"--status"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20)) << "the run hung";
    EXPECT_EQ(res.exit_code, 255) << res.out << res.err;
    EXPECT_NE(res.err.find("Nkfifo.json could not be loaded"), std::string::npos) << res.err;
    EXPECT_NE(res.err.find("is not a regular file"), std::string::npos) << res.err;
}
