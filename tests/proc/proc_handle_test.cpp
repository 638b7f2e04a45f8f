#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "proc_test_util.hpp"
#include "exception/exception.hpp"
#include "proc/proc_root.hpp"
#include "proc/fuser.hpp"
#include "proc/port_holders.hpp"
#include "proc/running.hpp"
#include "proc/process_info.hpp"
#include "proc/pid.hpp"
#include "proc/process_table.hpp"
#include "proc/pid_tiny.hpp"
#include "support/test_support.hpp"

namespace proc = norvik::proc;
using norvik::test::TempDir;
using norvik::test::write_file;
using proctest::Spawned;

namespace {

std::string class_of(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const norvik::Exception& e) {
        return e.class_name();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "none";
}

}  // namespace

TEST(ProcPID, InvalidAndEndedPids) {
    for (const char* bad : {"", "12a", "-1", " 12", "1.5"})
        EXPECT_EQ(class_of([&] { norvik::proc::PID p(bad); }), "Norvik::Exception::Proc::InvalidPid") << bad;
    EXPECT_EQ(class_of([] { norvik::proc::PID p(std::string("2147483000")); }), "Norvik::Exception::Proc::Ended");
    EXPECT_THROW(norvik::proc::PID p(std::string("2147483000")), norvik::proc::ProcessEndedError);
}

TEST(ProcPID, NoticesTheEndAndKeepsWhatWasRead) {
    Spawned p = proctest::spawn_sleep(proctest::unique_name("nvkhandle"), "30");
    norvik::proc::PID h(p.pid);
    EXPECT_EQ(h.is_running(), true);
    EXPECT_TRUE(h.state() == "S" || h.state() == "R") << h.state();
    EXPECT_EQ(h.uid(), 0u);
    auto args = h.cmdline();
    ASSERT_EQ(args.size(), 2u);
    EXPECT_EQ(args[1], "30");
    args.push_back("changed");
    EXPECT_EQ(h.cmdline().size(), 2u) << "a fresh copy each time";
    EXPECT_GE(h.elapsed_time(), 0);

    p.cleanup();
    EXPECT_EQ(h.is_running(), false);
    EXPECT_THROW(h.state(), norvik::proc::ProcessEndedError);
    EXPECT_EQ(h.uid(), 0u) << "kept from the first read";
    EXPECT_EQ(h.cmdline().size(), 2u);

    Spawned q = proctest::spawn_sleep(proctest::unique_name("nvkhandle"));
    norvik::proc::PID h2(q.pid);
    q.cleanup();
    EXPECT_THROW(h2.cmdline(), norvik::proc::ProcessEndedError) << "never read before the end";
}

TEST(ProcPID, ReusedPidIsNotTheSameProcess) {
    // A fake tree lets one pid directory be replaced by a "new process"
    // within the same second: only the start time (field 22) differs.
    TempDir dir("reuse");
    norvik::proc::set_proc_root(dir.path());
    const std::string tail = " 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 ";
    write_file(dir / "4242/stat", "4242 (x) S 1 1" + tail + "777 0 0\n");
    norvik::proc::PID h(std::string("4242"));
    EXPECT_EQ(h.is_running(), true);
    EXPECT_EQ(h.start_time(), 777u);
    std::filesystem::remove_all(dir / "4242");
    EXPECT_EQ(h.is_running(), false);
    write_file(dir / "4242/stat", "4242 (a) b) S 1 1" + tail + "778 0 0\n");
    EXPECT_EQ(h.is_running(), false);
    EXPECT_THROW(h.state(), norvik::proc::ProcessEndedError);
    norvik::proc::set_proc_root("/proc");
}

TEST(ProcPID, PidReusedWithinTheSameSecondIsNoticedAndAgeCountsFromTheStart) {
    int rc = proctest::in_pid_namespace([]() -> int {
        Spawned first = proctest::spawn_sleep("nvk-first", "60");
        norvik::proc::PID h(first.pid);
        if (h.is_running() != 1 || h.elapsed_time() > 1) return 10;
        pid_t pid = first.pid;
        first.cleanup();
        Spawned second = proctest::recycle_pid(pid, "nvk-second");
        if (second.pid != pid) return 77;
        if (h.is_running() != 0) return 11;
        try {
            h.state();
            return 12;
        } catch (const norvik::proc::ProcessEndedError&) {}
        return 0;
    });
    if (rc < 0) GTEST_SKIP() << "no private PID namespace here";
    EXPECT_EQ(rc, 0) << "10: a fresh process is not 0-1 s old; 11/12: the new process passed as the old one";
}

TEST(ProcPID, ElapsedTimeOfAnOldProcess) {
    // Process 1 of the machine started long before this test.
    norvik::proc::PID init(pid_t(1));
    norvik::proc::PID self(::getpid());
    EXPECT_GE(init.elapsed_time(), self.elapsed_time());
    EXPECT_LE(self.elapsed_time(), 600) << "the test program is not older than its run";
}

TEST(ProcessCheck, OrderOfChecksAndCaseRules) {
    std::string name = proctest::unique_name("NvkCheck");
    Spawned mine = proctest::spawn_sleep(name, "31");
    Spawned other = proctest::spawn_sleep(name, "32", [] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(126);
    });
    using norvik::proc::Running;
    using norvik::proc::RunningOptions;
    std::string lower = name;
    for (auto& c : lower) c = char(std::tolower(c));

    Running ok(RunningOptions{lower + " 31", "", std::to_string(mine.pid), "root", false});
    EXPECT_EQ(ok.check_all(), 1) << "text patterns ignore case and are not anchored";
    EXPECT_EQ(ok.pid_object().pid(), std::to_string(mine.pid));

    Running rx(RunningOptions{std::regex(lower), "lower", std::to_string(mine.pid), "0", false});
    EXPECT_EQ(class_of([&] { rx.check_all(); }), "Norvik::Exception::ProcessCheck::CommandMismatch")
        << "a compiled pattern keeps its own (case-sensitive) rules";

    Running wrong(RunningOptions{name, "", std::to_string(other.pid), "root", false});
    EXPECT_EQ(class_of([&] { wrong.check_all(); }), "Norvik::Exception::ProcessCheck::WrongOwner");
    Running both(RunningOptions{"no-such-command", "", std::to_string(other.pid), "root", false});
    EXPECT_EQ(class_of([&] { both.check_all(); }), "Norvik::Exception::ProcessCheck::CommandMismatch")
        << "command is checked before owner";
    Running nobody(RunningOptions{name, "", std::to_string(other.pid), "nobody", false});
    EXPECT_EQ(nobody.check_all(), 1);

    EXPECT_EQ(class_of([&] {
                  Running r(RunningOptions{"", "", std::to_string(mine.pid), "root", false});
              }),
              "Norvik::Exception::ProcessCheck::MissingPattern");
    EXPECT_EQ(class_of([&] {
                  Running r(RunningOptions{"x", "", "12x", "root", false});
              }),
              "Norvik::Exception::Proc::InvalidPid");
    EXPECT_NE(class_of([&] {
                  Running r(RunningOptions{"x", "", std::to_string(mine.pid), "no-such-user-nvk", false});
              }),
              "none");
}

TEST(UnixPidTiny, PidFiles) {
    TempDir dir("pidfile");
    norvik::proc::Tiny tiny;
    Spawned p = proctest::spawn_sleep(proctest::unique_name("nvkpidfile"));
    write_file(dir / "good.pid", "  " + std::to_string(p.pid) + "\n");
    EXPECT_EQ(tiny.is_pidfile_running(dir / "good.pid"), p.pid);
    write_file(dir / "bad.pid", std::to_string(p.pid) + "abc\n");
    EXPECT_EQ(tiny.is_pidfile_running(dir / "bad.pid"), 0) << "not all digits";
    write_file(dir / "neg.pid", "-" + std::to_string(p.pid));
    EXPECT_EQ(tiny.is_pidfile_running(dir / "neg.pid"), 0);
    write_file(dir / "one.pid", "1\n");
    EXPECT_EQ(tiny.is_pidfile_running(dir / "one.pid"), 1) << "pid 1 runs; reading is not signalling";
    EXPECT_EQ(tiny.is_pidfile_running(dir / "missing.pid"), 0);

    Spawned z = proctest::spawn("/bin/true", {"nvk-zombie"});
    for (int i = 0; i < 400 && proc::read_state_letter(z.pid) != "Z"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    write_file(dir / "zombie.pid", std::to_string(z.pid));
    EXPECT_EQ(tiny.is_pidfile_running(dir / "zombie.pid"), 0) << "a zombie is not running";
}

TEST(ProcessInfo, LineageStartsWithSelf) {
    auto l = norvik::proc::get_pid_lineage();
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[0], ::getpid());
    EXPECT_EQ(l[1], ::getppid());
}

TEST(Fuser, TextOrderInFakeTree) {
    TempDir dir("fuser");
    norvik::proc::set_proc_root(dir.path());
    norvik::test::make_dirs(dir / "999/fd");
    norvik::test::make_dirs(dir / "1000/fd");
    norvik::test::make_dirs(dir / "self/fd");
    std::filesystem::create_symlink("/x/held", dir / "999/fd/3");
    std::filesystem::create_symlink("/x/held", dir / "1000/fd/4");
    std::filesystem::create_symlink("/x/other", dir / "1000/fd/5");
    std::filesystem::create_symlink("/x/held", dir / "1000/fd/6");
    std::filesystem::create_symlink("/x/held.bak", dir / "999/fd/7");
    auto held = norvik::proc::check({"/x/held", "/x/other", "/x/none"});
    auto running = norvik::proc::running_processes();
    auto open = norvik::proc::proc_has_open_files(1000, {"/x/other", "/x/held", "/x/held"});
    norvik::proc::set_proc_root("/proc");
    EXPECT_EQ(held["/x/held"], (std::vector<pid_t>{1000, 999}));
    EXPECT_EQ(held["/x/other"], (std::vector<pid_t>{1000}));
    EXPECT_EQ(held.count("/x/none"), 0u);
    EXPECT_EQ(running.size(), 2u);
    EXPECT_EQ(open, (std::vector<std::string>{"/x/held", "/x/other"}));
}

TEST(Fuser, RealHolders) {
    TempDir dir("fuserlive");
    std::string file = dir / "held.lock";
    write_file(file, "");
    std::vector<Spawned> holders;
    for (int i = 0; i < 3; ++i)
        holders.push_back(proctest::spawn_sleep(proctest::unique_name("nvkholder"), "30", [&] {
            int fd = ::open(file.c_str(), O_RDONLY);  // inherited through exec on purpose
            (void)fd;
        }));
    auto held = norvik::proc::check({file});
    std::vector<pid_t> want;
    for (auto& h : holders) want.push_back(h.pid);
    std::sort(want.begin(), want.end(), [](pid_t a, pid_t b) { return std::to_string(a) < std::to_string(b); });
    EXPECT_EQ(held[file], want);
}

namespace {

// A child that listens on addr:port (port 0: any) and reports the port.
Spawned listener(const char* addr, int port, int family, int& bound_port) {
    int p[2];
    if (::pipe(p) != 0) return Spawned();
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(p[0]);
        int s = ::socket(family, SOCK_STREAM, 0);
        int got = -1;
        if (family == AF_INET) {
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET, addr, &sa.sin_addr);
            if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(s, 4) == 0) {
                socklen_t len = sizeof sa;
                ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
                got = ntohs(sa.sin_port);
            }
        } else {
            sockaddr_in6 sa{};
            sa.sin6_family = AF_INET6;
            sa.sin6_port = htons(static_cast<uint16_t>(port));
            ::inet_pton(AF_INET6, addr, &sa.sin6_addr);
            if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(s, 4) == 0) {
                socklen_t len = sizeof sa;
                ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
                got = ntohs(sa.sin6_port);
            }
        }
        (void)!::write(p[1], &got, sizeof got);
        ::close(p[1]);
        for (;;) ::pause();
    }
    ::close(p[1]);
    bound_port = -1;
    (void)!::read(p[0], &bound_port, sizeof bound_port);
    ::close(p[0]);
    return Spawned(pid);
}

}  // namespace

TEST(KillAppPort, EndsListenerSparesExcludedAddressAndCaller) {
    int port = 0;
    Spawned a = listener("127.0.0.1", 0, AF_INET, port);
    ASSERT_GT(port, 0);
    int port_b = 0;
    Spawned b = listener("127.0.0.2", port, AF_INET, port_b);
    ASSERT_EQ(port_b, port);

    auto found = norvik::proc::find_listeners({port}, {"127.0.0.2"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].pid, a.pid);
    EXPECT_EQ(found[0].address, "127.0.0.1");

    EXPECT_EQ(norvik::proc::kill_apps_on_ports({{port}, false, {"127.0.0.2"}}), 1);
    int st;
    EXPECT_TRUE(::waitpid(a.pid, &st, WNOHANG) < 0 && errno == ECHILD) << "ended and reaped";
    EXPECT_EQ(::waitpid(b.pid, &st, WNOHANG), 0) << "the excluded address is spared";

    // the caller's own listener is never a target
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(s, 1), 0);
    socklen_t len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    EXPECT_TRUE(norvik::proc::find_listeners({ntohs(sa.sin_port)}, {}).empty());
    ::close(s);
}

TEST(KillAppPort, Ipv6Loopback) {
    int port = 0;
    Spawned v6 = listener("::1", 0, AF_INET6, port);
    if (port <= 0) GTEST_SKIP() << "no IPv6 loopback here";
    auto found = norvik::proc::find_listeners({port}, {});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].address, "::1");
    EXPECT_TRUE(norvik::proc::find_listeners({port}, {"0:0::1"}).empty()) << "addresses compared canonically";
}

// The kernel's socket list (asked by state) and the /proc tables (read when
// /proc is elsewhere) name the same listeners: IPv4, IPv6, an IPv4-mapped
// address, and never a connected socket on the same port.
TEST(KillAppPort, KernelListAndProcTablesAgree) {
    int port = 0, port6 = 0, mapped = 0;
    Spawned v4 = listener("127.0.0.1", 0, AF_INET, port);
    ASSERT_GT(port, 0);
    Spawned v6 = listener("::1", 0, AF_INET6, port6);
    Spawned m = listener("::ffff:127.0.0.3", 0, AF_INET6, mapped);
    // A connection to the first listener: its two ends use the same port.
    int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

    std::vector<int> ports{port};
    if (port6 > 0) ports.push_back(port6);
    if (mapped > 0) ports.push_back(mapped);
    auto key = [](std::vector<norvik::proc::Listener> v) {
        std::vector<std::string> out;
        for (const auto& l : v) out.push_back(std::to_string(l.pid) + " " + std::to_string(l.port) + " " + l.address);
        std::sort(out.begin(), out.end());
        return out;
    };
    const auto from_kernel = key(norvik::proc::find_listeners(ports, {}));
    TempDir dir("proclink");
    ASSERT_EQ(::symlink("/proc", (dir / "proc").c_str()), 0);
    const std::string before = norvik::proc::proc_root();
    norvik::proc::set_proc_root(dir / "proc");
    const auto from_tables = key(norvik::proc::find_listeners(ports, {}));
    norvik::proc::set_proc_root(before);
    ::close(c);

    EXPECT_EQ(from_kernel, from_tables);
    std::vector<std::string> expected{std::to_string(v4.pid) + " " + std::to_string(port) + " 127.0.0.1"};
    if (port6 > 0) expected.push_back(std::to_string(v6.pid) + " " + std::to_string(port6) + " ::1");
    if (mapped > 0) expected.push_back(std::to_string(m.pid) + " " + std::to_string(mapped) + " 127.0.0.3");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(from_kernel, expected);
}

// More listeners than one page of the /proc tables holds: both ways find
// every one.
TEST(KillAppPort, EveryListenerOfALongTableIsFound) {
    constexpr int COUNT = 120;
    int report[2], hold[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(hold), 0);
    pid_t owner = ::fork();
    if (owner == 0) {
        ::close(report[0]);
        ::close(hold[1]);
        for (int i = 0; i < COUNT; ++i) {
            int s = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
            int port = -1;
            socklen_t len = sizeof sa;
            if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(s, 1) == 0 &&
                ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
                port = ntohs(sa.sin_port);
            (void)!::write(report[1], &port, sizeof port);
        }
        char c;
        (void)!::read(hold[0], &c, 1);  // until the test is done
        ::_exit(0);
    }
    ::close(report[1]);
    ::close(hold[0]);
    std::vector<int> ports;
    for (int i = 0, p = 0; i < COUNT && ::read(report[0], &p, sizeof p) == static_cast<ssize_t>(sizeof p); ++i)
        if (p > 0) ports.push_back(p);
    ::close(report[0]);
    const auto from_kernel = norvik::proc::find_listeners(ports, {});
    TempDir dir("proclong");
    ASSERT_EQ(::symlink("/proc", (dir / "proc").c_str()), 0);
    const std::string before = norvik::proc::proc_root();
    norvik::proc::set_proc_root(dir / "proc");
    const auto from_tables = norvik::proc::find_listeners(ports, {});
    norvik::proc::set_proc_root(before);
    ::close(hold[1]);
    ::waitpid(owner, nullptr, 0);
    ASSERT_EQ(ports.size(), static_cast<size_t>(COUNT));
    EXPECT_EQ(from_kernel.size(), ports.size());
    EXPECT_EQ(from_tables.size(), ports.size());
}
