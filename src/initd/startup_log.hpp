// The per-service startup log: a command's standard output and standard
// error land in <startup-log dir>/<log name>, whether it is started
// detached (a daemon) or waited for.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace norvik::initd {

// Output of the started command when its startup log cannot be opened.
inline constexpr const char* STARTUP_LOG_FALLBACK = "/dev/null";
// The startup log keeps at most its last this many bytes (cut at a line
// start): trimmed after every waited-for command and before every start.
inline constexpr off_t STARTUP_LOG_MAX_BYTES = 4 * 1024 * 1024;
// Standard input of every started command.
inline constexpr const char* STARTUP_STDIN = "/dev/null";

// Seconds a script's session gets to end on TERM after its time limit,
// before KILL.
inline constexpr double SESSION_END_GRACE = 5;

struct LoggedStartupOptions {
    bool wait = false;  // run and wait instead of detaching
    // With wait: the time limit in seconds (0: none). At the limit every
    // process of the command's session is ended (TERM, SESSION_END_GRACE,
    // KILL) and *timed_out, when given, is set.
    double timeout = 0;
    bool* timed_out = nullptr;
    // The init system runs us for this service's unit: become the service
    // (exec in place) and leave the output to it.
    bool started_by_init = false;
};

// Starts cmd (program path first) with its output in the service's startup
// log (fresh with `wipe`, else appended). Detached: the daemon's pid, or
// raises "IO::ExecError" (params error = errno, path) when the exec fails.
// Waited for: the intermediate's pid with norvik::child_status() holding
// the command's status; 0 (and status 512) when the program is not an
// executable plain file. Started by systemd (parent 1) for a systemd unit,
// the program becomes the command and does not return. errno is kept.
pid_t logged_startup(const std::string& service, bool wipe, const std::vector<std::string>& cmd,
                     const LoggedStartupOptions& options = {});

// Runs cmd the way a waited-for start runs (its own session, the time
// limit, ended with the run on TERM) with its output kept aside instead of
// logged: the wait status, or nothing when the program cannot be run.
// `output_head` gets the first bytes of what it printed.
std::optional<int> run_in_session(const std::vector<std::string>& cmd, double timeout, std::string* output_head,
                                  bool* timed_out = nullptr);

// Adds msg (as given) to the startup log; nothing for an empty msg. 1.
int append_to_startup_log(const std::string& real_service_name, const std::string& msg);
// The startup log's text ("" when there is none).
std::string fetch_startup_log(const std::string& real_service_name);
// Runs the words (split at spaces, searched on PATH) with all output
// discarded, detached from the session, and waits; child_status() holds
// its status (exit 1 when it could not be run). The intermediate's pid.
pid_t nooutputsystem(const std::vector<std::string>& command_words);

enum class LogMode { Wipe, Append };
// An open descriptor (close-on-exec) on the service's startup log; raises
// "IO::FileOpenError" (params path, mode, error) on failure. A symbolic
// link planted in place of the log is refused, never followed.
int _open_startup_log(const std::string& service_name, LogMode mode);
// Cuts the service's startup log down to its last STARTUP_LOG_MAX_BYTES;
// nothing when it is shorter, missing or not a plain file.
void trim_startup_log(const std::string& service_name);
pid_t _start_as_daemon(const std::string& path, int start_log_fd, const std::vector<std::string>& args);
pid_t _start_capture_and_wait(const std::string& path, int start_log_fd, const std::vector<std::string>& args,
                              double timeout = 0, bool* timed_out = nullptr);
void _mkdir_or_log_failure(const std::string& dir);

}  // namespace norvik::initd
