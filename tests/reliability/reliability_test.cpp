// The whole tool under load, faults and bad input: real runs of
// restartsrv_nkdemo (the demo daemon behind a generated init script) in a
// private NORVIK_ROOT.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "rel_sandbox.hpp"
#include "test_support.hpp"

using namespace norvik::reltest;

TEST(Reliability, TwentyConcurrentRestartsNeverOverlapAndAllSucceed) {
    Sandbox s("--start-delay 0.05 --stop-delay 0.05");
    ASSERT_EQ(s.rs({}).exit_code, 0);
    std::vector<RunResult> res(20);
    std::vector<std::thread> ts;
    for (int i = 0; i < 20; ++i) ts.emplace_back([&, i] { res[i] = s.rs({"hard"}, false, 120); });
    for (auto& t : ts) t.join();
    norvik::test::reap_zombies();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(res[i].exit_code, 0) << i << ": " << all(res[i]);
    auto ev = s.events();
    ASSERT_EQ(ev.size(), 41u);
    // Each daemon's life is [start, stop]: the lives never intersect.
    for (size_t i = 0; i < ev.size(); ++i) EXPECT_EQ(ev[i].what, i % 2 ? "stop" : "start") << i;
    for (size_t i = 1; i < ev.size(); ++i) {
        EXPECT_LE(ev[i - 1].t, ev[i].t) << i;
        if (i % 2) {
            EXPECT_EQ(ev[i].pid, ev[i - 1].pid) << "stop of another daemon at " << i;
        }
    }
}

TEST(Reliability, KilledRunLeavesNoLockHeld) {
    Sandbox s("--start-delay 2");
    auto a = s.start({"hard"});
    // Wait until the run holds the lock (the daemon is starting slowly).
    auto end = Clock::now() + std::chrono::seconds(10);
    while (s.lock_free() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(s.lock_free()) << "the run never took its lock";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(a.pid, SIGKILL);
    int st = a.wait_status(5);
    ASSERT_TRUE(WIFSIGNALED(st));
    std::string holders;
    for (pid_t k : children_of(::getpid())) holders += "\n  " + std::to_string(k) + ": " + cmdline_of(k);
    auto t0 = Clock::now();
    while (!s.lock_free() && Clock::now() - t0 < std::chrono::seconds(3))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double waited = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_LT(waited, 0.25) << "lock still held after the run was killed; our children:" << holders;
    // And the next run gets going at once.
    auto t1 = Clock::now();
    auto r = s.rs({"--status"}, true, 20);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t1).count(), 5.0) << all(r);
}

TEST(Reliability, TermDuringStatusWaitGives143NoChildAndFreeLock) {
    Sandbox s("--start-delay 3");
    auto a = s.start({"hard"});
    auto end = Clock::now() + std::chrono::seconds(10);
    while (s.lock_free() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(s.lock_free());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<pid_t> kids_before = children_of(a.pid);
    ::kill(a.pid, SIGTERM);
    int st = a.wait_status(15);
    std::string out = norvik::test::read_file(a.out_file);
    ASSERT_TRUE(WIFEXITED(st)) << "status " << st << "\n" << out;
    EXPECT_EQ(WEXITSTATUS(st), 143) << out;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // The run's own helpers (the init script and what it waits on) are gone.
    for (pid_t k : kids_before) {
        std::string cl = alive(k) ? cmdline_of(k) : "";
        EXPECT_TRUE(!alive(k) || cl.find("norvik_demod") != std::string::npos)
            << "child " << k << " left behind: " << cl;
    }
    EXPECT_TRUE(s.lock_free());
}

TEST(Reliability, BadProgramNamesAndServiceWordsCreateNothing) {
    Sandbox s;
    const std::string bin = norvik::test::binary();
    const std::vector<std::string> bad = {
        "a/b", "..",  "../../etc/passwd",    "x\x01y",      "tab\there", "semi;colon", "$(id)", "`id`",   "a|b", "a&b",
        "a b", "a>b", std::string(300, 'a'), "caf\xc3\xa9", "\xff\xfe",  "*",          "-",     "nk\x7f",
    };
    const auto before = tree(s.root());
    for (const auto& w : bad) {
        for (const auto& argv0 : {"restartsrv_" + w, "start" + w, "stop" + w}) {
            auto r = norvik::test::run(bin, {argv0, "--status"}, {{"NORVIK_ROOT", s.root()}}, 20);
            EXPECT_NE(r.exit_code, 0) << "argv0 " << argv0 << ": " << all(r);
            EXPECT_EQ(r.signal, 0) << argv0;
            EXPECT_FALSE(r.err.empty() && r.out.empty()) << "no message for " << argv0;
        }
        auto r = norvik::test::run(bin, {"restartsrv_base", w}, {{"NORVIK_ROOT", s.root()}}, 20);
        EXPECT_NE(r.exit_code, 0) << "word " << w << ": " << all(r);
        EXPECT_EQ(r.signal, 0) << w;
        EXPECT_FALSE(r.err.empty() && r.out.empty()) << "no message for word " << w;
    }
    // A program name as long as the kernel allows one argument to be.
    const std::string longest = "restartsrv_" + std::string(120000, 'a');
    auto r = norvik::test::run(bin, {longest, "--status"}, {{"NORVIK_ROOT", s.root()}}, 20);
    EXPECT_EQ(r.signal, 0) << "crashed on a 120000-character program name";
    EXPECT_NE(r.exit_code, 0);
    norvik::test::reap_zombies();
    for (const auto& p : tree(s.root())) {
        if (before.count(p)) continue;
        std::string name = p.substr(p.rfind('/') + 1);
        for (const auto& w : bad) {
            if (w.size() < 2 && w != "*") continue;  // one-letter words would match anything
            EXPECT_EQ(name.find(w), std::string::npos) << "created " << p << " from '" << w << "'";
        }
        for (unsigned char c : name) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << "odd name created: " << p;
    }
}

TEST(Reliability, CorruptEmptyAndHugeConfigAndCachesAreSurvived) {
    Sandbox s;
    ASSERT_EQ(s.rs({}).exit_code, 0);
    std::string huge;
    for (int i = 0; i < 200000; ++i) huge += "key" + std::to_string(i) + "=" + std::string(20, 'v') + "\n";
    const std::vector<std::pair<std::string, std::string>> bodies = {
        {"empty", ""},
        {"binary", std::string("\0\xff\x01=\n=\n\xfe", 8)},
        {"truncated", "a=1\nb"},
        {"huge", huge},
        {"json-garbage", "{\"data\": [1, 2"},
        {"json-wrong-type", "[1,2,3]"},
    };
    const std::vector<std::string> files = {"/var/norvik/norvik.config", "/var/norvik/norvik.config.cache",
                                            "/var/norvik/globalcache/restartsrv", "/var/norvik/pw.cache/0",
                                            "/var/norvik/caches/timezones"};
    for (const auto& [tag, body] : bodies) {
        for (const auto& f : files) norvik::test::write_file(s.root() + f, body, 0600);
        auto t0 = Clock::now();
        auto r = s.rs({"--status"}, true, 30);
        EXPECT_EQ(r.signal, 0) << tag << ": " << all(r);
        EXPECT_EQ(r.exit_code, 0) << tag << ": " << all(r);
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 20.0) << tag;
    }
    // Still able to restart with the last (huge) set in place.
    auto r = s.rs({"hard"}, true, 60);
    EXPECT_EQ(r.exit_code, 0) << all(r);
}

TEST(Reliability, PlantedSymlinksInStartupLogAndSuspensionDirsAreNotFollowed) {
    Sandbox s;
    const std::string victim = s.dir() + "/victim";
    norvik::test::write_file(victim, "precious\n", 0644);
    norvik::test::make_dirs(s.root() + "/var/norvik/restartsrv/startup_logs", 0700);
    norvik::test::make_dirs(s.root() + "/var/norvik/servmon/suspended", 0700);
    ASSERT_EQ(::symlink(victim.c_str(), (s.root() + "/var/norvik/restartsrv/startup_logs/nkdemo").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), (s.root() + "/var/norvik/servmon/suspended/nkdemo").c_str()), 0);
    auto r = s.rs({"hard", "--verbose"}, true, 60);
    auto r2 = s.rs({"--stop"}, true, 60);
    EXPECT_EQ(norvik::test::read_file(victim), "precious\n") << all(r) << all(r2);
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "mode of the link target changed";
    // The refusal is said, not silent.
    std::string text = all(r) + all(r2);
    if (norvik::test::exists(s.root() + "/usr/local/norvik/logs/error_log"))
        text += norvik::test::read_file(s.root() + "/usr/local/norvik/logs/error_log");
    EXPECT_TRUE(text.find("startup_logs") != std::string::npos || text.find("link") != std::string::npos ||
                text.find("suspend") != std::string::npos)
        << text;
}

TEST(Reliability, StartedDaemonGetsTheCleanedEnvironment) {
    Sandbox s;
    auto r = s.rs({"hard"}, true, 60,
                  {{"SECRET_TOKEN", "hunter2"},
                   {"LD_PRELOAD", ""},
                   {"TMP", "/tmp/x"},
                   {"PERL5LIB", "/evil"},
                   {"HOME", "/home/someone"}});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    pid_t p = s.pid();
    ASSERT_TRUE(alive(p));
    std::string env = norvik::test::read_file("/proc/" + std::to_string(p) + "/environ");
    std::vector<std::string> vars;
    for (size_t a = 0, z; a < env.size(); a = z + 1) {
        z = env.find('\0', a);
        if (z == std::string::npos) z = env.size();
        vars.push_back(env.substr(a, z - a));
    }
    auto has = [&](const std::string& prefix) {
        return std::any_of(vars.begin(), vars.end(), [&](const std::string& v) { return v.rfind(prefix, 0) == 0; });
    };
    EXPECT_FALSE(has("SECRET_TOKEN=")) << env;
    EXPECT_FALSE(has("PERL5LIB=")) << env;
    EXPECT_FALSE(has("TMP=")) << env;
    EXPECT_FALSE(has("LD_PRELOAD=")) << env;
    EXPECT_FALSE(has("HOME=/home/someone")) << env;
    EXPECT_TRUE(has("RESTARTSRV=1")) << env;
    EXPECT_TRUE(has("PATH=")) << env;
}
