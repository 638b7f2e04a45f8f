// The diagnostic log: one decorated line per entry in the standard log file,
// optionally echoed to stdout/stderr, with a panic log for the gravest
// entries. Loggers are shared: the same arguments give the same object.
//
//   norvik::logger().warn("text");                 // the default logger
//   auto lg = norvik::Logger::create({.log_pid = true});
//   lg->info("text");
//
// File line:  [2026-12-08 23:01:02 +0000] warn [restartsrv_exim] text
// die() and panic() throw norvik::PlainError after logging.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace norvik {

struct LoggerArgs {
    bool open_now = false;
    bool use_no_files = false;
    std::optional<std::string> alternate_logfile;
    bool log_pid = false;
    bool timestamp_prefix = false;
    bool use_stdout = false;
    std::optional<bool> backtrace;
    bool no_load_from_cache = false;

    // The constructor arguments that were given, for the sharing signature.
    std::map<std::string, std::string> to_map() const;
};

struct LogEntry {
    std::string message;
    std::string level;              // "info", "warn", "error", "die", "panic", "raw", ...
    std::optional<int> output;      // 0 none, 1 stdout, 2 stderr, 3 both (default 0)
    std::optional<bool> backtrace;  // default: get_backtrace()
    std::string service;            // default: find_progname()
    bool die = false;               // throw after logging
    bool use_no_files = false;
    bool use_fullmsg = false;
    std::string subject;
};

struct DebugOptions {
    bool force = false;
    bool backtrace = false;
    int output = 1;
};

class Logger {
public:
    // The shared logger for these arguments ("new"). open_now together with
    // use_no_files throws a PlainError.
    static std::shared_ptr<Logger> create(const LoggerArgs& args = {});
    static void clear_singleton_stash();

    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Each returns 1 on success, 0 when a write failed.
    int info(const std::string& msg);
    int warn(const std::string& msg);
    int error(const std::string& msg);
    [[noreturn]] void die(const std::string& msg);
    [[noreturn]] void panic(const std::string& msg);
    int raw(const std::string& msg);
    int invalid(const std::string& msg);
    int deprecated(const std::string& msg);  // throws inside a sandbox
    std::optional<LogEntry> debug(const std::string& msg, const DebugOptions& options = {});

    int logger(LogEntry entry);
    int logger(const std::string& text);

    bool get_backtrace() const;
    // The text with a backtrace of the caller appended.
    std::string backtrace(const std::string& text) const;
    int get_fh() const { return log_fh_; }
    int set_fh(int fd);
    // Reopens standard error on the standard log file (append).
    void redirect_stderr_to_error_log();
    void notify(const std::string& call, const LogEntry& entry);

    static std::string find_progname();
    // The program name rules applied to an invocation text
    // ("/usr/local/norvik/bin/restartsrv_exim.pl arg" -> "restartsrv_exim").
    static std::string progname_from_text(const std::string& invoked);
    static bool is_sandbox();
    static bool is_smoker();

    const LoggerArgs& args() const { return args_; }
    int cloned() const { return cloned_; }
    bool usingstderr() const { return usingstderr_; }

private:
    explicit Logger(const LoggerArgs& args);
    void open_logfile();
    int write_message(const LogEntry& entry, const std::string& text);
    bool have_usable_fh() const;

    LoggerArgs args_;
    bool backtrace_ = false;
    int log_fh_ = -1;
    bool own_fh_ = false;
    bool usingstderr_ = false;
    bool fell_back_ = false;  // on standard error because the log could not be opened
    int cloned_ = 0;
    std::string opened_root_;
};

// Opens a log to append to (created with `perms` when missing). A symbolic
// link at the path is never followed: the open fails (ELOOP) and a warning
// naming the path goes to standard error. Close-on-exec; -1 on failure.
int open_log_for_append(const std::string& path, mode_t perms);

// Makes the panel's log directory (0700) where it is missing: 0, else the
// errno. A log that cannot have its directory goes to standard error.
int make_logs_dir();

// The default shared logger (Logger::create() with no arguments).
Logger& logger();

// A log entry at `level` through the default logger; echoed to stdout unless
// nostdout.
int nklog(const std::string& msg, const std::string& level = "info", const std::string& service = "",
          bool nostdout = false);

// Process-wide switches.
namespace log {
// When set, overrides every logger's backtrace setting.
void set_enable_backtrace(std::optional<bool> value);
std::optional<bool> enable_backtrace();
// When true, nothing is echoed to the terminal streams.
void set_disable_output(bool value);
bool disable_output();
// When true, file entries go to standard error instead.
void set_always_output_to_stderr(bool value);
bool always_output_to_stderr();
// Forget the cached sandbox/smoker answers and program name (tests).
void reset_caches();
}  // namespace log

}  // namespace norvik
