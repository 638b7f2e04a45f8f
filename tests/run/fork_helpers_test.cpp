#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "run_helper.hpp"
#include "exception/exception.hpp"
#include "foundation/child_status.hpp"
#include "foundation/paths.hpp"
#include "run/reduced_privileges.hpp"
#include "run/alarm.hpp"
#include "run/close_fds.hpp"
#include "run/fork_async.hpp"
#include "run/fork_sync.hpp"
#include "run/ionice.hpp"
#include "run/maxmem.hpp"
#include "run/read_multiple.hpp"
#include "run/rlimit.hpp"
#include "run/rlimit_unset.hpp"
#include "run/saferun_errors.hpp"
#include "run/saferun_simple.hpp"
#include "run/setsid.hpp"
#include "support/test_support.hpp"

using nlohmann::json;
namespace helper = norvik::test::helper;

TEST(ForkSync, ReturnsTheChildsValue) {
    pid_t parent = ::getpid();
    norvik::run::ForkSync fs([&] { return json{{"pid", ::getpid()}, {"list", {1, 2, 3}}}; });
    EXPECT_EQ(fs.had_error(), 0);
    EXPECT_EQ(fs.wait_status(), 0);
    auto v = fs.return_value();
    EXPECT_NE(v["pid"].get<int>(), parent);
    EXPECT_EQ(v["pid"].get<int>(), fs.pid());
    EXPECT_EQ(v["list"], json({1, 2, 3}));
    EXPECT_EQ(fs.return_values().size(), 1u);
}

TEST(ForkSync, RaisedExceptionObjectComesBackUntrusted) {
    norvik::set_child_status(77);
    auto fs = norvik::run::ForkSync::new_quiet([]() -> json {
        auto e = norvik::exception::create("IO::FileNotFound", "The file “[_1]” is missing.", {"/x/y"});
        e->set("path", "/x/y");
        e->set("error", "No such file or directory");
        e->set("nested", json::object({{"a", 1}}));
        errno = ENOENT;
        e->raise();
        return json();
    });
    EXPECT_EQ(norvik::child_status(), 77);  // untouched by new
    EXPECT_EQ(fs.had_error(), 1);
    EXPECT_EQ(fs.error_code(), ENOENT);  // the child exits with errno
    EXPECT_NE(fs.exception().find("The file “/x/y” is missing."), std::string::npos) << fs.exception();
    EXPECT_NE(fs.full_exception_text().find("/x/y"), std::string::npos);
    ASSERT_TRUE(fs.structured_exception());
    const auto& ue = *fs.structured_exception();
    EXPECT_EQ(ue.class_name(), "Norvik::UntrustedException");
    EXPECT_EQ(ue.untrusted_class(), "Norvik::Exception::IO::FileNotFound");
    EXPECT_EQ(ue.get_string(), fs.exception());
    EXPECT_EQ(ue.get("path"), "/x/y");
    EXPECT_TRUE(ue.get("nested").is_null());  // only plain attributes travel
    EXPECT_EQ(ue.get("errno"), ENOENT);
    EXPECT_EQ(fs.exception_errno(), ENOENT);
    EXPECT_EQ(errno, ENOENT);
}

TEST(ForkSync, PlainErrorsAndDataErrors) {
    auto text = norvik::run::ForkSync::new_quiet([]() -> json { throw norvik::PlainError("plain failure"); });
    EXPECT_EQ(text.had_error(), 1);
    EXPECT_EQ(text.exception(), "plain failure");
    EXPECT_FALSE(text.structured_exception());
    EXPECT_TRUE(text.structured_exception_data().is_null());

    auto data = norvik::run::ForkSync::new_quiet([]() -> json { throw json{{"reason", "data"}}; });
    EXPECT_EQ(data.had_error(), 1);
    EXPECT_EQ(data.structured_exception_data(), json({{"reason", "data"}}));
    EXPECT_EQ(data.error_code(), norvik::run::DEFAULT_ERROR_CODE);
}

TEST(ForkSync, UnencodableValueArrivesAsPlainData) {
    norvik::run::ForkSync fs([] { return json{{"bad", std::string("ok\xff\xfe-end")}}; });
    EXPECT_EQ(fs.had_error(), 0) << fs.retrieve_error();
    EXPECT_EQ(fs.return_value()["bad"], "ok\xEF\xBF\xBD\xEF\xBF\xBD-end");
}

namespace {
// The logs of the code under test go below a private root, never to the
// host's own log directory.
class SandboxRoot {
public:
    SandboxRoot() {
        norvik::test::make_dirs(dir_ / "usr/local/norvik/logs");
        norvik::foundation::set_root_for_testing(dir_.path());
    }
    ~SandboxRoot() { norvik::foundation::set_root_for_testing(""); }
    std::string log() const {
        const std::string p = dir_ / "usr/local/norvik/logs/error_log";
        return norvik::test::exists(p) ? norvik::test::read_file(p) : std::string();
    }

private:
    norvik::test::TempDir dir_{"forkhelpers"};
};
}  // namespace

TEST(ForkSync, DoInChildSetsChildStatus) {
    SandboxRoot root;
    auto v = norvik::run::ForkSync::do_in_child([] { return json(42); });
    ASSERT_TRUE(v);
    EXPECT_EQ(*v, 42);
    EXPECT_EQ(norvik::child_status(), 0);
    auto none = norvik::run::ForkSync::do_in_child([]() -> json { ::_exit(3); });
    EXPECT_FALSE(none);
    EXPECT_EQ(norvik::child_status(), 3 << 8);

    pid_t seen = 0;
    auto cb = norvik::run::ForkSync::new_with_parent_callback(
        [&](pid_t p) {
            seen = p;
            throw norvik::PlainError("ignored");
        },
        [] { return json("x"); });
    EXPECT_EQ(seen, cb.pid());
    EXPECT_EQ(cb.return_value(), "x");
    // The callback's error is logged, and only in the sandbox.
    EXPECT_NE(root.log().find("ignored"), std::string::npos) << root.log();
}

TEST(ForkAsync, ExitCodeReportsTheError) {
    SandboxRoot root;
    pid_t ok = norvik::run::do_in_child([] {});
    pid_t bad = norvik::run::do_in_child_quiet([] {
        errno = EACCES;
        throw norvik::PlainError("denied");
    });
    int st = -1;
    ASSERT_EQ(::waitpid(ok, &st, 0), ok);
    EXPECT_EQ(st, 0);
    ASSERT_EQ(::waitpid(bad, &st, 0), bad);
    EXPECT_EQ(WEXITSTATUS(st), EACCES);
}

TEST(RunAsUser, TheWorkRunsAsThatUserForGoodAndTheCallerStaysWhoItWas) {
    if (::geteuid() != 0) GTEST_SKIP() << "setting another user's ids needs root";
    const int st = norvik::run::runasuser("nobody", [] {
        uid_t r, e, s;
        gid_t rg, eg, sg;
        ::getresuid(&r, &e, &s);
        ::getresgid(&rg, &eg, &sg);
        // No way back to root, and none of root's groups.
        const bool stuck = ::setuid(0) != 0 && ::getgroups(0, nullptr) <= 1;
        return r == 65534 && e == 65534 && s == 65534 && rg == eg && eg == sg && stuck ? 7 : 1;
    });
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 7);
    EXPECT_EQ(::geteuid(), 0u);
    EXPECT_THROW(norvik::run::runasuser("no-such-user-here", [] { return 0; }), norvik::PlainError);
}

TEST(SafeRunSimple, StreamsAndStatus) {
    auto self = helper::self();
    ::setenv("NORVIK_RUN_HELPER", "1", 1);
    auto only_out = norvik::run::saferunnoerror({self, "both", "4"});
    int status_noerror = norvik::child_status();
    auto only_err = norvik::run::saferunonlyerrors_text({self, "both"});
    auto all = norvik::run::saferunallerrors_lines({self, "both"});
    ::unsetenv("NORVIK_RUN_HELPER");
    ASSERT_TRUE(only_out);
    EXPECT_EQ(*only_out, "to-out\n");
    EXPECT_EQ(status_noerror, 4 << 8);
    ASSERT_TRUE(only_err);
    EXPECT_EQ(*only_err, "to-err\n");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], "to-out");
    EXPECT_EQ(all[1], "to-err");

    auto split = norvik::run::saferun({"/bin/echo a  b"});
    ASSERT_TRUE(split);
    EXPECT_EQ(*split, "a b\n");
    EXPECT_THROW(norvik::run::saferun({"/bin/echo a; rm -rf x"}), norvik::PlainError);

    norvik::test::TempDir tmp("simple");
    norvik::test::write_file(tmp / "noexec", "x", 0644);
    EXPECT_FALSE(norvik::run::_saferun_r({tmp / "noexec"}, norvik::run::KEEP_STDERR));
    EXPECT_EQ(norvik::child_status(), -1);
    EXPECT_FALSE(norvik::run::saferun({"norvik-no-such-program-here"}));
    EXPECT_EQ(norvik::child_status(), -1);
}

namespace {
volatile sig_atomic_t outer_fired = 0;
void outer_handler(int) { outer_fired = 1; }
void inner_handler(int) {}

double timer_left() {
    itimerval tv{};
    ::getitimer(ITIMER_REAL, &tv);
    return static_cast<double>(tv.it_value.tv_sec) + static_cast<double>(tv.it_value.tv_usec) / 1e6;
}
}  // namespace

TEST(SafeRunSimple, OutputBeyondTheCaptureLimitIsDroppedAndMarked) {
    const size_t limit = norvik::run::ReadMultipleFH::CAPTURE_LIMIT;
    auto out = norvik::run::saferunnoerror({"/usr/bin/head", "-c", std::to_string(limit + 5000), "/dev/zero"});
    EXPECT_EQ(norvik::child_status(), 0) << "read to the end: the child was never stuck";
    ASSERT_TRUE(out);
    const std::string marker = norvik::run::ReadMultipleFH::dropped_marker(5000);
    ASSERT_EQ(out->size(), limit + marker.size());
    EXPECT_EQ(out->substr(limit), marker);
}

TEST(Alarm, NestedAlarmsRestoreTheOuterOne) {
    {
        norvik::run::Alarm outer(10, outer_handler);
        {
            norvik::run::Alarm inner(30, inner_handler);
            EXPECT_GT(timer_left(), 29);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_NEAR(inner.get_remaining(), 29.7, 0.2);
        }
        double left = timer_left();
        EXPECT_GT(left, 9.3);
        EXPECT_LT(left, 9.8);
        struct sigaction sa {};
        ::sigaction(SIGALRM, nullptr, &sa);
        EXPECT_EQ(sa.sa_handler, outer_handler);
    }
    EXPECT_EQ(timer_left(), 0);

    // An outer alarm whose time passed while the inner one was armed fires 1 s later.
    {
        norvik::run::Alarm outer(0.5, outer_handler);
        {
            norvik::run::Alarm inner(30, inner_handler);
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
        }
        double left = timer_left();
        EXPECT_GT(left, 0.9);
        EXPECT_LE(left, 1.0);
        EXPECT_FALSE(outer_fired);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_TRUE(outer_fired);
    }
    struct sigaction sa {};
    ::sigaction(SIGALRM, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL);
}

TEST(FullDaemonize, KeepParentWaitsForTheDetachedProcess) {
    norvik::test::become_subreaper();
    norvik::test::TempDir tmp("daemon");
    std::string marker = tmp / "sid";
    pid_t my_sid = ::getsid(0);
    norvik::run::SetsidOptions o;
    o.keep_parent = true;
    pid_t r = norvik::run::full_daemonize(o);
    if (r == 0) {
        // The detached process: not a session leader, in a new session.
        std::string s = std::to_string(::getsid(0)) + " " + std::to_string(::getpid());
        int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ssize_t ignored = ::write(fd, s.data(), s.size());
        (void)ignored;
        ::close(fd);
        ::_exit(7);
    }
    EXPECT_GT(r, 0);
    EXPECT_EQ(norvik::child_status() >> 8, 7);
    auto text = norvik::test::read_file(marker);
    pid_t sid = std::stoi(text.substr(0, text.find(' ')));
    pid_t pid = std::stoi(text.substr(text.find(' ') + 1));
    EXPECT_NE(sid, my_sid);
    EXPECT_NE(sid, pid);
    norvik::test::reap_zombies();
}

TEST(FullDaemonize, WithoutKeepParentTheCallerExits) {
    norvik::test::become_subreaper();
    norvik::test::TempDir tmp("daemon");
    std::string marker = tmp / "done";
    pid_t caller = norvik::run::do_in_child([&] {
        norvik::run::full_daemonize();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ::close(fd);
        ::_exit(0);
    });
    int st = -1;
    ASSERT_EQ(::waitpid(caller, &st, 0), caller);
    EXPECT_EQ(st, 0);
    EXPECT_FALSE(norvik::test::exists(marker));  // the caller did not wait for it
    for (int i = 0; i < 100 && !norvik::test::exists(marker); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(norvik::test::exists(marker));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    norvik::test::reap_zombies();
}

namespace {

// What `set` returns in a child, with the child's address-space and core
// limits after it (the test process keeps its own).
json limits_in_child(const std::function<int()>& set) {
    norvik::run::ForkSync fs([&set] {
        json out;
        out["set"] = set();
        out["as"] = norvik::run::sys_getrlimit(RLIMIT_AS).first;
        out["core"] = norvik::run::sys_getrlimit(RLIMIT_CORE).first;
        return out;
    });
    EXPECT_EQ(fs.had_error(), 0) << fs.exception() << fs.retrieve_error();
    return fs.return_value();
}

}  // namespace

TEST(ResourceHelpers, LimitsAndDescriptorsInAChild) {
    // Changed limits and closed descriptors stay in the child.
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer (its shadow memory exceeds it)";
#endif
    norvik::test::TempDir root("rlimit");
    norvik::foundation::set_root_for_testing(root.path());
    auto v = limits_in_child([] { return norvik::run::set_rlimit(512LL * 1048576); });
    EXPECT_EQ(v["set"], 1);
    EXPECT_EQ(v["as"], 512LL * 1048576);
    EXPECT_EQ(v["core"], 0);
    norvik::foundation::set_root_for_testing("");

    pid_t child = norvik::run::do_in_child([] {
        int a = ::open("/dev/null", O_RDONLY);
        int b = ::open("/dev/null", O_RDONLY);
        int c = ::open("/dev/null", O_RDONLY);
        norvik::run::fast_closefds({b});
        ::_exit((::fcntl(a, F_GETFD) != -1 ? 1 : 0) | (::fcntl(b, F_GETFD) != -1 ? 2 : 0) |
                (::fcntl(c, F_GETFD) != -1 ? 4 : 0) | (::fcntl(2, F_GETFD) != -1 ? 8 : 0));
    });
    int st = -1;
    ASSERT_EQ(::waitpid(child, &st, 0), child);
    EXPECT_EQ(WEXITSTATUS(st), 2 | 8);  // only the kept one and the standard ones survive
    EXPECT_TRUE(norvik::run::get_current_rlimits().count("NOFILE"));
}

TEST(ResourceHelpers, MaxmemMinimumFollowsTheDomainCount) {
    norvik::test::TempDir root("maxmem");
    norvik::foundation::set_root_for_testing(root.path());
    EXPECT_EQ(norvik::run::minimum_maxmem(), 4096);
    std::string lines;
    for (int i = 0; i < 25000; ++i) lines += "d" + std::to_string(i) + ".example: u\n";
    norvik::test::write_file(root / "etc/userdomains", lines);
    EXPECT_EQ(norvik::run::minimum_maxmem(), 3 * 4096);
    norvik::foundation::set_root_for_testing("");
}

TEST(ResourceHelpers, TheCallersSettingsGiveTheDefaultAndTheCoreLimit) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer (its shadow memory exceeds it)";
#endif
    norvik::test::TempDir root("rlimit-settings");
    norvik::foundation::set_root_for_testing(root.path());
    const long long mib = 1048576, minimum = 4096 * mib;
    EXPECT_EQ(norvik::run::default_limit(""), minimum);
    EXPECT_EQ(norvik::run::default_limit("junk"), minimum);
    EXPECT_EQ(norvik::run::default_limit("100"), minimum);
    EXPECT_EQ(norvik::run::default_limit("-5"), minimum);
    EXPECT_EQ(norvik::run::default_limit("99999999999999999"), minimum);
    EXPECT_EQ(norvik::run::default_limit("0"), -1);
    EXPECT_EQ(norvik::run::default_limit("8192"), 8192 * mib);
    auto v =
        limits_in_child([] { return norvik::run::set_rlimit(std::nullopt, {}, {.maxmem = "6000", .coredump = true}); });
    EXPECT_EQ(v["set"], 1);
    EXPECT_EQ(v["as"], 6000 * mib);
    EXPECT_EQ(v["core"], 6000 * mib);
    norvik::foundation::set_root_for_testing("");
}

TEST(IONice, ClassIsSetWithoutAHelperAndReadBack) {
    SandboxRoot root;
    EXPECT_FALSE(norvik::run::ionice("bogus", 0));
    EXPECT_FALSE(norvik::run::ionice("2", 9));
    EXPECT_NE(root.log().find("Invalid I/O scheduling class “bogus”"), std::string::npos) << root.log();
    EXPECT_EQ(norvik::run::ionice("best-effort", 6), 1);
    EXPECT_EQ(norvik::run::get_ionice(), "best-effort: prio 6");
    // The system's own tool sees the same class for this process.
    if (::access("/usr/bin/ionice", X_OK) == 0) {
        auto r = norvik::test::run("/usr/bin/ionice", {"ionice", "-p", std::to_string(::getpid())});
        EXPECT_EQ(r.out, "best-effort: prio 6\n");
    }
    if (::geteuid() == 0) {
        EXPECT_EQ(norvik::run::ionice("idle", 0), 1);
        EXPECT_EQ(norvik::run::get_ionice(), "idle");
    }
    EXPECT_EQ(norvik::run::reset_ionice(), 1);
    EXPECT_EQ(norvik::run::get_ionice().rfind("none: prio 0", 0), 0u) << norvik::run::get_ionice();
}
