#include "initd/startup_log.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "exception/exception.hpp"
#include "foundation/child_status.hpp"
#include "foundation/state_file.hpp"
#include "foundation/io_error.hpp"
#include "log/logger.hpp"
#include "proc/family.hpp"
#include "initd/scripts.hpp"
#include "systemd/units.hpp"
#include "initd/service_log.hpp"
#include "run/close_fds.hpp"
#include "run/fork_async.hpp"
#include "run/fork_sync.hpp"
#include "run/saferun.hpp"
#include "run/setsid.hpp"

namespace norvik::initd {

namespace {

// Restores errno when the call is over, whatever happened.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

private:
    int saved_;
};

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// argv for exec: the path is also the program name.
std::vector<char*> exec_argv(const std::string& path, const std::vector<std::string>& args) {
    std::vector<char*> v;
    v.reserve(args.size() + 2);
    v.push_back(const_cast<char*>(path.c_str()));
    for (const auto& a : args) v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

// In a forked child: standard streams onto the log (error output first),
// input from the null device, nothing else inherited but `keep`.
void redirect_child_streams(int log_fd, const std::vector<int>& keep) {
    ::dup2(log_fd, 2);
    ::dup2(log_fd, 1);
    int in = ::open(STARTUP_STDIN, O_RDONLY);
    if (in >= 0 && in != 0) {
        ::dup2(in, 0);
        ::close(in);
    }
    run::fast_closefds(keep);
}

bool is_executable_plain_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

void write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// In the intermediate of a waited-for start: the worker, set up as
// redirect_child_streams does, with the signals a fresh program expects.
// Its pid, or the system error negated once the log says why it failed.
pid_t spawn_logged_worker(const std::string& path, int log_fd, const std::vector<std::string>& args) {
    Fd in(::open(STARTUP_STDIN, O_RDONLY | O_CLOEXEC));
    auto argv = exec_argv(path, args);
    pid_t pid = 0;
    int rc = run::spawn_child(pid, path, false, {{log_fd, 2}, {log_fd, 1}, {in.get(), 0}}, argv.data(), environ);
    if (rc == 0) return pid;
    std::string msg = "The system failed to execute “" + path + "” because of an error: " + std::strerror(rc) + "\n";
    write_all(log_fd, msg.data(), msg.size());
    return -rc;
}

std::shared_ptr<Logger>& mkdir_logger() {
    // The logger that reports a failed log-directory creation, built once.
    static std::shared_ptr<Logger> lg;
    return lg;
}

}  // namespace

void _mkdir_or_log_failure(const std::string& dir) {
    const int fd = foundation::open_dir(dir, 0700);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    const int err = errno;
    if (!mkdir_logger()) mkdir_logger() = Logger::create();
    mkdir_logger()->warn("The system failed to create the directory “" + dir +
                         "” because of an error: " + std::strerror(err));
}

namespace {
std::string startup_log_path(const std::string& service_name) {
    return initd::STARTUP_LOG_DIR() + "/" + initd::get_service_name_from_legacy_name(service_name);
}
}  // namespace

void trim_startup_log(const std::string& service_name) {
    Fd log(foundation::open_file(startup_log_path(service_name), O_RDWR, 0600, std::nullopt));
    struct stat st {};
    if (log.get() < 0 || ::fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= STARTUP_LOG_MAX_BYTES)
        return;
    // The tail moves to the front in pieces, so memory stays small whatever
    // the size; reading on to the end takes along what a daemon that still
    // holds the log adds meanwhile.
    char buf[65536];
    off_t from = st.st_size - STARTUP_LOG_MAX_BYTES;
    ssize_t n = ::pread(log.get(), buf, sizeof buf, from);
    if (n <= 0) return;
    if (const void* nl = std::memchr(buf, '\n', static_cast<size_t>(n))) from += static_cast<const char*>(nl) - buf + 1;
    off_t to = 0;
    bool moving = true;
    while (moving) {
        n = ::pread(log.get(), buf, sizeof buf, from);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::pwrite(log.get(), buf + done, static_cast<size_t>(n - done), to);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                moving = false;  // what has moved is whole text: the log ends there
                break;
            }
            done += w;
            to += w;
        }
        from += n;
    }
    if (::ftruncate(log.get(), to) != 0) {
        // Nothing better to do: the log stays longer than it should.
    }
}

int _open_startup_log(const std::string& service_name, LogMode mode) {
    validate_filesystem_node_name_or_die(service_name);
    const std::string path = startup_log_path(service_name);
    // No link is followed, nothing but a plain file of root's is written to
    // (a planted FIFO must not block the start either), and it is emptied
    // only once checked.
    int flags = O_WRONLY | O_CREAT | O_APPEND;
    if (mode == LogMode::Wipe) flags |= O_TRUNC;
    const char* mode_word = mode == LogMode::Wipe ? ">" : ">>";
    int fd = foundation::open_file(path, flags, 0600, 0700);
    int err = errno;
    if (fd < 0) {
        foundation::raise_io_error(
            "IO::FileOpenError", "The system failed to open the file “[_1]” for “[_2]” because of an error: [_3]",
            {path, mode_word, foundation::error_text(err)}, {{"path", path}, {"mode", mode_word}}, err);
    }
    return fd;
}

pid_t _start_as_daemon(const std::string& path, int start_log_fd, const std::vector<std::string>& args) {
    run::ForkSync fs([&]() -> nlohmann::json {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0)
            throw PlainError(std::string("The system failed to create a pipe because of an error: ") +
                             std::strerror(errno));
        pid_t child = run::do_in_child([&] {
            ::close(p[0]);
            // A daemon of its own: no terminal, no session of ours.
            ::setsid();
            redirect_child_streams(start_log_fd, {p[1]});
            auto argv = exec_argv(path, args);
            ::execv(path.c_str(), argv.data());
            int e = errno;
            unsigned char byte = static_cast<unsigned char>(e > 255 ? 255 : e);
            write_all(p[1], reinterpret_cast<const char*>(&byte), 1);
            run::child_exit(e);
        });
        ::close(p[1]);
        unsigned char byte = 0;
        ssize_t n;
        do {
            n = ::read(p[0], &byte, 1);
        } while (n < 0 && errno == EINTR);
        ::close(p[0]);
        if (n == 1) {
            // The exec failed: the child is ending, reap it here.
            int st = 0;
            while (::waitpid(child, &st, 0) < 0 && errno == EINTR) {}
            return nlohmann::json{{"error", static_cast<int>(byte)}, {"path", path}};
        }
        return nlohmann::json(child);
    });
    if (fs.had_error()) {
        std::string text = fs.exception();
        if (text.empty()) text = "The system failed to start “" + path + "”.";
        throw PlainError(text);
    }
    nlohmann::json v = fs.return_value();
    if (v.is_object()) {
        int err = v.value("error", 0);
        foundation::raise_io_error("IO::ExecError", "The system failed to execute “[_1]” because of an error: [_2]",
                                   {path, foundation::error_text(err)}, {{"path", path}}, err);
    }
    if (!v.is_number_integer()) throw PlainError("The system failed to start “" + path + "”.");
    return v.get<pid_t>();
}

pid_t _start_capture_and_wait(const std::string& path, int start_log_fd, const std::vector<std::string>& args,
                              double timeout, bool* timed_out) {
    if (timed_out) *timed_out = false;
    if (!is_executable_plain_file(path)) {
        set_child_status(2 << 8);
        return 0;
    }
    run::SetsidOptions o;
    o.keep_parent = true;
    o.timeout = timeout;
    // A command past its limit takes its whole session with it, whatever
    // process groups it made inside.
    o.on_timeout = [](pid_t session) { proc::end_members(proc::session_members(session), SESSION_END_GRACE); };
    o.spawn_worker = [&] { return spawn_logged_worker(path, start_log_fd, args); };
    pid_t pid = run::full_daemonize(o);
    if (timed_out) *timed_out = run::last_wait_timed_out();
    return pid;
}

pid_t logged_startup(const std::string& service, bool wipe, const std::vector<std::string>& cmd,
                     const LoggedStartupOptions& options) {
    ErrnoKeeper keep_errno;
    _mkdir_or_log_failure(initd::STARTUP_LOG_DIR());
    if (cmd.empty()) throw PlainError("logged_startup needs a program to run.");
    const std::string& path = cmd.front();
    const std::vector<std::string> args(cmd.begin() + 1, cmd.end());

    if (options.started_by_init && systemd::has_service_via_systemd(service)) {
        // systemd started us for its unit: become the service, systemd keeps the output.
        auto argv = exec_argv(path, args);
        ::execv(path.c_str(), argv.data());
    }

    Fd log;
    bool own_log = true;
    try {
        if (!wipe) trim_startup_log(service);
        log.reset(_open_startup_log(service, wipe ? LogMode::Wipe : LogMode::Append));
    } catch (const PlainError&) {
        throw;  // an invalid service name never gets a fallback
    } catch (const std::exception& e) {
        // Said in the log: otherwise a failed start would have no output to show.
        if (!mkdir_logger()) mkdir_logger() = Logger::create();
        mkdir_logger()->warn("The startup log of “" + service + "” is not used: " + exception::get_string(e));
        int fd = ::open(STARTUP_LOG_FALLBACK, O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            throw PlainError(std::string("The system failed to open the startup log fallback because of an error: ") +
                             std::strerror(errno));
        log.reset(fd);
        own_log = false;
    }
    if (!options.wait) return _start_as_daemon(path, log.get(), args);
    pid_t pid = _start_capture_and_wait(path, log.get(), args, options.timeout, options.timed_out);
    if (own_log) trim_startup_log(service);
    return pid;
}

std::optional<int> run_in_session(const std::vector<std::string>& cmd, double timeout, std::string* output_head,
                                  bool* timed_out) {
    if (cmd.empty()) throw PlainError("run_in_session needs a program to run.");
    Fd out(::memfd_create("norvik-output", MFD_CLOEXEC));
    if (out.get() < 0)
        throw PlainError(std::string("The system failed to create a buffer because of an error: ") +
                         std::strerror(errno));
    const std::vector<std::string> args(cmd.begin() + 1, cmd.end());
    if (!_start_capture_and_wait(cmd.front(), out.get(), args, timeout, timed_out)) return std::nullopt;
    const int status = child_status();
    if (output_head) {
        char buf[4096];
        ssize_t n = ::pread(out.get(), buf, sizeof buf, 0);
        output_head->assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return status;
}

int append_to_startup_log(const std::string& real_service_name, const std::string& msg) {
    validate_filesystem_node_name_or_die(real_service_name);
    if (msg.empty()) return 1;
    _mkdir_or_log_failure(initd::STARTUP_LOG_DIR());
    Fd log(_open_startup_log(real_service_name, LogMode::Append));
    const char* p = msg.data();
    size_t n = msg.size();
    while (n > 0) {
        ssize_t w = ::write(log.get(), p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            throw PlainError("The system failed to write to the startup log of “" + real_service_name +
                             "” because of an error: " + std::strerror(errno));
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    trim_startup_log(real_service_name);
    return 1;
}

std::string fetch_startup_log(const std::string& real_service_name) {
    validate_filesystem_node_name_or_die(real_service_name);
    auto [ok, text] = initd::fetch_service_startup_log(real_service_name);
    return ok ? text : std::string();
}

pid_t nooutputsystem(const std::vector<std::string>& command_words) {
    std::vector<std::string> words = command_words;
    while (!words.empty() && words.back().empty()) words.pop_back();
    std::vector<std::string> cmd;
    for (const auto& w : words) {
        size_t pos = 0;
        while (pos <= w.size()) {
            size_t sp = w.find(' ', pos);
            std::string piece = w.substr(pos, sp == std::string::npos ? std::string::npos : sp - pos);
            if (!piece.empty()) cmd.push_back(piece);
            if (sp == std::string::npos) break;
            pos = sp + 1;
        }
    }
    if (cmd.empty()) {
        set_child_status(1 << 8);
        return 0;
    }
    run::SetsidOptions o;
    o.keep_parent = true;
    pid_t pid = run::full_daemonize(o);
    if (pid != 0) return pid;
    run::fast_closefds({});
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        ::dup2(null_fd, 0);
        ::dup2(null_fd, 1);
        ::dup2(null_fd, 2);
        if (null_fd > 2) ::close(null_fd);
    }
    std::vector<char*> argv;
    for (auto& c : cmd) argv.push_back(const_cast<char*>(c.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    run::child_exit(1);
}

}  // namespace norvik::initd
