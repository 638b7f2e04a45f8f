#include <gtest/gtest.h>

#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "proc_test_util.hpp"
#include "exception/exception.hpp"
#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"
#include "proc/process_table_fallback.hpp"
#include "support/test_support.hpp"

namespace proc = norvik::proc;
using norvik::test::TempDir;
using norvik::test::write_file;
using proctest::contains;

namespace {

std::string stat_line(int pid, const std::string& comm, const std::string& state, int ppid, int pgrp, int nice = 0) {
    // fields after ")": state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt
    //                   utime stime cutime cstime priority nice threads itreal starttime
    return std::to_string(pid) + " (" + comm + ") " + state + " " + std::to_string(ppid) + " " + std::to_string(pgrp) +
           " 1 0 -1 0 0 0 0 0 7 3 0 0 20 " + std::to_string(nice) + " 1 0 100 0 0\n";
}

// A fake proc tree; proc_root() points at it while the object lives.
struct FakeProc {
    TempDir dir{"fakeproc"};
    FakeProc() {
        write_file(dir / "stat", "cpu 0 0 0 0\nbtime 1000\n");
        norvik::proc::set_proc_root(dir.path());
    }
    ~FakeProc() { norvik::proc::set_proc_root("/proc"); }
    void add(int pid, const std::string& comm, const std::string& cmdline, int ppid, int pgrp,
             const std::string& exe = "", int nice = 0) {
        std::string d = dir / std::to_string(pid);
        write_file(d + "/stat", stat_line(pid, comm, "S", ppid, pgrp, nice));
        write_file(d + "/cmdline", cmdline);
        if (!exe.empty()) std::filesystem::create_symlink(exe, d + "/exe");
    }
};

const proc::ProcRecord* find(const std::vector<proc::ProcRecord>& recs, pid_t pid) {
    for (auto& r : recs)
        if (r.pid == pid) return &r;
    return nullptr;
}

}  // namespace

TEST(PsParser, StatCutAtLastParenAndKernelThreadForm) {
    FakeProc fp;
    fp.add(1234, "we ird) name) x", "", 1, 1234);
    fp.add(1235, "plain", std::string("/usr/bin/plain\0--opt\0value\0", 27), 1234, 1234, "", -5);
    fp.add(1236, "trail", std::string("trail \0\0", 8), 1, 1236);
    write_file(fp.dir / "1237/stat", "1237 no closing paren S 1 1");  // no second part: skipped
    write_file(fp.dir / "notapid/stat", stat_line(9, "x", "S", 1, 1));

    auto recs = proc::fast_parse_ps();
    ASSERT_EQ(recs.size(), 3u);
    auto* weird = find(recs, 1234);
    ASSERT_TRUE(weird);
    EXPECT_EQ(weird->command, "[we ird) name) x]");
    EXPECT_EQ(weird->state, "S");
    EXPECT_EQ(weird->ppid, 1);
    EXPECT_EQ(weird->user, "root");
    auto* plain = find(recs, 1235);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->command, "/usr/bin/plain --opt value");
    EXPECT_EQ(plain->nice, -5);
    EXPECT_EQ(plain->ppid, 1234);
    EXPECT_EQ(find(recs, 1236)->command, "trail");
}

// Fields longer than any number the kernel prints saturate instead of
// overflowing (found by fuzzing under the undefined-behaviour checker).
TEST(PsParser, OversizedStatFieldsSaturate) {
    FakeProc fp;
    write_file(fp.dir / "1240/stat",
               "1240 (big) S 1 99999999999999999999 1 0 -1 0 0 0 0 0 7 3 0 0 20 "
               "-99999999999999999999 1 0 100 0 0\n");
    write_file(fp.dir / "1240/cmdline", "big");
    write_file(fp.dir / "1241/stat", "1241 (max) S 1 1 1 0 -1 0 0 0 0 0 7 3 0 0 20 9223372036854775807 1 0 100 0 0\n");
    write_file(fp.dir / "1241/cmdline", "max");
    write_file(fp.dir / "1242/stat",
               "1242 (cpu) S 1 1 1 0 -1 0 0 0 0 0 99999999999999999999 99999999999999999999 0 0 20 0 "
               "1 0 100 0 0\n");
    write_file(fp.dir / "1242/cmdline", "cpu");
    proc::ParseOptions o;
    o.exclude_kernel = true;  // reads the group field
    o.cpu_stats = o.elapsed_stats = true;
    auto recs = proc::fast_parse_ps(o);
    auto* big = find(recs, 1240);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->nice, -std::numeric_limits<long long>::max());
    auto* max = find(recs, 1241);
    ASSERT_TRUE(max);
    EXPECT_EQ(max->nice, std::numeric_limits<long long>::max());
    // Processor time is the sum of two saturated fields, which must not wrap.
    auto* cpu = find(recs, 1242);
    ASSERT_TRUE(cpu && cpu->cpu);
    EXPECT_GT(*cpu->cpu, 0.0);
}

TEST(PsParser, OptionConflictsAndSkipStat) {
    FakeProc fp;
    fp.add(500, "a", "a", 1, 500);
    proc::ParseOptions o;
    o.skip_stat = true;
    EXPECT_THROW(proc::fast_parse_ps(o), norvik::PlainError);  // skip_cmdline missing
    o.skip_cmdline = true;
    for (int which = 0; which < 3; ++which) {
        proc::ParseOptions c = o;
        (which == 0 ? c.exclude_kernel : which == 1 ? c.cpu_stats : c.elapsed_stats) = true;
        try {
            proc::fast_parse_ps(c);
            ADD_FAILURE() << "conflict " << which << " accepted";
        } catch (const norvik::PlainError& e) {
            EXPECT_NE(std::string(e.what()).find(which == 0   ? "exclude_kernel"
                                                 : which == 1 ? "cpu_stats"
                                                              : "elapsed_stats"),
                      std::string::npos);
        }
    }
    auto recs = proc::fast_parse_ps(o);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_FALSE(recs[0].has_stat);
    EXPECT_TRUE(recs[0].command.empty());
    EXPECT_EQ(recs[0].user, "root");
}

TEST(PsParser, ExcludeKernelWantPidWantUidAndOwners) {
    FakeProc fp;
    fp.add(2, "kthreadd", "", 0, 0);
    fp.add(150, "early", "early", 1, 150);
    fp.add(400, "kworker/0:1", "", 2, 0);
    fp.add(401, "idle", "", 1, 401);  // empty cmdline but a real process group
    fp.add(402, "user", "user", 1, 402);
    ASSERT_EQ(::chown((fp.dir / "402").c_str(), 54321, 54321), 0);

    proc::ParseOptions o;
    o.exclude_kernel = true;
    auto recs = proc::fast_parse_ps(o);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(find(recs, 401)->command, "[idle]");
    EXPECT_TRUE(find(recs, 402));

    o = {};
    o.want_pid = 402;
    recs = proc::fast_parse_ps(o);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].uid, 54321u);
    EXPECT_EQ(recs[0].user, "54321");

    o = {};
    o.want_uid = 54321;
    o.resolve_uids = true;
    recs = proc::fast_parse_ps(o);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_FALSE(recs[0].user.has_value()) << "no password entry for uid 54321";
}

TEST(PsParser, ChildPidsChildrenFirstAndOnce) {
    FakeProc fp;
    fp.add(1000, "top", "top", 1, 1000);
    fp.add(1001, "a", "a", 1000, 1000);
    fp.add(1002, "b", "b", 1000, 1000);
    fp.add(1003, "a1", "a1", 1001, 1000);
    fp.add(1004, "b1", "b1", 1002, 1000);
    fp.add(1005, "a11", "a11", 1003, 1000);
    auto kids = proc::get_child_pids({1000});
    // direct children first (in directory order), then each child's subtree in turn
    ASSERT_EQ(kids.size(), 5u);
    EXPECT_EQ(std::set<pid_t>(kids.begin(), kids.begin() + 2), (std::set<pid_t>{1001, 1002}));
    auto pos = [&](const std::vector<pid_t>& v, pid_t p) { return std::find(v.begin(), v.end(), p) - v.begin(); };
    EXPECT_LT(pos(kids, 1003), pos(kids, 1005));
    EXPECT_EQ(pos(kids, 1003) < pos(kids, 1004), kids[0] == 1001);
    auto both = proc::get_child_pids({1001, 1000});
    ASSERT_EQ(both.size(), 5u) << "each pid once";
    EXPECT_EQ(both[0], 1003);
    EXPECT_EQ(both[1], 1005);
}

TEST(PsParser, NameSearchFloorOf300InFakeTree) {
    FakeProc fp;
    fp.add(250, "floorprog", std::string("floorprog\0", 10), 1, 250, "/usr/bin/floorprog");
    fp.add(350, "floorprog", std::string("floorprog\0", 10), 1, 350, "/usr/bin/floorprog");
    fp.add(351, "other", std::string("other\0", 6), 1, 351);  // no exe link: skipped
    auto pids = proc::get_pids_by_name("floorprog");
    EXPECT_EQ(pids, std::vector<pid_t>{350});
    EXPECT_TRUE(proc::get_pids_by_name("other").empty());
}

TEST(PsParser, GetbasenameAndInterpreters) {
    using norvik::proc::getbasename;
    EXPECT_EQ(getbasename(""), "");
    EXPECT_EQ(getbasename("/usr/sbin/daemon"), "daemon");
    EXPECT_EQ(getbasename("/usr/sbin/daemon --flag x"), "daemon");
    EXPECT_EQ(getbasename("relative/path"), "relative/path");
    EXPECT_EQ(proc::get_known_interpreters_regex_text().substr(0, 8), "(?:perl|");
    EXPECT_TRUE(std::regex_match("python3", proc::get_known_interpreters_regex()));
    // option words after an interpreter are skipped
    EXPECT_TRUE(proc::_proc_matches_regex("tool.pl", "perl", {"-w", "-T", "tool.pl", "arg"}, ""));
    EXPECT_TRUE(proc::_proc_matches_regex("tool.pl", "python3.11", {"tool.pl"}, ""));
    EXPECT_FALSE(proc::_proc_matches_regex("tool.pl", "notaninterp", {"tool.pl"}, ""));
    // login-shell dash and trailing colon
    EXPECT_TRUE(proc::_proc_matches_regex("sshd", "sshd:", {"user@pts/0"}, ""));
    EXPECT_TRUE(proc::_proc_matches_regex("bash", "-bash", {}, ""));
    // file name exact, first word case-insensitive
    EXPECT_TRUE(proc::_proc_matches_regex("Daemon", "other", {}, "Daemon"));
    EXPECT_FALSE(proc::_proc_matches_regex("daemon", "other", {}, "Daemon"));
    EXPECT_TRUE(proc::_proc_matches_regex("daemon", "DAEMON", {}, ""));
}

TEST(PsParser, ParsePidRefusesNonDigits) {
    EXPECT_EQ(proc::parse_pid("123"), 123);
    for (const char* bad : {"", "12a", "-5", "+5", " 5", "5 ", "0", "00", "99999999999", "2147483648"})
        EXPECT_FALSE(proc::parse_pid(bad).has_value()) << bad;
}

TEST(PsParser, FallbackOutputParsing) {
    std::string text =
        "    1     0     0     0 -10 S 16248     502        3 /sbin/init splash\n"
        "    2     0     0     0   0 S     0     502        0 [kthreadd]\n"
        "  777  1000     1   777   - R  2048     100       50 /usr/bin/app --x  y\n"
        "garbage line\n";
    proc::ParseOptions o;
    auto recs = proc::parse_ps_output(text, o);
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[2].pid, 777);
    EXPECT_EQ(recs[2].uid, 1000u);
    EXPECT_EQ(recs[2].user, "1000");
    EXPECT_EQ(recs[2].state, "R");
    EXPECT_EQ(recs[2].nice, 0);
    EXPECT_EQ(recs[2].command, "/usr/bin/app --x  y");
    o.exclude_kernel = true;
    o.cpu_stats = true;
    recs = proc::parse_ps_output(text, o);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_DOUBLE_EQ(*recs[0].cpu, 50.0);
}

// ---- real processes ----------------------------------------------------------

TEST(PsParserLive, PidInfoOfSelf) {
    auto info = proc::get_pid_info(::getpid());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ppid, ::getppid());
    EXPECT_NE(info->command.find("test_proc"), std::string::npos);
    EXPECT_TRUE(info->mem && info->cpu && info->elapsed);
    EXPECT_FALSE(proc::get_pid_info(0));
}

TEST(PsParserLive, FindsByArgv0CaseInsensitivelyAndByExecutableExactly) {
    std::string name = proctest::unique_name("NvkFind");
    auto p = proctest::spawn_sleep(name);
    EXPECT_TRUE(contains(proc::get_pids_by_name(name), p.pid));
    std::string upper = name;
    for (auto& c : upper) c = char(std::toupper(c));
    EXPECT_TRUE(contains(proc::get_pids_by_name(upper), p.pid));
    EXPECT_TRUE(contains(proc::get_pids_by_name(std::vector<std::string>{"nothing-like-it", name}), p.pid));
    EXPECT_TRUE(contains(proc::get_pids_by_name(std::regex("^NvkFind-[0-9]+-")), p.pid));
    EXPECT_TRUE(proc::get_pids_by_name(std::regex("")).empty()) << "a pattern matching everything finds nothing";
    EXPECT_TRUE(proc::get_pids_by_name(std::vector<std::string>{"x", ""}).empty());
    EXPECT_TRUE(proc::get_pids_by_name("").empty());

    // executable file name: exact and case-sensitive
    TempDir dir("exe");
    std::string bin_name = proctest::unique_name("NvkBin");
    std::filesystem::copy_file("/bin/sleep", dir / bin_name);
    ::chmod((dir / bin_name).c_str(), 0755);
    auto q = proctest::spawn(dir / bin_name, {"unrelated-argv0", "30"});
    EXPECT_TRUE(contains(proc::get_pids_by_name(bin_name), q.pid));
    std::string lower = bin_name;
    for (auto& c : lower) c = char(std::tolower(c));
    EXPECT_FALSE(contains(proc::get_pids_by_name(lower), q.pid));
}

TEST(PsParserLive, InterpreterDashAndColonForms) {
    TempDir dir("interp");
    std::string script = proctest::unique_name("nvkscript") + ".pl";
    write_file(dir / script, "sleep 30;\n", 0755);
    auto p = proctest::spawn("/usr/bin/perl", {"perl", "-w", "-s", dir / script});
    EXPECT_TRUE(contains(proc::get_pids_by_name(script), p.pid));

    std::string dashed = proctest::unique_name("nvklogin");
    auto d = proctest::spawn_sleep("-" + dashed);
    EXPECT_TRUE(contains(proc::get_pids_by_name(dashed), d.pid));
    std::string coloned = proctest::unique_name("nvkcolon");
    auto c = proctest::spawn_sleep(coloned + ":");
    EXPECT_TRUE(contains(proc::get_pids_by_name(coloned), c.pid));
}

TEST(PsParserLive, AllowedOwners) {
    std::string name = proctest::unique_name("nvkowner");
    auto mine = proctest::spawn_sleep(name);
    auto other = proctest::spawn_sleep(name, "30", [] {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(126);
    });
    auto all = proc::get_pids_by_name(name);
    EXPECT_TRUE(contains(all, mine.pid));
    EXPECT_TRUE(contains(all, other.pid));
    auto root_only = proc::get_pids_by_name(name, std::vector<std::string>{"root"});
    EXPECT_TRUE(contains(root_only, mine.pid));
    EXPECT_FALSE(contains(root_only, other.pid));
    auto by_uid = proc::get_pids_by_name(name, std::vector<std::string>{"65534"});
    EXPECT_EQ(by_uid, std::vector<pid_t>{other.pid});
    EXPECT_TRUE(proc::get_pids_by_name(name, std::vector<std::string>{"no-such-user-nvk"}).empty());

    // a caller that is not root sees only its own processes, whatever it asks for
    int pipefd[2];
    ASSERT_EQ(::pipe(pipefd), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipefd[0]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(126);
        auto found = proc::get_pids_by_name(name, std::vector<std::string>{"root"});
        char ok = (found == std::vector<pid_t>{other.pid}) ? 'y' : 'n';
        (void)!::write(pipefd[1], &ok, 1);
        _exit(0);
    }
    ::close(pipefd[1]);
    char ok = 0;
    ASSERT_EQ(::read(pipefd[0], &ok, 1), 1);
    ::close(pipefd[0]);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(ok, 'y');
}

TEST(PsParserLive, FallbackWithoutProc) {
    std::string name = proctest::unique_name("nvkfallback");
    auto p = proctest::spawn_sleep(name);
    proc::set_READ_PROC(false);
    auto recs = proc::fast_parse_ps();
    auto pids = proc::get_pids_by_name(name);
    proc::set_READ_PROC(true);
    auto* self = find(recs, ::getpid());
    ASSERT_TRUE(self) << "ps output parsed";
    EXPECT_EQ(self->ppid, ::getppid());
    EXPECT_TRUE(contains(pids, p.pid));
}
