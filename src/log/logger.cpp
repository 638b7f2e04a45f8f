#include "log/logger.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "exception/exception.hpp"
#include "foundation/open_file.hpp"
#include "foundation/journal_stream.hpp"
#include "foundation/paths.hpp"
#include "foundation/clock.hpp"
#include "foundation/state_file.hpp"
#include "log/debug.hpp"

namespace norvik {

int open_log_for_append(const std::string& path, mode_t perms) {
    // No link is followed, a FIFO never blocks the run, and a log someone
    // else owns or has linked elsewhere is replaced. The warnings go straight
    // to standard error: the usual sink may lead back here.
    auto to_stderr = [](const std::string& text) {
        const std::string line = "Warning: " + text + "\n";
        ssize_t ignored = ::write(2, line.data(), line.size());
        (void)ignored;
    };
    // Its folder is made by make_logs_dir, never here.
    const int fd = foundation::open_file(path, O_WRONLY | O_APPEND | O_CREAT, perms, std::nullopt, to_stderr);
    if (fd < 0 && errno == ELOOP) {
        const int err = errno;
        struct stat st {};
        const bool itself = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
        to_stderr(itself ? "the log “" + path + "” is a symbolic link; nothing is written to it."
                         : "a folder above the log “" + path + "” is a symbolic link; nothing is written to it.");
        errno = err;
    }
    return fd;
}

int make_logs_dir() {
    const int fd = foundation::open_dir(foundation::logs_dir(), mode_t{0700});
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

namespace {

constexpr mode_t kLogPerms = 0600;
constexpr const char* kDefaultSignature = "__DEFAULT__";
constexpr const char* kPlaceholderMessage = "Something is wrong";

struct Settings {
    std::optional<bool> enable_backtrace;
    bool disable_output = false;
    bool always_output_to_stderr = false;
    std::optional<bool> sandbox;
    std::optional<bool> smoker;
    pid_t progname_pid = 0;
    std::string progname;
};

Settings& settings() {
    // Run-wide logger settings (sandbox, program name), set once by the driver.
    static Settings s;
    return s;
}

std::map<std::string, std::shared_ptr<Logger>>& stash() {
    // Loggers kept by name so that every module writes through the same one.
    static std::map<std::string, std::shared_ptr<Logger>> s;
    return s;
}

bool file_exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool write_all(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Whether an ancestor of this process is the panel's web service daemon;
// its children log to standard error, which that daemon collects.
bool is_subprocess_of_nksrvd() {
    pid_t pid = ::getppid();
    for (int depth = 0; pid > 1 && depth < 64; ++depth) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
        int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        char buf[512];
        ssize_t n = ::read(fd, buf, sizeof buf - 1);
        ::close(fd);
        if (n <= 0) return false;
        buf[n] = '\0';
        char* open_paren = std::strchr(buf, '(');
        char* close_paren = std::strrchr(buf, ')');
        if (!open_paren || !close_paren || close_paren < open_paren) return false;
        std::string comm(open_paren + 1, close_paren);
        if (comm.rfind("nksrvd", 0) == 0) return true;
        // ") S ppid ..."
        int ppid = 0;
        if (std::sscanf(close_paren + 1, " %*c %d", &ppid) != 1) return false;
        pid = ppid;
    }
    return false;
}

std::string progname_from(std::string name) {
    std::size_t slash = name.rfind('/');
    if (slash != std::string::npos && slash > 0 && slash + 1 < name.size()) name = name.substr(slash + 1);
    std::size_t dot = name.find('.');
    if (dot != std::string::npos && dot + 1 < name.size()) name.erase(dot);
    std::size_t space = name.find(' ');
    if (space != std::string::npos) name.erase(space);
    return name;
}

LogEntry make_entry(const std::string& msg, const char* level, int output, bool backtrace) {
    LogEntry e;
    e.message = msg;
    e.level = level;
    e.output = output;
    e.backtrace = backtrace;
    return e;
}

}  // namespace

std::map<std::string, std::string> LoggerArgs::to_map() const {
    std::map<std::string, std::string> m;
    if (open_now) m["open_now"] = "1";
    if (use_no_files) m["use_no_files"] = "1";
    if (alternate_logfile) m["alternate_logfile"] = *alternate_logfile;
    if (log_pid) m["log_pid"] = "1";
    if (timestamp_prefix) m["timestamp_prefix"] = "1";
    if (use_stdout) m["use_stdout"] = "1";
    if (backtrace) m["backtrace"] = *backtrace ? "1" : "0";
    if (no_load_from_cache) m["no_load_from_cache"] = "1";
    return m;
}

std::shared_ptr<Logger> Logger::create(const LoggerArgs& args) {
    if (args.open_now && args.use_no_files)
        throw PlainError("A logger cannot both open its log file now and use no files.");
    auto m = args.to_map();
    m.erase("no_load_from_cache");
    std::string signature;
    if (m.empty()) {
        signature = kDefaultSignature;
    } else {
        for (const auto& [k, v] : m) {
            if (!signature.empty()) signature += ',';
            signature += k + "=>" + v;
        }
    }
    auto& s = stash();
    std::shared_ptr<Logger> lg;
    auto it = s.find(signature);
    if (it != s.end() && !args.no_load_from_cache) {
        lg = it->second;
        ++lg->cloned_;
    } else {
        lg = std::shared_ptr<Logger>(new Logger(args));
        s[signature] = lg;
        if (args.open_now && !args.use_no_files) lg->open_logfile();
    }
    const auto& eb = settings().enable_backtrace;
    if (eb) lg->backtrace_ = *eb;
    else if (lg->args_.backtrace) lg->backtrace_ = *lg->args_.backtrace;
    else lg->backtrace_ = file_exists(foundation::log_trace_touch_file());
    return lg;
}

void Logger::clear_singleton_stash() { stash().clear(); }

Logger::Logger(const LoggerArgs& args) : args_(args) {}

Logger::~Logger() {
    if (own_fh_ && log_fh_ > 2) ::close(log_fh_);
}

bool Logger::get_backtrace() const {
    const auto& eb = settings().enable_backtrace;
    return eb ? *eb : backtrace_;
}

std::string Logger::backtrace(const std::string& text) const {
    std::string trace = exception::stack_trace(1);
    std::string kept;
    std::size_t start = 0;
    while (start < trace.size()) {
        std::size_t nl = trace.find('\n', start);
        std::string line = trace.substr(start, nl == std::string::npos ? std::string::npos : nl - start + 1);
        start = nl == std::string::npos ? trace.size() : nl + 1;
        // Leave out this logger's own frames and those of the debug front.
        if (line.find("norvik6Logger") != std::string::npos || line.find("norvik3log") != std::string::npos) continue;
        kept += line;
    }
    std::string out = text;
    if (out.empty() || out.back() != '\n') out += '\n';
    return out + kept;
}

int Logger::set_fh(int fd) {
    if (own_fh_ && log_fh_ > 2 && log_fh_ != fd) ::close(log_fh_);
    log_fh_ = fd;
    own_fh_ = false;
    fell_back_ = false;
    usingstderr_ = fd == 2;
    return 1;
}

bool Logger::have_usable_fh() const { return log_fh_ >= 0 && ::fcntl(log_fh_, F_GETFD) != -1; }

void Logger::open_logfile() {
    // The standard log is looked up at each open, so that a changed root
    // (tests) is followed.
    const std::string file = args_.alternate_logfile ? *args_.alternate_logfile : foundation::error_log();
    opened_root_ = foundation::root();
    int fd = -1;
    if (!(file == foundation::error_log() && is_subprocess_of_nksrvd())) fd = open_log_for_append(file, kLogPerms);
    // A handle closed behind our back may have given its number to the new
    // one: never close that.
    if (own_fh_ && log_fh_ > 2 && log_fh_ != fd) ::close(log_fh_);
    if (fd < 0) {
        log_fh_ = 2;
        own_fh_ = false;
        fell_back_ = true;
        usingstderr_ = true;
    } else {
        log_fh_ = fd;
        own_fh_ = true;
        fell_back_ = false;
        usingstderr_ = false;
    }
}

void Logger::redirect_stderr_to_error_log() {
    int fd = open_log_for_append(foundation::error_log(), kLogPerms);
    if (fd < 0) return;
    ::dup2(fd, 2);
    ::close(fd);
}

int Logger::write_message(const LogEntry& entry, const std::string& plain) {
    int status = 1;
    int out = entry.output.value_or(0);
    // A stream that is the journal gets the line's priority in front.
    const int priority = foundation::priority_of(entry.level);
    auto text = [&](int fd) { return foundation::journal_prefix(fd, priority) + plain; };
    if (out == 3) {
        if (!write_all(1, text(1))) status = 0;
        if (!write_all(2, text(2))) status = 0;
    } else if (out == 1) {
        if (args_.use_stdout || ::isatty(1)) {
            if (!write_all(1, text(1))) status = 0;
        }
    } else if (out == 2) {
        if (!write_all(2, text(2))) status = 0;
    }
    return status;
}

int Logger::logger(const std::string& text) {
    LogEntry e;
    e.message = text;
    return logger(std::move(e));
}

int Logger::logger(LogEntry entry) {
    if (entry.message.empty()) entry.message = kPlaceholderMessage;
    if (!entry.backtrace) entry.backtrace = get_backtrace();
    if (entry.service.empty()) entry.service = find_progname();
    if (settings().disable_output || !entry.output) entry.output = 0;

    int status = 1;
    std::string msg_bt = *entry.backtrace ? backtrace(entry.message) : entry.message + "\n";
    std::string stamp;
    std::string line;
    const std::string pid = std::to_string(::getpid());
    if (entry.level == "raw") {
        line = entry.message;
    } else {
        stamp = foundation::localtime2timestamp();
        line = "[" + stamp + "] " + entry.level + " [" + entry.service + "]";
        if (args_.log_pid) line += " [" + pid + "]";
        line += " " + msg_bt;
    }

    if (!entry.use_no_files && !args_.use_no_files) {
        int fd;
        if (settings().always_output_to_stderr) {
            fd = 2;
        } else {
            // A handle given through set_fh is kept; one this logger chose
            // (its file, or standard error when that failed) follows the root.
            if (!have_usable_fh() ||
                (!args_.alternate_logfile && (own_fh_ || fell_back_) && opened_root_ != foundation::root()))
                open_logfile();
            fd = log_fh_;
        }
        if (!write_all(fd, line)) status = 0;
        if (entry.level == "panic" || entry.level == "invalid" || entry.level == "deprecated") {
            int pfd = open_log_for_append(foundation::panic_log(), kLogPerms);
            if (pfd >= 0) {
                write_all(pfd, stamp + " " + entry.level + " [" + entry.service + "] " + msg_bt);
                ::close(pfd);
            }
        }
    }

    if (*entry.output != 0) {
        std::string text;
        if (entry.use_fullmsg) {
            text = line;
        } else {
            text = entry.level + " [" + entry.service + "] " + entry.message + "\n";
            if (args_.timestamp_prefix) {
                if (stamp.empty()) stamp = foundation::localtime2timestamp();
                text = "[" + stamp + "] " + text;
            }
        }
        if (!write_message(entry, text)) status = 0;
    }

    if (entry.die || entry.level == "die" || entry.level == "panic")
        throw PlainError(entry.level + " [" + pid + "] " + entry.message);
    return status;
}

int Logger::info(const std::string& msg) {
    LogEntry e = make_entry(msg, "info", args_.open_now ? 0 : 1, false);
    return logger(std::move(e));
}

int Logger::warn(const std::string& msg) {
    return logger(make_entry(msg, "warn", ::isatty(0) ? 2 : 0, get_backtrace()));
}

int Logger::error(const std::string& msg) {
    return logger(make_entry(msg, "error", ::isatty(0) ? 2 : 0, get_backtrace()));
}

void Logger::die(const std::string& msg) {
    logger(make_entry(msg, "die", ::isatty(0) ? 2 : 0, get_backtrace()));
    throw PlainError(msg);  // not reached: the die level throws
}

void Logger::panic(const std::string& msg) {
    logger(make_entry(msg, "panic", 2, get_backtrace()));
    throw PlainError(msg);  // not reached: the panic level throws
}

int Logger::raw(const std::string& msg) { return logger(make_entry(msg, "raw", 0, false)); }

int Logger::invalid(const std::string& msg) {
    bool sandbox = is_sandbox();
    LogEntry e = make_entry(msg, "invalid", sandbox ? (::isatty(2) ? 2 : 1) : 0, get_backtrace());
    int status = logger(e);
    if (sandbox && !file_exists(foundation::sandbox_no_notify_marker())) notify("invalid", e);
    return status;
}

int Logger::deprecated(const std::string& msg) {
    bool sandbox = is_sandbox();
    LogEntry e = make_entry(msg, "deprecated", sandbox ? (::isatty(2) ? 2 : 1) : 0, get_backtrace());
    int status = logger(e);
    if (!sandbox) return status;
    if (!file_exists(foundation::sandbox_no_notify_marker())) notify("deprecated", e);
    throw PlainError("deprecated [" + std::to_string(::getpid()) + "] " + msg);
}

namespace {
// Digits, optionally with one fractional part; by hand, since a regular
// expression recurses per character of a long text.
bool is_plain_number(const std::string& t) {
    const size_t dot = t.find('.');
    auto digits = [](std::string_view v) {
        return !v.empty() && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (dot == std::string::npos) return digits(t);
    return digits(std::string_view(t).substr(0, dot)) && digits(std::string_view(t).substr(dot + 1));
}
}  // namespace

std::optional<LogEntry> Logger::debug(const std::string& msg, const DebugOptions& options) {
    auto level = norvik::log::debug_level();
    if (!options.force && !(level && *level)) return std::nullopt;
    std::string text = msg;
    if (text.empty()) text = "debug() called with an empty message";
    else if (is_plain_number(text)) text = "The number is: " + text;
    LogEntry e = make_entry(text, "debug", options.output, options.backtrace);
    logger(e);
    return e;
}

void Logger::notify(const std::string& call, const LogEntry& entry) {
    // No notification system is linked in: the fallback is a warning.
    std::string service = entry.service.empty() ? find_progname() : entry.service;
    std::string text = foundation::localtime2timestamp() + " [" + service + "] " + backtrace(entry.message);
    std::string subject =
        entry.subject.empty() ? "Notification of type “" + call + "” from “" + service + "”" : entry.subject;
    write_all(2, "warning: " + subject + "\n" + text);
}

std::string Logger::find_progname() {
    auto& s = settings();
    pid_t pid = ::getpid();
    if (s.progname_pid == pid && !s.progname.empty()) return s.progname;
    std::string name = program_invocation_name ? program_invocation_name : "";
    if (name.empty()) name = "norvik";
    s.progname = progname_from(name);
    s.progname_pid = pid;
    return s.progname;
}

std::string Logger::progname_from_text(const std::string& invoked) { return progname_from(invoked); }

bool Logger::is_sandbox() {
    auto& s = settings();
    if (!s.sandbox) s.sandbox = file_exists(foundation::sandbox_marker());
    return *s.sandbox;
}

bool Logger::is_smoker() {
    auto& s = settings();
    if (!s.smoker) s.smoker = file_exists(foundation::smoker_marker());
    return *s.smoker;
}

Logger& logger() {
    // Keeps the current logger alive for the reference handed out.
    static std::shared_ptr<Logger> keep;
    keep = Logger::create();
    return *keep;
}

int nklog(const std::string& msg, const std::string& level, const std::string& service, bool nostdout) {
    const auto& eb = settings().enable_backtrace;
    LogEntry e = make_entry(msg, "", nostdout ? 0 : 1, eb ? *eb : file_exists(foundation::log_trace_touch_file()));
    e.level = level;
    e.service = service;
    return logger().logger(std::move(e));
}

namespace log {
void set_enable_backtrace(std::optional<bool> value) { settings().enable_backtrace = value; }
std::optional<bool> enable_backtrace() { return settings().enable_backtrace; }
void set_disable_output(bool value) { settings().disable_output = value; }
bool disable_output() { return settings().disable_output; }
void set_always_output_to_stderr(bool value) { settings().always_output_to_stderr = value; }
bool always_output_to_stderr() { return settings().always_output_to_stderr; }
void reset_caches() {
    settings().sandbox.reset();
    settings().smoker.reset();
    settings().progname_pid = 0;
}
}  // namespace log

}  // namespace norvik
