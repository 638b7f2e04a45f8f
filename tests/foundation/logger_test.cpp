// The logger and its plain-function front: levels, echo rules, file modes,
// backtraces, the panic log and the sandbox notification fallback, all
// against a private root.
#include <errno.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "log/debug.hpp"
#include "log/logger.hpp"
#include "support/test_support.hpp"

namespace ls = norvik::log;
using norvik::Logger;
using norvik::LoggerArgs;
using norvik::test::TempDir;

namespace {

// Points one of the standard descriptors somewhere else until restored.
class Redirect {
public:
    Redirect(int fd, int target) : fd_(fd) {
        std::fflush(stdout);
        std::fflush(stderr);
        saved_ = ::dup(fd);
        ::dup2(target, fd);
    }
    ~Redirect() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }

private:
    int fd_;
    int saved_ = -1;
};

// A file that captures one standard stream.
class Capture {
public:
    Capture(int fd, const std::string& file) : file_(file) {
        int f = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        redirect_ = std::make_unique<Redirect>(fd, f);
        ::close(f);
    }
    std::string text() {
        redirect_->restore();
        return norvik::test::read_file(file_);
    }

private:
    std::string file_;
    std::unique_ptr<Redirect> redirect_;
};

// Standard input from /dev/null (not a terminal) or from a pseudo-terminal.
class Stdin {
public:
    explicit Stdin(bool terminal) {
        if (terminal) {
            master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
                const char* name = ::ptsname(master_);
                if (name) src_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
            }
        } else {
            src_ = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
        if (src_ >= 0) redirect_ = std::make_unique<Redirect>(0, src_);
    }
    ~Stdin() {
        redirect_.reset();
        if (src_ >= 0) ::close(src_);
        if (master_ >= 0) ::close(master_);
    }
    bool ok() const { return src_ >= 0; }

private:
    int master_ = -1;
    int src_ = -1;
    std::unique_ptr<Redirect> redirect_;
};

mode_t mode_of(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return 07777;
    return st.st_mode & 07777;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

// Lines of a backtrace as the logger appends them.
size_t trace_lines(const std::string& text) {
    size_t n = 0;
    for (const auto& l : split_lines(text)) n += l.rfind(" at ", 0) == 0;
    return n;
}

const std::string kStamp = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4})";

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        norvik::foundation::set_root_for_testing(root.path());
        norvik::test::make_dirs(root / "usr/local/norvik/logs");
        norvik::test::make_dirs(root / "var/norvik");
        reset();
        prog = Logger::find_progname();
    }
    void TearDown() override {
        reset();
        norvik::foundation::set_root_for_testing("");
    }
    static void reset() {
        Logger::clear_singleton_stash();
        norvik::log::set_logger(nullptr);
        norvik::log::clear_debug_level();
        ls::set_enable_backtrace(std::nullopt);
        ls::set_disable_output(false);
        ls::set_always_output_to_stderr(false);
        ls::reset_caches();
    }
    std::string log() const { return norvik::test::read_file(root / "usr/local/norvik/logs/error_log"); }
    std::string panic_log() const { return norvik::test::read_file(root / "usr/local/norvik/logs/panic_log"); }
    static std::shared_ptr<Logger> fresh(LoggerArgs a = {}) {
        a.no_load_from_cache = true;
        return Logger::create(a);
    }

    TempDir root{"logger"};
    std::string prog;
};

}  // namespace

TEST_F(LoggerTest, SharedBySignatureAndRefusesOpenNowWithoutFiles) {
    auto a = Logger::create();
    auto b = Logger::create();
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a->cloned(), 1);
    LoggerArgs pid;
    pid.log_pid = true;
    auto c = Logger::create(pid);
    EXPECT_NE(c.get(), a.get());
    EXPECT_EQ(Logger::create(pid).get(), c.get());
    // A new object, which also replaces the shared one for its signature.
    LoggerArgs again = pid;
    again.no_load_from_cache = true;
    auto d = Logger::create(again);
    EXPECT_NE(d.get(), c.get());
    EXPECT_EQ(Logger::create(pid).get(), d.get());
    EXPECT_EQ(&norvik::logger(), a.get());
    EXPECT_EQ(&norvik::log::logger(), a.get());
    Logger::clear_singleton_stash();
    EXPECT_NE(Logger::create().get(), a.get());

    LoggerArgs both;
    both.open_now = true;
    both.use_no_files = true;
    EXPECT_THROW(Logger::create(both), norvik::PlainError);
}

TEST_F(LoggerTest, FileLinesUnderTheRootWithExactModes) {
    mode_t old = ::umask(0);  // the log must be 0600 whatever the umask
    LoggerArgs a;
    a.log_pid = true;
    auto lg = fresh(a);
    Stdin in(false);
    EXPECT_EQ(lg->info("first entry"), 1);
    EXPECT_EQ(lg->error("second entry"), 1);
    lg->invalid("third entry");
    ::umask(old);
    EXPECT_EQ(mode_of(root / "usr/local/norvik/logs/error_log"), 0600u);
    EXPECT_EQ(mode_of(root / "usr/local/norvik/logs/panic_log"), 0600u);
    auto lines = split_lines(log());
    ASSERT_EQ(lines.size(), 3u) << log();
    const std::string pid = std::to_string(::getpid());
    EXPECT_TRUE(std::regex_match(
        lines[0], std::regex("\\[" + kStamp + "\\] info \\[" + prog + "\\] \\[" + pid + "\\] first entry")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex("\\[" + kStamp + "\\] error \\[" + prog + "\\] \\[" + pid + "\\] second entry")))
        << lines[1];
    // The panic log gets only the invalid entry, without the process ID.
    EXPECT_TRUE(std::regex_match(panic_log(), std::regex(kStamp + " invalid \\[" + prog + "\\] third entry\n")))
        << panic_log();

    // Without log_pid no process ID field; the service field can be given.
    auto plain = fresh();
    norvik::LogEntry e;
    e.message = "by name";
    e.level = "warn";
    e.service = "exim";
    plain->logger(e);
    EXPECT_TRUE(std::regex_search(log(), std::regex("\\] warn \\[exim\\] by name\n$"))) << log();
}

TEST_F(LoggerTest, RawIsWrittenAsGivenAndWriteFailuresGiveZero) {
    auto lg = fresh();
    EXPECT_EQ(lg->raw("abc"), 1);
    EXPECT_EQ(lg->raw("def\n"), 1);
    EXPECT_EQ(log(), "abcdef\n");
    EXPECT_EQ(lg->logger(std::string()), 1);  // an empty message gets the placeholder
    EXPECT_NE(log().find("[" + prog + "] Something is wrong\n"), std::string::npos) << log();

    // A handle that cannot be written: the entry reports 0, nothing is thrown.
    int ro = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    lg->set_fh(ro);
    Stdin in(false);
    EXPECT_EQ(lg->warn("lost"), 0);
    EXPECT_EQ(lg->raw("lost"), 0);
    ::close(ro);
    EXPECT_EQ(log().find("lost"), std::string::npos);
}

TEST_F(LoggerTest, EchoFollowsTheLevelTable) {
    LoggerArgs a;
    a.use_stdout = true;
    auto lg = fresh(a);
    {
        Stdin in(false);
        Capture out(1, root / "out"), err(2, root / "err");
        lg->info("to stdout");
        lg->warn("file only");
        lg->error("file only too");
        lg->raw("raw never echoes\n");
        EXPECT_EQ(out.text(), "info [" + prog + "] to stdout\n");
        EXPECT_EQ(err.text(), "");
    }
    {
        Stdin tty(true);
        if (!tty.ok()) GTEST_SKIP() << "no pseudo-terminal for standard input";
        Capture out(1, root / "out"), err(2, root / "err");
        lg->warn("seen at the terminal");
        lg->error("this too");
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(err.text(), "warn [" + prog + "] seen at the terminal\nerror [" + prog + "] this too\n");
    }
    // Every entry still reached the file.
    for (const char* m : {"to stdout", "file only", "file only too", "seen at the terminal", "this too"})
        EXPECT_NE(log().find(std::string("] ") + m + "\n"), std::string::npos) << m;
}

TEST_F(LoggerTest, EchoSwitchesAndPrefixes) {
    LoggerArgs now;
    now.open_now = true;
    now.use_stdout = true;
    auto opened = fresh(now);
    LoggerArgs stamped;
    stamped.use_stdout = true;
    stamped.timestamp_prefix = true;
    auto ts = fresh(stamped);
    LoggerArgs quiet;  // neither use_stdout nor a terminal on stdout
    auto q = fresh(quiet);
    Capture out(1, root / "out"), err(2, root / "err");
    opened->info("opened at construction: no echo");
    ts->info("stamped");
    q->info("not a terminal");
    norvik::LogEntry both;
    both.message = "both streams";
    both.level = "info";
    both.output = 3;
    q->logger(both);
    norvik::LogEntry full;
    full.message = "full line";
    full.level = "info";
    full.output = 2;
    full.use_fullmsg = true;
    q->logger(full);
    ls::set_disable_output(true);
    q->logger(both);  // silenced
    ls::set_disable_output(false);
    std::string o = out.text(), e = err.text();
    EXPECT_TRUE(std::regex_match(
        o, std::regex("\\[" + kStamp + "\\] info \\[" + prog + "\\] stamped\ninfo \\[" + prog + "\\] both streams\n")))
        << o;
    EXPECT_TRUE(std::regex_match(e, std::regex("info \\[" + prog + "\\] both streams\n\\[" + kStamp + "\\] info \\[" +
                                               prog + "\\] full line\n")))
        << e;
    EXPECT_EQ(split_lines(log()).size(), 6u) << log();
}

TEST_F(LoggerTest, AlwaysToStderrAndUnopenableLogFallBackToStderr) {
    auto lg = fresh();
    {
        Capture err(2, root / "err");
        ls::set_always_output_to_stderr(true);
        lg->raw("instead of the file\n");
        ls::set_always_output_to_stderr(false);
        EXPECT_EQ(err.text(), "instead of the file\n");
    }
    EXPECT_FALSE(norvik::test::exists(root / "usr/local/norvik/logs/error_log"));

    LoggerArgs a;
    a.alternate_logfile = root / "no/such/dir/log";
    auto missing = fresh(a);
    Capture err(2, root / "err");
    EXPECT_EQ(missing->raw("fallback\n"), 1);
    EXPECT_TRUE(missing->usingstderr());
    EXPECT_EQ(err.text(), "fallback\n");
}

TEST_F(LoggerTest, LinksAtTheStandardAndPanicLogsAreNeverFollowed) {
    const std::string victim = root / "victim";
    norvik::test::write_file(victim, "mine\n", 0644);
    const std::string logs = root / "usr/local/norvik/logs/";
    ASSERT_EQ(::symlink(victim.c_str(), (logs + "error_log").c_str()), 0);
    ASSERT_EQ(::symlink(victim.c_str(), (logs + "panic_log").c_str()), 0);
    auto lg = fresh();
    Stdin in(false);
    Capture err(2, root / "err");
    lg->info("an entry");
    lg->invalid("a grave entry");
    const std::string e = err.text();
    EXPECT_EQ(norvik::test::read_file(victim), "mine\n") << "written through a link";
    EXPECT_NE(e.find("“" + logs + "error_log” is a symbolic link"), std::string::npos) << e;
    EXPECT_NE(e.find("“" + logs + "panic_log” is a symbolic link"), std::string::npos) << e;
    struct stat st {};
    ASSERT_EQ(::lstat((logs + "panic_log").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}

TEST_F(LoggerTest, DieAndPanicRaiseAfterWriting) {
    auto lg = fresh();
    Stdin in(false);
    Capture err(2, root / "err");
    const std::string pid = std::to_string(::getpid());
    try {
        lg->die("fatal one");
        ADD_FAILURE() << "die returned";
    } catch (const norvik::PlainError& e) {
        std::string w = e.what();
        for (const std::string& part : {std::string("die"), pid, std::string("fatal one")})
            EXPECT_NE(w.find(part), std::string::npos) << part << " in " << w;
    }
    try {
        lg->panic("fatal two");
        ADD_FAILURE() << "panic returned";
    } catch (const norvik::PlainError& e) {
        std::string w = e.what();
        for (const std::string& part : {std::string("panic"), pid, std::string("fatal two")})
            EXPECT_NE(w.find(part), std::string::npos) << part << " in " << w;
    }
    norvik::LogEntry e;
    e.message = "dies on request";
    e.level = "error";
    e.die = true;
    EXPECT_THROW(lg->logger(e), norvik::PlainError);
    // panic always echoes to standard error, die only at a terminal.
    EXPECT_EQ(err.text(), "panic [" + prog + "] fatal two\n");
    std::string text = log();
    for (const char* m : {"] die [", "] fatal one\n", "] panic [", "] fatal two\n", "] dies on request\n"})
        EXPECT_NE(text.find(m), std::string::npos) << m << " in " << text;
    EXPECT_NE(panic_log().find(" panic [" + prog + "] fatal two\n"), std::string::npos) << panic_log();
    EXPECT_EQ(panic_log().find("fatal one"), std::string::npos);
}

TEST_F(LoggerTest, BacktracesFollowTheSwitchesAndTheMarkerFile) {
    Stdin in(false);
    auto lg = fresh();
    EXPECT_FALSE(lg->get_backtrace());
    lg->warn("no trace");
    EXPECT_EQ(trace_lines(log()), 0u) << log();

    ls::set_enable_backtrace(true);
    EXPECT_TRUE(lg->get_backtrace());
    lg->warn("with trace");
    std::string text = log();
    size_t at = text.find("] with trace\n");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_GE(trace_lines(text.substr(at)), 2u) << text;
    // info never carries one.
    size_t before = trace_lines(log());
    lg->info("plain info");
    EXPECT_EQ(trace_lines(log()), before);
    ls::set_enable_backtrace(std::nullopt);

    // The marker file turns them on for loggers made afterwards...
    norvik::test::write_file(norvik::foundation::log_trace_touch_file(), "");
    auto marked = fresh();
    EXPECT_TRUE(marked->get_backtrace());
    LoggerArgs off;
    off.backtrace = false;
    EXPECT_FALSE(fresh(off)->get_backtrace());  // ...unless the logger says otherwise
    // ...and the process-wide switch overrides both.
    ls::set_enable_backtrace(false);
    EXPECT_FALSE(marked->get_backtrace());
    EXPECT_FALSE(fresh()->get_backtrace());
}

// A trace taken here has the frames from this test outward; the logger's
// trace of a message must have exactly those, its own frames left out.
TEST_F(LoggerTest, BacktraceLeavesOutTheLoggersOwnFrames) {
    auto lg = fresh();
    const size_t here = trace_lines(norvik::exception::stack_trace(1));
    ASSERT_GE(here, 2u);
    std::string text = lg->backtrace("message");
    EXPECT_EQ(text.rfind("message\n", 0), 0u) << text;
    EXPECT_EQ(trace_lines(text), here) << text;
    EXPECT_EQ(text.find("norvik6Logger"), std::string::npos) << text;
    // Through the debug front: neither its frames nor the logger's.
    norvik::log::set_logger(lg);
    ls::set_enable_backtrace(true);
    Stdin in(false);
    norvik::log::log_error("through the front");
    std::string entry = log();
    EXPECT_EQ(trace_lines(entry), here) << entry;
    EXPECT_EQ(entry.find("norvik3log"), std::string::npos) << entry;
}

TEST_F(LoggerTest, InvalidAndDeprecatedInAndOutsideASandbox) {
    auto lg = fresh();
    Stdin in(false);
    {
        Capture err(2, root / "err");
        EXPECT_EQ(lg->invalid("odd input"), 1);
        EXPECT_EQ(lg->deprecated("old call"), 1);
        EXPECT_EQ(err.text(), "");
    }
    EXPECT_NE(panic_log().find(" invalid [" + prog + "] odd input\n"), std::string::npos) << panic_log();
    EXPECT_NE(panic_log().find(" deprecated [" + prog + "] old call\n"), std::string::npos) << panic_log();

    norvik::test::write_file(norvik::foundation::sandbox_marker(), "");
    EXPECT_FALSE(Logger::is_sandbox());  // the answer is cached
    ls::reset_caches();
    EXPECT_TRUE(Logger::is_sandbox());
    EXPECT_FALSE(Logger::is_smoker());
    {
        // Without a notification system the notification is a warning on
        // standard error carrying the entry and a backtrace.
        Capture err(2, root / "err");
        lg->invalid("sandboxed input");
        std::string e = err.text();
        EXPECT_NE(e.find("warning: Notification of type “invalid” from “" + prog + "”\n"), std::string::npos) << e;
        EXPECT_NE(e.find("[" + prog + "] sandboxed input\n"), std::string::npos) << e;
        EXPECT_GE(trace_lines(e), 1u) << e;
    }
    {
        Capture err(2, root / "err");
        EXPECT_THROW(lg->deprecated("sandboxed call"), norvik::PlainError);
        EXPECT_NE(err.text().find("Notification of type “deprecated”"), std::string::npos);
    }
    norvik::test::write_file(norvik::foundation::sandbox_no_notify_marker(), "");
    {
        Capture err(2, root / "err");
        lg->invalid("quiet input");
        EXPECT_THROW(lg->deprecated("quiet call"), norvik::PlainError);
        EXPECT_EQ(err.text().find("Notification"), std::string::npos);
    }
    EXPECT_NE(log().find("] quiet call\n"), std::string::npos);
}

TEST_F(LoggerTest, DebugEntriesNeedForceOrALevel) {
    LoggerArgs a;
    a.use_stdout = true;
    auto lg = fresh(a);
    Capture out(1, root / "out");
    EXPECT_FALSE(lg->debug("silent"));
    norvik::log::debug_level(0);
    EXPECT_FALSE(lg->debug("still silent"));
    norvik::DebugOptions force;
    force.force = true;
    force.output = 0;
    auto forced = lg->debug("forced", force);
    ASSERT_TRUE(forced);
    EXPECT_EQ(forced->level, "debug");
    norvik::log::debug_level(2);
    EXPECT_EQ(norvik::log::debug_level().value_or(-1), 2);
    EXPECT_EQ(lg->debug("42")->message, "The number is: 42");
    EXPECT_EQ(lg->debug("4.25")->message, "The number is: 4.25");
    EXPECT_EQ(lg->debug("4.")->message, "4.");
    EXPECT_FALSE(lg->debug("")->message.empty());
    std::string o = out.text();
    EXPECT_EQ(o.find("forced"), std::string::npos) << o;  // output 0
    EXPECT_NE(o.find("debug [" + prog + "] The number is: 42\n"), std::string::npos) << o;
    std::string text = log();
    EXPECT_EQ(text.find("silent"), std::string::npos);
    EXPECT_NE(text.find("] debug [" + prog + "] forced\n"), std::string::npos) << text;
}

TEST_F(LoggerTest, NklogUsesTheDefaultLogger) {
    norvik::test::write_file(norvik::foundation::log_trace_touch_file(), "");
    Capture out(1, root / "out");
    EXPECT_EQ(norvik::nklog("from a script", "notice", "nkscript", true), 1);
    EXPECT_EQ(out.text(), "");
    std::string text = log();
    EXPECT_NE(text.find("] notice [nkscript] from a script\n"), std::string::npos) << text;
    EXPECT_GE(trace_lines(text), 1u) << "the marker file asks for backtraces: " << text;
}

TEST_F(LoggerTest, RedirectStderrToTheErrorLog) {
    mode_t old = ::umask(0);
    {
        Redirect keep(2, 2);  // restores the real stderr afterwards
        fresh()->redirect_stderr_to_error_log();
        std::fputs("stray diagnostic\n", stderr);
        std::fflush(stderr);
    }
    ::umask(old);
    EXPECT_EQ(log(), "stray diagnostic\n");
    EXPECT_EQ(mode_of(root / "usr/local/norvik/logs/error_log"), 0600u);
}

TEST_F(LoggerTest, ConcurrentWritersNeverSplitALine) {
    constexpr int kWriters = 4, kLines = 300;
    const std::string payload_base(3000, 'x');
    std::vector<pid_t> kids;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        if (pid == 0) {
            try {
                auto lg = fresh();
                std::string payload = std::string(1, static_cast<char>('a' + w)) + payload_base;
                for (int i = 0; i < kLines; ++i) lg->raw(payload + std::to_string(i) + "\n");
            } catch (...) {
                ::_exit(3);
            }
            ::_exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t k : kids) {
        int st = 0;
        ASSERT_EQ(::waitpid(k, &st, 0), k);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    auto lines = split_lines(log());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kWriters * kLines));
    std::vector<int> next(kWriters, 0);
    for (const auto& l : lines) {
        ASSERT_GE(l.size(), payload_base.size() + 2);
        int w = l[0] - 'a';
        ASSERT_TRUE(w >= 0 && w < kWriters) << l.substr(0, 20);
        ASSERT_EQ(l.compare(1, payload_base.size(), payload_base), 0) << "a line was interleaved";
        // Each writer's lines keep their order.
        EXPECT_EQ(l.substr(1 + payload_base.size()), std::to_string(next[w]++));
    }
}

TEST(LoggerNames, ProgramNameRules) {
    EXPECT_EQ(Logger::progname_from_text("/usr/local/norvik/bin/restartsrv_exim.pl arg"), "restartsrv_exim");
    EXPECT_EQ(Logger::progname_from_text("restartsrv_exim arg.x"), "restartsrv_exim");
    EXPECT_EQ(Logger::progname_from_text("a.b.c"), "a");
    EXPECT_EQ(Logger::progname_from_text("a/b/c.d/e"), "e");
    // Each rule needs something on both sides of its cut.
    EXPECT_EQ(Logger::progname_from_text("name."), "name.");
    EXPECT_EQ(Logger::progname_from_text("/top"), "/top");
    EXPECT_EQ(Logger::progname_from_text("dir/"), "dir/");
    EXPECT_EQ(Logger::find_progname(), "test_foundation");
}

TEST_F(LoggerTest, DebugFrontKeepsErrnoAndItsBacktraceSwitch) {
    LoggerArgs a;
    a.alternate_logfile = root / "no/such/dir/log";  // every open fails with ENOENT
    norvik::log::set_logger(fresh(a));
    Stdin in(false);
    Capture err(2, root / "err");
    errno = EACCES;
    EXPECT_EQ(norvik::log::log_warn("w"), 1);
    EXPECT_EQ(errno, EACCES);
    errno = EPERM;
    norvik::log::log_error("e");
    norvik::log::log_info("i");
    norvik::log::log_invalid("v");
    EXPECT_EQ(errno, EPERM);
    errno = EEXIST;
    EXPECT_THROW(norvik::log::log_die("d"), norvik::PlainError);
    EXPECT_EQ(errno, EEXIST);

    ls::set_enable_backtrace(true);
    norvik::log::log_warn_no_backtrace("no trace here");
    EXPECT_EQ(ls::enable_backtrace(), std::optional<bool>(true));
    norvik::log::log_warn("trace here");
    ls::set_enable_backtrace(std::nullopt);
    EXPECT_EQ(norvik::log::log_debug("hidden"), 0);
    norvik::log::debug_level(1);
    EXPECT_EQ(norvik::log::log_debug("shown"), 1);
    std::string e = err.text();
    EXPECT_EQ(e.find("hidden"), std::string::npos);
    EXPECT_NE(e.find("] debug [" + prog + "] shown\n"), std::string::npos) << e;
    size_t quiet = e.find("] no trace here\n"), loud = e.find("] trace here\n");
    ASSERT_NE(quiet, std::string::npos) << e;
    ASSERT_NE(loud, std::string::npos) << e;
    ASSERT_LT(quiet, loud);
    EXPECT_EQ(trace_lines(e.substr(quiet, loud - quiet)), 0u) << e;
    EXPECT_GE(trace_lines(e.substr(loud, e.find("] debug [") - loud)), 1u) << e;
}

TEST_F(LoggerTest, DebugFrontPanicWritesBothLogs) {
    Capture err(2, root / "err");
    EXPECT_THROW(norvik::log::log_panic("front panic"), norvik::PlainError);
    EXPECT_NE(err.text().find("panic [" + prog + "] front panic\n"), std::string::npos);
    EXPECT_NE(log().find("] panic [" + prog + "] front panic\n"), std::string::npos) << log();
    EXPECT_NE(panic_log().find(" panic [" + prog + "] front panic\n"), std::string::npos) << panic_log();
}

TEST_F(LoggerTest, ClosedHandleIsReopened) {
    auto lg = fresh();
    lg->raw("one\n");
    int fd = lg->get_fh();
    ASSERT_GT(fd, 2);
    ::close(fd);  // closed behind the logger's back
    EXPECT_EQ(lg->raw("two\n"), 1);
    EXPECT_EQ(log(), "one\ntwo\n");
}

// Below the panel's web service daemon the standard log is its standard
// error, which that daemon collects; another log file is still a file.
TEST_F(LoggerTest, ChildrenOfTheWebServiceDaemonLogToStandardError) {
    const std::string err_file = root / "err";
    pid_t daemon = ::fork();
    if (daemon == 0) {
        ::prctl(PR_SET_NAME, "nksrvd-worker");
        pid_t child = ::fork();
        if (child == 0) {
            int rc = 0;
            try {
                int e = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                ::dup2(e, 2);
                auto lg = fresh();
                lg->raw("to the daemon\n");
                if (!lg->usingstderr()) rc |= 1;
                LoggerArgs a;
                a.alternate_logfile = root / "own.log";
                auto own = fresh(a);
                own->raw("to its own file\n");
                if (own->usingstderr()) rc |= 2;
            } catch (...) {
                rc |= 4;
            }
            ::_exit(rc);
        }
        int st = 0;
        ::waitpid(child, &st, 0);
        ::_exit(WIFEXITED(st) ? WEXITSTATUS(st) : 8);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(daemon, &st, 0), daemon);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_EQ(norvik::test::read_file(err_file), "to the daemon\n");
    EXPECT_FALSE(norvik::test::exists(root / "usr/local/norvik/logs/error_log"));
    EXPECT_EQ(norvik::test::read_file(root / "own.log"), "to its own file\n");
    // An ordinary parent: the file.
    fresh()->raw("from the test\n");
    EXPECT_EQ(log(), "from the test\n");
}

TEST_F(LoggerTest, UseNoFilesKeepsEntriesOffTheDisk) {
    LoggerArgs a;
    a.use_no_files = true;
    a.use_stdout = true;
    auto lg = fresh(a);
    Capture out(1, root / "out");
    lg->info("terminal only");
    EXPECT_THROW(lg->panic("no panic log either"), norvik::PlainError);
    lg->invalid("nor here");
    // One entry of an ordinary logger may skip the file as well.
    norvik::LogEntry e;
    e.message = "skipped entry";
    e.level = "info";
    e.output = 1;
    e.use_no_files = true;
    LoggerArgs echoing;
    echoing.use_stdout = true;
    auto normal = fresh(echoing);
    normal->logger(e);
    normal->raw("kept\n");
    EXPECT_EQ(out.text(), "info [" + prog + "] terminal only\ninfo [" + prog + "] skipped entry\n");
    EXPECT_EQ(log(), "kept\n");
    EXPECT_FALSE(norvik::test::exists(root / "usr/local/norvik/logs/panic_log"));
}
