// A full disk under the panel's state tree: a small tmpfs over
// <root>/var/norvik, mounted in a private mount namespace of a forked child
// so that nothing outside the test ever sees it.
#include <sched.h>
#include <sys/mount.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include <gtest/gtest.h>

#include "rel_sandbox.hpp"

using namespace norvik::reltest;

namespace {

// Writes `path` until the file system is full; the bytes written.
long fill(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    std::string block(4096, 'x');
    long total = 0;
    for (;;) {
        ssize_t n = ::write(fd, block.data(), block.size());
        if (n <= 0) break;
        total += n;
    }
    ::close(fd);
    return total;
}

// Creates empty files in `dir` until no inode is left; how many.
long fill_inodes(const std::string& dir) {
    long n = 0;
    for (;; ++n) {
        std::string f = dir + "/i" + std::to_string(n);
        int fd = ::open(f.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) break;
        ::close(fd);
    }
    return n;
}

bool has_space(const std::string& dir) {
    std::string probe = dir + "/.probe";
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = ::write(fd, "1", 1) == 1;
    ::close(fd);
    ::unlink(probe.c_str());
    return ok;
}

bool has_inode(const std::string& dir) {
    std::string probe = dir + "/.probe";
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

enum class Full { Space, Inodes };

time_t mtime_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

}  // namespace

// Stops nkdemo and reads the configuration on a full state tree, then again
// with room, and checks both outcomes.
void full_disk_scenario(Full kind) {
    Sandbox s;
    const std::string state = s.root() + "/var/norvik";
    const std::string config = state + "/norvik.config";
    const std::string cache = state + "/norvik.config.cache";
    const std::string suspension = state + "/servmon/suspended/nkdemo";
    const std::string old_cache = "{\"old\":\"cache\"}";
    auto r = s.rs({});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    const pid_t daemon = s.pid();
    ASSERT_TRUE(alive(daemon));
    const std::string definition = norvik::test::read_file(state + "/custom/services/Nkdemo.json");
    // A service whose enabled test reads the main configuration, so that a
    // run as root rewrites a stale JSON cache.
    norvik::test::write_file(s.root() + "/etc/init.d/nkgreylistd", "#!/bin/sh\nexit 3\n", 0755);
    const std::string greylist = norvik::test::link_binary(s.dir() + "/bin", "restartsrv_nkgreylistd");
    auto config_run = [&] {
        auto res = norvik::test::run(greylist, {greylist, "--status"}, {{"NORVIK_ROOT", s.root()}}, 30);
        norvik::test::reap_zombies();
        return res;
    };

    const std::string report_path = s.dir() + "/report.json";
    pid_t child = ::fork();
    if (child == 0) {
        nlohmann::json rep;
        auto finish = [&](int code) {
            std::ofstream(report_path) << rep.dump();
            ::_exit(code);
        };
        if (::unshare(CLONE_NEWNS) != 0) {
            rep["skip"] = std::string("no private mount namespace: ") + std::strerror(errno);
            finish(0);
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", state.c_str(), "tmpfs", 0,
                    kind == Full::Space ? "size=64k,mode=0755" : "size=1m,nr_inodes=64,mode=0755") != 0) {
            rep["skip"] = std::string("cannot mount a tmpfs: ") + std::strerror(errno);
            finish(0);
        }
        // The state the run needs, then a stale cache and an old suspension.
        norvik::test::write_file(state + "/custom/services/Nkdemo.json", definition);
        norvik::test::make_dirs(state + "/restartsrv/locks", 0700);
        norvik::test::make_dirs(state + "/servmon/suspended", 0700);
        norvik::test::write_file(config, "skipmailman=0\ngreylist_enabled=1\n", 0644);
        norvik::test::write_file(cache, old_cache, 0644);
        struct timeval tv[2] = {{1600000000, 0}, {1600000000, 0}};
        ::utimes(config.c_str(), tv);
        ::utimes(cache.c_str(), tv);  // same time as the main file: not current
        norvik::test::write_file(suspension, "1234", 0600);
        if (kind == Full::Space) {
            rep["filled"] = fill(state + "/filler");
            rep["full"] = !has_space(state);
        } else {
            // Everything the runs open must exist already; only new files fail.
            for (const char* f : {"/restartsrv/locks/nkdemo", "/restartsrv/locks/nkgreylistd", "/norvik.config.lock",
                                  "/restartsrv/startup_logs/nkdemo"})
                norvik::test::write_file(state + f, "", 0600);
            norvik::test::make_dirs(state + "/fillers", 0700);
            rep["filled"] = fill_inodes(state + "/fillers");
            rep["full"] = !has_inode(state);
        }
        const auto before = tree(state);

        auto run = s.rs({"--stop"}, false, 60);
        rep["exit"] = run.exit_code;
        rep["signal"] = run.signal;
        auto cr = config_run();
        rep["output"] = all(run);
        rep["config_run_signal"] = cr.signal;
        rep["config_run_output"] = all(cr);
        rep["suspension"] = norvik::test::read_file(suspension);
        rep["cache"] = norvik::test::read_file(cache);
        rep["cache_mtime"] = static_cast<long>(mtime_of(cache));
        rep["new"] = nlohmann::json::array();
        for (const auto& p : tree(state))
            if (!before.count(p)) rep["new"].push_back(p);

        // With room again, the same stop of a running service writes both.
        ::unlink((state + "/filler").c_str());
        for (long i = 0; kind == Full::Inodes && i < rep["filled"].get<long>(); ++i)
            ::unlink((state + "/fillers/i" + std::to_string(i)).c_str());
        auto up = s.rs({}, false, 60);
        rep["restart_exit"] = up.exit_code;
        const long t0 = static_cast<long>(std::time(nullptr));
        auto again = s.rs({"--stop"}, false, 60);
        rep["again_exit"] = again.exit_code;
        rep["again_suspension"] = norvik::test::read_file(suspension);
        rep["again_t0"] = t0;
        config_run();
        rep["again_cache"] = norvik::test::read_file(cache);
        rep["again_cache_mtime"] = static_cast<long>(mtime_of(cache));
        rep["config_mtime"] = static_cast<long>(mtime_of(config));
        finish(0);
    }
    ASSERT_GT(child, 0);
    int st = 0;
    auto end = Clock::now() + std::chrono::seconds(150);
    while (::waitpid(child, &st, WNOHANG) == 0 && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (Clock::now() >= end) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &st, 0);
        FAIL() << "the full-disk scenario did not finish";
    }
    norvik::test::reap_zombies();
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "child status " << st;
    auto rep = nlohmann::json::parse(norvik::test::read_file(report_path), nullptr, false);
    ASSERT_TRUE(rep.is_object()) << norvik::test::read_file(report_path);
    if (rep.contains("skip")) GTEST_SKIP() << rep["skip"].get<std::string>();

    ASSERT_TRUE(rep["full"].get<bool>()) << "the tmpfs was not full after " << rep["filled"];
    const std::string out = rep["output"].get<std::string>();
    EXPECT_EQ(rep["signal"].get<int>(), 0) << out;
    // The stop itself is not held up by the state files it cannot write.
    EXPECT_EQ(rep["exit"].get<int>(), 0) << out;
    EXPECT_FALSE(alive(daemon)) << out;
    EXPECT_EQ(rep["config_run_signal"].get<int>(), 0) << rep["config_run_output"];
    // Old files intact, no half-written replacement.
    EXPECT_EQ(rep["suspension"].get<std::string>(), "1234");
    EXPECT_EQ(rep["cache"].get<std::string>(), old_cache);
    EXPECT_EQ(rep["cache_mtime"].get<long>(), 1600000000L);
    // No temporary file left behind anywhere in the state tree.
    for (const auto& p : rep["new"]) {
        std::string name = p.get<std::string>();
        name = name.substr(name.rfind('/') + 1);
        EXPECT_FALSE(name[0] == '.' || name.find('~') != std::string::npos || name.find("tmp") != std::string::npos)
            << "left behind: " << p;
    }
    // Both failures are told in the log rather than crashing the run.
    const std::string log = s.error_log();
    EXPECT_NE(log.find("suspend monitoring of “nkdemo”"), std::string::npos) << log;
    EXPECT_NE(log.find("configuration cache"), std::string::npos) << log;

    // With space again, both are written: the suspension as now + 600 and
    // the cache one second after the main file.
    EXPECT_EQ(rep["restart_exit"].get<int>(), 0);
    EXPECT_EQ(rep["again_exit"].get<int>(), 0);
    const long v = std::atol(rep["again_suspension"].get<std::string>().c_str());
    EXPECT_GE(v, rep["again_t0"].get<long>() + 600);
    EXPECT_LE(v, rep["again_t0"].get<long>() + 602);
    auto fresh = nlohmann::json::parse(rep["again_cache"].get<std::string>(), nullptr, false);
    EXPECT_TRUE(fresh.is_object() && fresh.value("greylist_enabled", "") == "1") << rep["again_cache"];
    EXPECT_EQ(rep["again_cache_mtime"].get<long>(), rep["config_mtime"].get<long>() + 1);
}

TEST(FullDisk, NoSpaceLeftSuspensionAndConfigCacheWritesFailCleanly) { full_disk_scenario(Full::Space); }

TEST(FullDisk, NoInodeLeftSuspensionAndConfigCacheWritesFailCleanly) { full_disk_scenario(Full::Inodes); }
