// Whole runs under what an unlucky admin meets: a terminal that goes away
// mid-restart, a read-only or half-missing tree, a lock held elsewhere, an
// init script that floods its output, and text from outside that carries
// terminal control sequences or markup.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include "rel_sandbox.hpp"

using namespace norvik::reltest;
using norvik::test::exists;
using norvik::test::read_file;
using norvik::test::write_file;

namespace {

constexpr int kNoNamespace = 120;

struct Finished {
    int status = -1;  // raw wait status, -1 when it had to be killed
    struct rusage usage {};
    std::string out, err;
    bool exited(int code) const { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }
};

// Runs argv (argv[0] is the program) in its own process group with
// standard output and error in files of `dir`, or on `out_fd` when it is
// given. `before_exec` runs in the child first (it may _exit to refuse).
// `during` is called every 20 ms with the child's pid while it runs.
template <class Before, class During>
Finished run_child(const std::string& dir, std::vector<std::string> argv, const std::map<std::string, std::string>& env,
                   Before before_exec, During during, int out_fd = -1, double timeout = 60) {
    const std::string out = dir + "/child.out", err = dir + "/child.err";
    std::vector<char*> av;
    for (auto& a : argv) av.push_back(a.data());
    av.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
        int o = out_fd >= 0 ? out_fd : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = out_fd >= 0 ? out_fd : ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        before_exec();
        ::setpgid(0, 0);  // already so when before_exec made a session
        ::execv(av[0], av.data());
        ::_exit(127);
    }
    Finished f;
    auto end = Clock::now() + std::chrono::duration<double>(timeout);
    for (;;) {
        int st = 0;
        pid_t r = ::wait4(pid, &st, WNOHANG, &f.usage);
        if (r == pid) {
            f.status = st;
            break;
        }
        if (Clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &st, 0, &f.usage);
            break;
        }
        during(pid);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (out_fd < 0) {
        f.out = read_file(out);
        f.err = read_file(err);
    }
    norvik::test::reap_zombies();
    return f;
}

Finished run_plain(Sandbox& s, const std::string& link, std::vector<std::string> args,
                   std::map<std::string, std::string> env = {}) {
    args.insert(args.begin(), link);
    env["NORVIK_ROOT"] = s.root();
    env["NO_COLOR"] = "1";
    return run_child(
        s.dir(), args, env, [] {}, [](pid_t) {});
}

size_t count_of(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

bool has_raw_control(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\n' && u != '\t') || u == 0x7f;
    });
}

// Puts a wrapper in place of the demo's init script: for `start` it runs
// `before_start` (a shell fragment) first, then hands over to the real script.
void wrap_init_script(Sandbox& s, const std::string& before_start) {
    const std::string init = s.root() + "/etc/init.d/nkdemo";
    const std::string real = s.dir() + "/nkdemo.init.real";
    write_file(real, read_file(init), 0755);
    write_file(init, "#!/bin/sh\nif [ \"$1\" = start ]; then\n" + before_start + "\nfi\nexec " + real + " \"$@\"\n",
               0755);
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

TEST(HostileRun, HupInTheMiddleOfARestartNeverEndsItWhileIntAndTermStillDo) {
    // Slow stop and start halves, so that the hang-ups land in both.
    Sandbox s("--stop-delay 0.3 --start-delay 0.3");
    ASSERT_EQ(s.rs({"start"}).exit_code, 0);
    for (int round = 0; round < 3; ++round) {
        const pid_t before = s.pid();
        ASSERT_TRUE(alive(before));
        int hups = 0;
        // What a dropped SSH session does: HUP to the foreground process
        // group, here from the moment the run holds its lock on.
        auto f = run_child(
            s.dir(), {s.link(), "--verbose", "hard"}, {{"NORVIK_ROOT", s.root()}}, [] {},
            [&](pid_t pid) {
                if ((hups > 0 || !s.lock_free()) && ::kill(-pid, SIGHUP) == 0) ++hups;
            });
        ASSERT_TRUE(f.exited(0)) << "round " << round << ", status " << f.status << "\n" << f.out << f.err;
        EXPECT_GT(hups, 5) << "the run ended before the hang-ups could reach it";
        const pid_t after = s.pid();
        EXPECT_TRUE(alive(after)) << "round " << round << ": the service was left down\n" << f.out;
        EXPECT_NE(after, before) << "round " << round << ": no new daemon";
    }
    // INT and TERM still end a run.
    for (int sig : {SIGINT, SIGTERM}) {
        bool sent = false;
        auto f = run_child(
            s.dir(), {s.link(), "hard"}, {{"NORVIK_ROOT", s.root()}}, [] {},
            [&](pid_t pid) {
                if (!sent && !s.lock_free()) sent = ::kill(pid, sig) == 0;
            });
        ASSERT_TRUE(sent);
        if (sig == SIGINT)
            EXPECT_TRUE(f.status >= 0 && WIFSIGNALED(f.status) && WTERMSIG(f.status) == SIGINT) << f.status;
        else EXPECT_TRUE(f.exited(143)) << f.status;
        s.rs({"start"});
    }
}

TEST(HostileRun, RestartWritingToAClosedPipeStillStartsTheService) {
    Sandbox s;
    ASSERT_EQ(s.rs({"start"}).exit_code, 0);
    const pid_t before = s.pid();
    int p[2];
    ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
    ::close(p[0]);  // nobody will ever read: every write fails with EPIPE
    auto f = run_child(
        s.dir(), {s.link(), "--verbose", "hard"}, {{"NORVIK_ROOT", s.root()}}, [] {}, [](pid_t) {}, p[1]);
    ::close(p[1]);
    EXPECT_TRUE(f.exited(0)) << "status " << f.status;
    EXPECT_TRUE(alive(s.pid()));
    EXPECT_NE(s.pid(), before);
}

TEST(HostileRun, TerminalThatHangsUpMidRestartLeavesTheServiceUp) {
    // The run's controlling terminal goes away, as with a dropped SSH
    // session: the kernel sends HUP, and every later write fails with EIO.
    Sandbox s("--stop-delay 0.3 --start-delay 0.3");
    ASSERT_EQ(s.rs({"start"}).exit_code, 0);
    const pid_t before = s.pid();
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal here";
    const std::string slave = ::ptsname(master);
    ::fcntl(master, F_SETFL, O_NONBLOCK);  // drained while the run goes on
    bool hung_up = false;
    auto f = run_child(
        s.dir(), {s.link(), "--verbose", "hard"}, {{"NORVIK_ROOT", s.root()}},
        [&slave] {
            // A session of its own whose controlling terminal is the pty.
            ::setsid();
            int t = ::open(slave.c_str(), O_RDWR);
            if (t < 0) ::_exit(126);
            ::dup2(t, 0);
            ::dup2(t, 1);
            ::dup2(t, 2);
        },
        [&](pid_t) {
            char buf[4096];
            while (!hung_up && ::read(master, buf, sizeof buf) > 0) {}
            if (!hung_up && !s.lock_free()) {
                ::close(master);
                hung_up = true;
            }
        });
    if (!hung_up) ::close(master);
    EXPECT_TRUE(hung_up) << "the run ended before the hang-up";
    EXPECT_TRUE(f.exited(0)) << "status " << f.status;
    EXPECT_TRUE(alive(s.pid())) << "the service was left down";
    EXPECT_NE(s.pid(), before);
}

TEST(HostileRun, ReadOnlyTreeLocksWhereItCanAndAnswersQueriesWhereItCannot) {
    Sandbox s;
    ASSERT_EQ(s.rs({"start"}).exit_code, 0);
    const pid_t daemon = s.pid();
    const std::string root = s.root();
    const std::string lock_file = root + "/var/norvik/restartsrv/locks/nkdemo";
    auto read_only = [&root] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(root.c_str(), root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
            ::mount(nullptr, root.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            ::_exit(kNoNamespace);
    };
    const std::map<std::string, std::string> env{
        {"NORVIK_ROOT", root}, {"NO_COLOR", "1"}, {"RESTARTSRV_LOCK_WAIT", "1"}};
    // An existing lock file still serialises runs on a read-only tree; a
    // query never waits for it, and says that a restart is under way.
    int held = ::open(lock_file.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    auto waited = run_child(s.dir(), {s.link(), "--status"}, env, read_only, [](pid_t) {});
    if (waited.exited(kNoNamespace)) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_TRUE(waited.exited(0)) << waited.status << "\n" << waited.out << waited.err;
    EXPECT_NE((waited.out + waited.err).find("is under way"), std::string::npos) << waited.out << waited.err;
    EXPECT_NE(waited.out.find("is running"), std::string::npos) << waited.out;
    auto blocked = run_child(s.dir(), {s.link(), "hard"}, env, read_only, [](pid_t) {});
    EXPECT_TRUE(blocked.exited(255)) << blocked.out << blocked.err;
    EXPECT_NE(blocked.err.find("could not be obtained"), std::string::npos) << blocked.err;
    ::close(held);
    auto locked = run_child(s.dir(), {s.link(), "--status"}, env, read_only, [](pid_t) {});
    EXPECT_TRUE(locked.exited(0)) << locked.out << locked.err;
    EXPECT_EQ(locked.err.find("without the restart lock"), std::string::npos) << locked.err;

    ::unlink(lock_file.c_str());  // now it would have to be created
    auto status = run_child(s.dir(), {s.link(), "--status"}, env, read_only, [](pid_t) {});
    EXPECT_TRUE(status.exited(0)) << status.status << "\n" << status.out << status.err;
    EXPECT_NE(status.out.find("is running"), std::string::npos) << status.out;
    EXPECT_EQ(count_of(status.err, "without the restart lock"), 1u) << status.err;
    // The standard log cannot be written either: its lines come on standard error.
    EXPECT_NE(status.err.find("] warn [restartsrv_nkdemo]"), std::string::npos) << status.err;
    auto check = run_child(s.dir(), {s.link(), "--check"}, env, read_only, [](pid_t) {});
    EXPECT_TRUE(check.exited(0)) << check.out << check.err;

    // A run that would change something still needs the lock, and says why once.
    auto restart = run_child(s.dir(), {s.link(), "hard"}, env, read_only, [](pid_t) {});
    EXPECT_TRUE(restart.exited(255)) << restart.status << "\n" << restart.out << restart.err;
    EXPECT_EQ(count_of(restart.err, "failed to open the lock file"), 1u) << restart.err;
    EXPECT_EQ(s.pid(), daemon);
    EXPECT_TRUE(alive(daemon));
}

TEST(HostileRun, LockHeldElsewhereFailsAtOnceForEveryCaseVariant) {
    Sandbox s;
    ASSERT_EQ(s.rs({"start"}).exit_code, 0);
    const pid_t daemon = s.pid();
    const std::string upper = norvik::test::link_binary(s.dir() + "/bin", "restartsrv_NKDEMO");
    int fd = ::open((s.root() + "/var/norvik/restartsrv/locks/nkdemo").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    for (const std::string& link : {s.link(), upper}) {
        const auto t0 = Clock::now();
        auto f = run_plain(s, link, {"hard"}, {{"RESTARTSRV_LOCK_WAIT", "1"}});
        const double took = std::chrono::duration<double>(Clock::now() - t0).count();
        EXPECT_TRUE(f.exited(255)) << link << " " << f.status << "\n" << f.out << f.err;
        EXPECT_LT(took, 4.0) << link << ": a second wait, or no short wait";
        // The lock error, once; no fallback to a plain object.
        EXPECT_EQ(count_of(f.err, "could not be obtained"), 1u) << link << "\n" << f.err;
        EXPECT_EQ(f.err.find("warning"), std::string::npos) << link << "\n" << f.err;
        EXPECT_EQ(s.pid(), daemon) << link;
    }
    EXPECT_FALSE(exists(s.root() + "/var/norvik/restartsrv/locks/NKDEMO"));
    ::close(fd);
    auto f = run_plain(s, upper, {"--status"}, {{"RESTARTSRV_LOCK_WAIT", "1"}});
    EXPECT_TRUE(f.exited(0)) << f.out << f.err;
}

TEST(HostileRun, LockFileThatCannotBeOpenedIsReportedOnce) {
    Sandbox s;
    const std::string locks = s.root() + "/var/norvik/restartsrv/locks";
    ASSERT_EQ(::rmdir(locks.c_str()), 0);
    write_file(locks, "not a directory\n");
    auto f = run_plain(s, s.link(), {"hard"});
    EXPECT_TRUE(f.exited(255)) << f.status << "\n" << f.out << f.err;
    EXPECT_EQ(count_of(f.err, "failed to open the lock file"), 1u) << f.err;
    EXPECT_FALSE(alive(s.pid()));
}

TEST(HostileRun, RestartRebuildsAMissingOwnTreeAndLeavesTheServiceUp) {
    Sandbox s;
    ASSERT_EQ(s.rs({"start"}).exit_code, 0);
    const pid_t before = s.pid();
    for (const char* d : {"/usr/local/norvik", "/var/norvik/restartsrv", "/var/norvik/servmon"})
        std::filesystem::remove_all(s.root() + d);
    auto f = run_plain(s, s.link(), {"hard", "--verbose"});
    EXPECT_TRUE(f.exited(0)) << f.status << "\n" << f.out << f.err;
    EXPECT_TRUE(alive(s.pid())) << "the service was left down";
    EXPECT_NE(s.pid(), before);
    for (const char* d : {"/usr/local/norvik/logs", "/var/norvik/restartsrv/locks",
                          "/var/norvik/restartsrv/startup_logs", "/var/norvik/servmon/suspended"})
        EXPECT_EQ(mode_of(s.root() + d), 0700u) << d;
    EXPECT_TRUE(exists(s.root() + "/usr/local/norvik/logs/error_log"));
}

TEST(HostileRun, FloodingInitScriptLeavesABoundedLogAndASmallRun) {
    Sandbox s;
    // 100 MB of output before the daemon starts, then one last line.
    wrap_init_script(s,
                     "yes 'the init script floods its output' | head -c 100000000\necho 'the last line of the flood'");
    auto f = run_plain(s, s.link(), {"--verbose"});
    ASSERT_TRUE(f.exited(0)) << f.status << "\n" << f.out.substr(0, 2000) << f.err.substr(0, 2000);
    EXPECT_TRUE(alive(s.pid()));
    const std::string log = s.root() + "/var/norvik/restartsrv/startup_logs/nkdemo";
    struct stat st {};
    ASSERT_EQ(::stat(log.c_str(), &st), 0);
    EXPECT_LE(st.st_size, 4 * 1024 * 1024) << "the startup log is not bounded";
    EXPECT_GT(st.st_size, 1024 * 1024) << "the tail was not kept";
    const std::string text = read_file(log);
    EXPECT_EQ(text.rfind("the init script floods its output\n", 0), 0u) << "not cut at a line start";
    EXPECT_NE(text.find("the last line of the flood\n"), std::string::npos);
    // The report shows the last lines only; the run stayed small.
    EXPECT_LT(f.out.size(), 256u * 1024) << "the report printed the flood";
    EXPECT_NE(f.out.find("the last line of the flood"), std::string::npos);
    EXPECT_NE(f.out.find("earlier lines are not shown"), std::string::npos);
    EXPECT_LT(f.usage.ru_maxrss, 64 * 1024) << "peak resident size " << f.usage.ru_maxrss << " KiB";
    RecordProperty("peak_rss_kib", static_cast<int>(f.usage.ru_maxrss));
    RecordProperty("startup_log_bytes", static_cast<int>(st.st_size));
    RecordProperty("report_bytes", static_cast<int>(f.out.size()));
}

TEST(HostileRun, ControlSequencesInAStartupLogReachTheScreenInert) {
    Sandbox s;
    // Retitles and clears a terminal, and rings its bell, if shown raw.
    wrap_init_script(s, "printf 'evil \\033]0;pwned\\007 \\033[2J \\302\\233 done\\n'");
    auto f = run_plain(s, s.link(), {"--verbose"});
    ASSERT_TRUE(f.exited(0)) << f.out << f.err;
    EXPECT_NE(f.out.find("evil \\x1b]0;pwned\\x07 \\x1b[2J \\x9b done"), std::string::npos) << f.out;
    EXPECT_FALSE(has_raw_control(f.out)) << f.out;
    EXPECT_EQ(f.out.find("\xc2\x9b"), std::string::npos);
}

TEST(HostileRun, StatusShowsACommandLineWithMarkupEscapesAndNewlinesInert) {
    Sandbox s;
    // A process whose command line names the service and carries markup,
    // escape sequences and a line end; its PID file makes it the service.
    const std::string name = "nkdemo<script>alert(1)</script>\x1b]0;pwned\x07\x1b[2J\nforged line";
    pid_t sleeper = ::fork();
    if (sleeper == 0) {
        ::execl("/bin/sleep", name.c_str(), "60", nullptr);
        ::_exit(127);
    }
    for (int i = 0; i < 100 && read_file("/proc/" + std::to_string(sleeper) + "/cmdline").rfind("nkdemo<", 0) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    s.write_definition({{"pid_exe", "sleep"}, {"service_binary", "/bin/sleep"}});
    write_file(s.pidfile(), std::to_string(sleeper) + "\n");

    auto plain = run_plain(s, s.link(), {"--status"});
    auto html = run_plain(s, s.link(), {"--status", "html"});
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);

    ASSERT_TRUE(plain.exited(0)) << plain.out << plain.err;
    EXPECT_NE(plain.out.find("is running"), std::string::npos) << plain.out;
    EXPECT_FALSE(has_raw_control(plain.out)) << plain.out;
    EXPECT_EQ(count_of(plain.out, "\n"), 1u) << "the command line's line end split the status:\n" << plain.out;
    EXPECT_NE(plain.out.find("\\x1b]0;pwned\\x07\\x1b[2J\\x0aforged line"), std::string::npos) << plain.out;

    ASSERT_TRUE(html.exited(0)) << html.out << html.err;
    EXPECT_EQ(html.out.find("<script>"), std::string::npos) << html.out;
    EXPECT_NE(html.out.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos) << html.out;
    EXPECT_FALSE(has_raw_control(html.out)) << html.out;
    EXPECT_EQ(html.out.find("\nforged line"), std::string::npos) << html.out;
}

// ---- signals: nothing a run started outlives it, however early it ends ----

TEST(HostileRun, IntOrKillMidStopOrActionLeavesNothingRunningAndEarlySignalsEndTheRunAtOnce) {
    Sandbox s;
    const std::string slow = s.dir() + "/slow", began = s.dir() + "/began", done = s.dir() + "/done";
    s.write_definition({}, {{"actions", {{"slow", {"/bin/sh", "-c", "touch " + began + "; sleep 2; touch " + done}}}}});
    // While `slow` exists, a stop waits 4.321 s before it stops the daemon.
    const std::string init = s.root() + "/etc/init.d/nkdemo", real = s.dir() + "/nkdemo.init.real";
    write_file(real, read_file(init), 0755);
    write_file(init,
               "#!/bin/sh\n[ \"$1\" = stop ] && [ -e " + slow + " ] && touch " + began + " && sleep 4.321\nexec " +
                   real + " \"$@\"\n",
               0755);
    ASSERT_EQ(s.rs({"start"}).exit_code, 0);
    auto left_over = [&] {
        for (pid_t p : children_of(::getpid()))  // orphans come to us, the subreaper
            if (cmdline_of(p).find("4.321") != std::string::npos || cmdline_of(p).find(init) != std::string::npos)
                return true;
        return false;
    };
    for (const auto& [sig, args] :
         std::vector<std::pair<int, std::string>>{{SIGINT, "hard"}, {SIGKILL, "hard"}, {SIGINT, "slow"}}) {
        SCOPED_TRACE(std::to_string(sig) + " " + args);
        write_file(slow, "");
        ::unlink(began.c_str());
        bool sent = false;
        auto f = run_child(
            s.dir(), {s.link(), args}, {{"NORVIK_ROOT", s.root()}}, [] {},
            [&](pid_t pid) {
                if (!sent && exists(began)) sent = ::kill(pid, sig) == 0;
            });
        ASSERT_TRUE(sent) << f.out << f.err;
        EXPECT_TRUE(f.status >= 0 && WIFSIGNALED(f.status) && WTERMSIG(f.status) == sig) << f.status;
        ::unlink(slow.c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_FALSE(left_over()) << "the interrupted stop runs on";
        auto r = s.rs({"hard"});
        ASSERT_EQ(r.exit_code, 0) << all(r);
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        EXPECT_TRUE(alive(s.pid())) << "a left-over stop ended the new daemon";
        EXPECT_FALSE(exists(done)) << "the action ran on after the run had ended";
    }
    // A signal sent before the run's own code ran (pending at the exec)
    // ends it as a later one does, before it logged or created anything.
    s.kill_daemons();
    const auto before = tree(s.root());
    const std::string log_before = s.error_log();
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        auto f = run_child(
            s.dir(), {s.link(), "--status"}, {{"NORVIK_ROOT", s.root()}},
            [sig] {
                sigset_t set;
                sigemptyset(&set);
                sigaddset(&set, sig);
                ::sigprocmask(SIG_BLOCK, &set, nullptr);
                ::kill(::getpid(), sig);
            },
            [](pid_t) {});
        const bool by_int = f.status >= 0 && WIFSIGNALED(f.status) && WTERMSIG(f.status) == SIGINT;
        EXPECT_TRUE(sig == SIGTERM ? f.exited(143) : sig == SIGINT ? by_int : f.exited(255)) << sig << ": " << f.status;
        if (sig != SIGHUP) {
            EXPECT_EQ(s.error_log(), log_before) << sig;
        }
    }
    EXPECT_EQ(tree(s.root()), before);  // a hang-up leaves only its log line
}
