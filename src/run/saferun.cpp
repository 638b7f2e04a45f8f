#include "run/saferun.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>

#include "exception/exception.hpp"
#include "foundation/env.hpp"
#include "log/debug.hpp"
#include "run/reduced_privileges.hpp"
#include "run/close_fds.hpp"
#include "run/errno_names.hpp"
#include "run/fork_async.hpp"
#include "run/kill_single.hpp"
#include "run/read_multiple.hpp"
#include "run/setsid.hpp"

extern char** environ;

namespace norvik::run {
namespace {

constexpr double safekill_timeout = 1;

constexpr const char* NULL_DEVICE = "/dev/null";
constexpr const char* TMP_SUBDIR = "/tmp";

// Descriptors the runner owns for one run; closes what is left on scope exit.
struct Fds {
    std::vector<int> owned;
    int add(int fd) {
        owned.push_back(fd);
        return fd;
    }
    void close_fd(int& fd, bool warn) {
        if (fd < 0) return;
        for (auto& o : owned)
            if (o == fd) o = -1;
        if (::close(fd) != 0 && warn)
            log::log_warn("Failed to close a pipe of a subprocess: " + run::strerror_text(errno));
        fd = -1;
    }
    // Hands `fd` on to whoever closes it now.
    void release(int& fd) {
        for (auto& o : owned)
            if (o == fd) o = -1;
        fd = -1;
    }
    ~Fds() {
        for (int fd : owned)
            if (fd >= 0) ::close(fd);
    }
};

void make_pipe(int p[2]) {
    if (::pipe2(p, O_CLOEXEC) != 0) {
        int err = errno;
        exception::raise("IO::PipeError", "The system failed to create a pipe because of an error: [_1]",
                         {run::strerror_text(err)});
    }
}

// A caller's descriptor as one of our own, never 0-2, so that the child's
// own redirection of 0-2 cannot disturb it.
int dup_high(int fd) {
    int d = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (d < 0) {
        int err = errno;
        if (err == EBADF)
            throw PlainError("The given handle (descriptor " + std::to_string(fd) + ") is not an open file handle.");
        exception::raise("IO::DupError", "The system failed to duplicate a file descriptor because of an error: [_1]",
                         {run::strerror_text(err)});
    }
    return d;
}

struct PwInfo {
    uid_t uid = static_cast<uid_t>(-1);
    std::string user, home;
};

// The effective user's name and home directory (cached per uid).
const PwInfo& effective_user() {
    // Cache for the run: the effective user's entry.
    static PwInfo cached;
    uid_t euid = ::geteuid();
    if (cached.uid == euid) return cached;
    cached = PwInfo{};
    passwd pw;
    passwd* res = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(euid, &pw, buf.data(), buf.size(), &res) == 0 && res) {
        cached.user = pw.pw_name ? pw.pw_name : "";
        cached.home = pw.pw_dir ? pw.pw_dir : "";
    }
    cached.uid = euid;
    return cached;
}

std::pair<std::string, std::string> user_and_home(const Options& o) {
    std::string user = o.user.value_or("");
    std::string home = o.homedir.value_or("");
    if (user.empty() || home.empty()) {
        const auto& pw = effective_user();
        if (user.empty()) user = pw.user;
        if (home.empty()) home = pw.home;
    }
    if (user.empty() || home.empty())
        throw PlainError("The system could not determine the user name and home directory of user ID " +
                         std::to_string(::geteuid()) + ".");
    return {user, home};
}

std::string start_failure_message(const std::string& program) {
    return exception::interpolate_variables("The system failed to start the program “[_1]”", {program});
}

// Puts a signal's disposition back when the run ends.
struct SignalGuard {
    int sig;
    struct sigaction old {};
    bool changed = false;
    SignalGuard(int s, bool only_if_ignored, void (*handler)(int)) : sig(s) {
        ::sigaction(sig, nullptr, &old);
        if (only_if_ignored && old.sa_handler != SIG_IGN) return;
        struct sigaction sa {};
        sa.sa_handler = handler;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
        changed = true;
    }
    ~SignalGuard() {
        if (changed) ::sigaction(sig, &old, nullptr);
    }
};

// Signal handler state: the child being run.
std::atomic<pid_t> g_running_child{0};

// The child stays known to running_child() until it has ended: only then
// can its pid (and group id) pass to another process.
int wait_child(pid_t pid) {
    int status = 0;
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {}
    if (g_running_child.load() == pid) g_running_child.store(0);
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

using Clock = std::chrono::steady_clock;

// True once the (unreaped) child has ended, waiting up to `seconds`
// (< 0: without limit). The pidfd wakes us at once; without one, the exit is
// noticed in steps of 10 ms.
bool child_ended_within(pid_t pid, int pidfd, double seconds) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds < 0 ? 0 : seconds));
    for (;;) {
        double left = seconds < 0 ? -1 : std::chrono::duration<double>(end - Clock::now()).count();
        if (pidfd >= 0) {
            struct pollfd p {
                pidfd, POLLIN, 0
            };
            int ms = left < 0 ? -1 : static_cast<int>(left * 1000 + 0.999);
            int r = ::poll(&p, 1, ms);
            if (r > 0) return true;
            if (r == 0) return false;
            if (errno != EINTR) return false;
            continue;
        }
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (seconds >= 0 && left <= 0) return false;
        ::usleep(10000);
    }
}

// Ends the child's whole process group (what it left in the background
// too), TERM first and KILL after the grace, and reaps the child. The group
// id is the child's pid, which cannot pass to anyone else before the child
// is reaped; so every signal here goes before the wait.
int end_child_group(pid_t pid, int pidfd) {
    ::kill(-pid, SIGTERM);
    ::kill(pid, SIGTERM);
    bool ended = child_ended_within(pid, pidfd, safekill_timeout);
    ::kill(-pid, SIGKILL);
    if (!ended) ::kill(pid, SIGKILL);
    return wait_child(pid);
}

[[noreturn]] void child_fail(const std::string& text, int err) {
    std::string line = text + "\n";
    ssize_t ignored = ::write(2, line.data(), line.size());
    (void)ignored;
    run::child_exit(err ? err : run::DEFAULT_ERROR_CODE);
}

// The descriptors of one run: the child's ends (handed to it as 0-2) and
// ours (read and written while it runs).
struct ChildFds {
    int in_child = -1, in_write = -1;
    int out_child = -1, out_read = -1;
    int err_child = -1, err_read = -1;
    bool merged = false;  // the error output goes where the output goes
};

struct Limits {
    double timeout;       // overall, 0 = none
    double read_timeout;  // idle, 0 = none
};

void check_options(const Options& o) {
    if (o.program.empty()) throw PlainError("SafeRun::Object requires a program to run.");
    if (o.program.find('/') != std::string::npos && ::access(o.program.c_str(), F_OK) != 0) {
        auto e = exception::create("IO::FileNotFound", "The program “[_1]” does not exist.", {o.program});
        e->set("path", o.program);
        e->raise();
    }
    if (o.logger)
        exception::raise("InvalidParameter", "The option “[_1]” is not accepted by “[_2]”.",
                         {"logger", "Norvik::SafeRun::Object"});
    for (auto& a : o.args) {
        if (a.find('\0') != std::string::npos) {
            std::string shown;
            for (auto& b : o.args) shown += (shown.empty() ? "" : " ") + b;
            throw PlainError("An argument to “" + o.program + "” is not a valid text (arguments: " + shown + ").");
        }
    }
    int given_inputs =
        (o.stdin_fd ? 1 : 0) + (o.stdin_text ? 1 : 0) + (o.stdin_stream ? 1 : 0) + (o.stdin_callback ? 1 : 0);
    if (given_inputs > 1) throw PlainError("SafeRun::Object accepts only one kind of “stdin”.");
}

ChildFds open_outputs(const Options& o, Fds& fds) {
    ChildFds c;
    c.merged = o.merge_stderr || (o.stdout_fd && o.stderr_fd && *o.stdout_fd == *o.stderr_fd) ||
               (o.stdout_stream && o.stdout_stream == o.stderr_stream);
    if (o.stdout_fd) {
        c.out_child = fds.add(dup_high(*o.stdout_fd));
    } else {
        int p[2];
        make_pipe(p);
        c.out_read = fds.add(p[0]);
        c.out_child = fds.add(p[1]);
    }
    if (c.merged) {
        c.err_child = c.out_child;
    } else if (o.stderr_fd) {
        c.err_child = fds.add(dup_high(*o.stderr_fd));
    } else {
        int p[2];
        make_pipe(p);
        c.err_read = fds.add(p[0]);
        c.err_child = fds.add(p[1]);
    }
    return c;
}

void open_input(const Options& o, Fds& fds, ChildFds& c) {
    if (o.stdin_fd) {
        c.in_child = fds.add(dup_high(*o.stdin_fd));
    } else if (o.stdin_stream || o.stdin_callback || (o.stdin_text && !o.stdin_text->empty())) {
        int p[2];
        make_pipe(p);
        c.in_child = fds.add(p[0]);
        c.in_write = fds.add(p[1]);
    } else {
        c.in_child = ::open(NULL_DEVICE, O_RDONLY | O_CLOEXEC);
        if (c.in_child < 0) {
            int err = errno;
            exception::raise("IO::FileOpenError", "The system failed to open “[_1]” because of an error: [_2]",
                             {NULL_DEVICE, run::strerror_text(err)});
        }
        fds.add(c.in_child);
    }
}

std::vector<std::string> argv_strings(const Options& o) {
    std::vector<std::string> argv_s;
    argv_s.reserve(o.args.size() + 1);
    argv_s.push_back(o.program);
    for (auto& a : o.args) argv_s.push_back(a);
    return argv_s;
}

// A null-terminated list of pointers into `strings` (which must outlive it).
std::vector<char*> pointers_to(std::vector<std::string>& strings) {
    std::vector<char*> ptrs;
    ptrs.reserve(strings.size() + 1);
    for (auto& s : strings) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
    return ptrs;
}

// The environment a spawned child starts with.
std::vector<std::string> spawn_env(const Options& o) {
    std::vector<std::string> env_s;
    if (o.keep_env) {
        for (char** e = environ; *e; ++e) {
            std::string kv = *e;
            if (!o.extra_env.count(kv.substr(0, kv.find('=')))) env_s.push_back(std::move(kv));
        }
    } else {
        for (auto& name : foundation::safe_list()) {
            if (name == "HOME" || name == "USER" || o.extra_env.count(name)) continue;
            if (const char* v = ::getenv(name.c_str())) env_s.push_back(name + "=" + v);
        }
        auto [user, home] = user_and_home(o);
        env_s.push_back("HOME=" + home);
        env_s.push_back("USER=" + user);
        if (!::getenv("TMP") && !o.extra_env.count("TMP")) {
            env_s.push_back("TMP=" + home + TMP_SUBDIR);
            if (!o.extra_env.count("TEMP")) env_s.push_back("TEMP=" + home + TMP_SUBDIR);
        }
    }
    for (auto& [k, v] : o.extra_env) env_s.push_back(k + "=" + v);
    return env_s;
}

// The posix_spawn result: 0 with `pid` set, else the error number.
int spawn_program(const Options& o, const ChildFds& c, char* const argv[], pid_t& pid) {
    std::vector<std::string> env_s = spawn_env(o);
    std::vector<char*> envp = pointers_to(env_s);
    const bool by_path = o.program.find('/') != std::string::npos;
    return spawn_child(pid, o.program, !by_path, {{c.in_child, 0}, {c.out_child, 1}, {c.err_child, 2}}, argv,
                       envp.data(), true);
}

// The child's side of the fork path, up to the exec. A failed exec sends
// its errno through `exec_err_write` (close-on-exec, so a started program
// leaves that pipe empty).
[[noreturn]] void exec_in_child(const Options& o, const ChildFds& c, int exec_err_write, char* const argv[],
                                const std::string& start_failure) {
    try {
        struct sigaction sa {};
        sa.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &sa, nullptr);
        ::sigaction(SIGCHLD, &sa, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::dup2(c.in_child, 0) < 0 || ::dup2(c.out_child, 1) < 0 || ::dup2(c.err_child, 2) < 0)
            child_fail("Failed to set up the standard streams: " + run::strerror_text(errno), errno);
        run::fast_closefds({exec_err_write});
        if (!o.keep_env) foundation::clean_env();
        if (run::PRIVS_REDUCED()) {
            uid_t uid = ::geteuid();
            gid_t gid = ::getegid();
            run::_restore_privileges(0, 0);
            run::fast_setsid();
            if (!run::setuids(uid, gid)) child_fail("Failed to drop privileges: " + run::strerror_text(errno), errno);
        }
        if (o.before_exec) o.before_exec();
        // Its own process group, unless a new session (above, or in
        // before_exec) made one already.
        if (::getsid(0) != ::getpid()) ::setpgid(0, 0);
        auto [user, home] = user_and_home(o);
        ::setenv("HOME", home.c_str(), 0);
        ::setenv("USER", user.c_str(), 0);
        ::setenv("TMP", (home + TMP_SUBDIR).c_str(), 0);
        ::setenv("TEMP", (home + TMP_SUBDIR).c_str(), 0);
        for (auto& [k, v] : o.extra_env) ::setenv(k.c_str(), v.c_str(), 1);
        ::execvp(o.program.c_str(), argv);
        int err = errno;
        ssize_t ignored = ::write(exec_err_write, &err, sizeof err);
        (void)ignored;
        child_fail(start_failure + ": " + run::strerror_text(err), err);
    } catch (...) {  // a child after fork reports and _exits, never unwinds
        run::report_child_error(std::current_exception(), {});
        run::child_exit(errno ? errno : run::DEFAULT_ERROR_CODE);
    }
}

// Forks the child (which runs exec_in_child); returns its pid, with
// `exec_err_read` the end that tells of a failed exec.
pid_t fork_child(const Options& o, const ChildFds& c, Fds& fds, char* const argv[], const std::string& start_failure,
                 int& exec_err_read) {
    int ep[2];
    make_pipe(ep);
    exec_err_read = fds.add(ep[0]);
    int exec_err_write = fds.add(ep[1]);
    pid_t pid = ::fork();
    if (pid < 0) {
        int err = errno;
        exception::raise("IO::ForkError", "The system failed to fork a subprocess because of an error: [_1]",
                         {run::strerror_text(err)});
    }
    if (pid == 0) exec_in_child(o, c, exec_err_write, argv, start_failure);
    fds.close_fd(exec_err_write, false);
    return pid;
}

// A started child, or the posix_spawn error of one that could not be
// spawned. Only the fork path has exec_err_read, which tells of a failed
// exec.
struct Launch {
    pid_t pid = 0;
    int spawn_error = 0;
    int exec_err_read = -1;
};

// Spawns the program where nothing has to run in the child first, else
// forks.
Launch launch(const Options& o, const ChildFds& c, Fds& fds, char* const argv[], const std::string& start_failure) {
    Launch l;
    if (!o.before_exec && !run::PRIVS_REDUCED()) l.spawn_error = spawn_program(o, c, argv, l.pid);
    else l.pid = fork_child(o, c, fds, argv, start_failure, l.exec_err_read);
    return l;
}

// Makes the started child known (running_child(), after_fork); returns its
// pidfd, or -1 where the system has none.
int watch_child(const Options& o, Fds& fds, pid_t pid) {
    int pidfd = -1;
    long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) pidfd = fds.add(static_cast<int>(fd));
    g_running_child.store(pid);
    if (o.after_fork) o.after_fork(pid);
    return pidfd;
}

// Closes what only the child needed.
void close_child_ends(Fds& fds, ChildFds& c) {
    fds.close_fd(c.in_child, false);
    if (c.err_child == c.out_child) c.err_child = -1;
    fds.close_fd(c.out_child, false);
    fds.close_fd(c.err_child, false);
}

void feed_by_callback(const Options& o, Fds& fds, int& in_write) {
    try {
        o.stdin_callback(in_write);
    } catch (...) {
        fds.close_fd(in_write, false);
        throw;
    }
    fds.close_fd(in_write, true);
}

// The input as the reader feeds it; `in_write` passes to the reader, which
// closes it.
ReadMultipleFH::Input reader_input(Options& o, Fds& fds, int& in_write, const Object* run) {
    ReadMultipleFH::Input in;
    in.fd = in_write;
    if (o.stdin_text) in.text = std::move(*o.stdin_text);
    if (o.stdin_stream) {
        std::istream* is = o.stdin_stream;
        in.next_chunk = [is, run](std::string& chunk) -> bool {
            chunk.resize(Object::CHUNK_SIZE);
            is->read(chunk.data(), static_cast<std::streamsize>(Object::CHUNK_SIZE));
            chunk.resize(static_cast<size_t>(is->gcount()));
            if (is->bad()) {
                exception::raise("IO::ReadError", "The system failed to read up to [_1] bytes of input for “[_2]”.",
                                 {std::to_string(Object::CHUNK_SIZE), run->command_line()});
            }
            return !chunk.empty();
        };
    }
    fds.release(in_write);
    return in;
}

ReadMultipleFH::Options reader_options(const Options& o, const ChildFds& c, std::string* out_text,
                                       std::string* err_text, Limits limits,
                                       std::optional<ReadMultipleFH::Input> input) {
    ReadMultipleFH::Options ro;
    ro.timeout = limits.timeout;
    ro.read_timeout = limits.read_timeout;
    if (c.out_read >= 0) {
        ReadMultipleFH::Handle h{c.out_read, out_text, -1, o.stdout_stream};
        ro.filehandles.push_back(h);
    }
    if (c.err_read >= 0) {
        ReadMultipleFH::Handle h{c.err_read, err_text, -1, o.stderr_stream};
        ro.filehandles.push_back(h);
    }
    ro.input = std::move(input);
    return ro;
}

// The limit that expired, if any. The pipes being done (or there being
// none) does not end the run: the limits still hold for the child itself.
std::optional<double> limit_reached(const ReadMultipleFH& reader, Limits limits, Clock::time_point started_at,
                                    pid_t pid, int pidfd) {
    if (!reader.did_finish()) return reader.timed_out();
    const double timeout = limits.timeout;
    const double read_timeout = limits.read_timeout;
    double wait = -1;
    if (timeout > 0) wait = std::max(0.0, timeout - std::chrono::duration<double>(Clock::now() - started_at).count());
    if (read_timeout > 0 && (wait < 0 || read_timeout < wait)) wait = read_timeout;
    if (wait >= 0 && !child_ended_within(pid, pidfd, wait))
        return (read_timeout > 0 && wait == read_timeout) ? read_timeout : timeout;
    return std::nullopt;
}

// True when a failed exec sent its errno.
bool exec_error_sent(int exec_err_read) {
    int err = 0;
    ssize_t got;
    do {
        got = ::read(exec_err_read, &err, sizeof err);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof err);
}

// A child that exits or closes its input early has simply not read it
// all (its status tells the rest); any other write failure is an error.
void check_input_written(const ReadMultipleFH& reader, bool timed_out, const Object& run) {
    if (!reader.input_error() || reader.input_error() == EPIPE || timed_out) return;
    int err = reader.input_error();
    auto e = exception::create("IO::WriteError",
                               "The system failed to write [_1] bytes of input to “[_2]” because of an error: [_3]",
                               {std::to_string(reader.input_unwritten()), run.command_line(), run::strerror_text(err)});
    e->set("length", reader.input_unwritten());
    e->set("error", run::strerror_text(err));
    e->set("errno", err);
    e->raise();
}

}  // namespace

double SAFEKILL_TIMEOUT() { return safekill_timeout; }
pid_t running_child() { return g_running_child.load(); }

Object::Object(Options options) { run_child(options); }

Object Object::new_or_die(Options options) {
    Object run(std::move(options));
    run.die_if_error();
    return run;
}

void Object::run_child(Options& o) {
    check_options(o);
    const Limits limits{o.timeout.value_or(DEFAULT_TIMEOUT), o.read_timeout.value_or(DEFAULT_READ_TIMEOUT)};
    _program = o.program;
    _args = o.args;
    program_name_ = o.program;

    Fds fds;
    ChildFds c = open_outputs(o, fds);
    if (!o.stdout_fd && !o.stdout_stream) _stdout = std::make_shared<std::string>();
    if (!c.merged && !o.stderr_fd && !o.stderr_stream) _stderr = std::make_shared<std::string>();
    open_input(o, fds, c);

    // The child must stay waitable.
    SignalGuard chld(SIGCHLD, true, SIG_DFL);
    const std::string start_failure = start_failure_message(o.program);
    std::vector<std::string> argv_s = argv_strings(o);
    std::vector<char*> argv = pointers_to(argv_s);

    const Launch child = launch(o, c, fds, argv.data(), start_failure);
    const bool started = child.spawn_error == 0;
    if (started) _child_pid = child.pid;
    else record_start_failure(o, c.merged, c.err_child, child.spawn_error, start_failure);

    // The parent's side. The pidfd lets the wait for the child have a limit.
    const auto started_at = Clock::now();
    const int pidfd = started ? watch_child(o, fds, _child_pid) : -1;
    close_child_ends(fds, c);
    if (!started) {
        fds.close_fd(c.in_write, false);
        return;
    }

    // Feed the input while reading the output; a child that stopped
    // reading makes writes fail instead of ending this process.
    SignalGuard pipe_guard(SIGPIPE, false, SIG_IGN);
    std::optional<ReadMultipleFH::Input> input;
    if (c.in_write >= 0) {
        if (o.stdin_callback) {
            try {
                feed_by_callback(o, fds, c.in_write);
            } catch (...) {
                end_child_and_rethrow(pidfd);
            }
        } else {
            input = reader_input(o, fds, c.in_write, this);
        }
    }

    auto ro = reader_options(o, c, _stdout.get(), _stderr.get(), limits, std::move(input));
    std::optional<ReadMultipleFH> reader;
    try {
        reader.emplace(std::move(ro));
    } catch (...) {
        end_child_and_rethrow(pidfd);
    }
    if (c.out_read >= 0) stdout_dropped_ = reader->dropped(c.out_read);
    if (c.err_read >= 0) stderr_dropped_ = reader->dropped(c.err_read);
    fds.close_fd(c.out_read, true);
    fds.close_fd(c.err_read, true);

    _timed_out_after = limit_reached(*reader, limits, started_at, _child_pid, pidfd);
    wait_status_ = _timed_out_after ? end_child_group(_child_pid, pidfd) : wait_child(_child_pid);

    // A spawn that could not start the program has said so already;
    // an exit status of 127 is the program's own.
    if (child.exec_err_read >= 0 && exec_error_sent(child.exec_err_read)) _exec_failed = true;
    check_input_written(*reader, _timed_out_after.has_value(), *this);
}

void Object::record_start_failure(const Options& o, bool merged, int err_child, int rc,
                                  const std::string& start_failure) {
    wait_status_ = (rc & 0xff) << 8;
    _exec_failed = true;
    const std::string msg = start_failure + ": " + run::strerror_text(rc);
    if (_stdout) _stdout->clear();
    if (_stderr) {
        *_stderr = msg;
    } else if (merged && _stdout) {
        *_stdout = msg;
    } else if (std::ostream* os = merged ? o.stdout_stream : o.stderr_stream) {
        *os << msg << '\n';
        os->flush();
    } else {
        // The caller's own error handle.
        std::string line = msg + "\n";
        ssize_t ignored = ::write(err_child, line.data(), line.size());
        (void)ignored;
    }
}

void Object::end_child_and_rethrow(int pidfd) {
    wait_status_ = end_child_group(_child_pid, pidfd);
    throw;
}

const std::string& Object::stdout() const {
    if (!_stdout) {
        throw PlainError("The output of “" + command_line() + "” was not captured.\n" + exception::stack_trace(2));
    }
    return *_stdout;
}

const std::string& Object::stderr() const {
    if (!_stderr) {
        throw PlainError("The error output of “" + command_line() + "” was not captured.\n" +
                         exception::stack_trace(2));
    }
    return *_stderr;
}

std::string Object::command_line() const {
    std::string out = _program;
    for (auto& a : _args) out += " " + a;
    return out;
}

std::string Object::error_phrase() const {
    return exception::interpolate_variables(
        "“[_1]” (process [_2]) ended with exit status [_3].",
        {command_line(), std::to_string(_child_pid), std::to_string(error_code().value_or(0))});
}

std::string Object::signal_phrase() const {
    return exception::interpolate_variables(
        "“[_1]” (process [_2]) ended prematurely because it received the “[_3]” ([_4]) signal.",
        {command_line(), std::to_string(_child_pid), signal_name(), std::to_string(signal_code().value_or(0))});
}

std::vector<std::string> Object::extra_autopsy_phrases() const {
    if (!_timed_out_after) return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", *_timed_out_after);
    return {exception::interpolate_variables("The subprocess reached the time limit of [_1] seconds.", {buf})};
}

nlohmann::json Object::extra_error_args() const {
    nlohmann::json j = nlohmann::json::object();
    j["program"] = _program;
    j["args"] = _args;
    if (_child_pid) j["pid"] = _child_pid;
    j["stdout"] = _stdout ? *_stdout : std::string();
    j["stderr"] = _stderr ? *_stderr : std::string();
    if (_timed_out_after) j["timeout"] = *_timed_out_after;
    return j;
}

ExceptionPtr Object::to_exception() const {
    if (_timed_out_after) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", *_timed_out_after);
        auto e =
            exception::create("ProcessFailed::Timeout", "“[_1]” (process [_2]) reached the time limit of [_3] seconds.",
                              {command_line(), std::to_string(_child_pid), buf});
        const auto extra = extra_error_args();
        for (auto& [k, v] : extra.items()) e->set(k, v);
        return e;
    }
    return ChildErrorStringifier::to_exception();
}

const Object& Object::die_if_error() const {
    if (auto e = to_exception()) e->raise();
    return *this;
}

int spawn_child(pid_t& pid, const std::string& program, bool search_path, std::initializer_list<Dup> dups,
                char* const argv[], char* const envp[], bool own_group) {
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    for (const Dup& d : dups)
        if (d.from >= 0) posix_spawn_file_actions_adddup2(&fa, d.from, d.to);
    // Nothing this program holds open (even a descriptor inherited without
    // close-on-exec) reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    sigset_t def, none;
    sigemptyset(&def);
    sigaddset(&def, SIGPIPE);
    sigaddset(&def, SIGCHLD);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setsigmask(&attr, &none);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (own_group) {
        posix_spawnattr_setpgroup(&attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attr, flags);
    int rc = search_path ? ::posix_spawnp(&pid, program.c_str(), &fa, &attr, argv, envp)
                         : ::posix_spawn(&pid, program.c_str(), &fa, &attr, argv, envp);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return rc;
}

}  // namespace norvik::run
