// Runs one external program without a shell: feeds its input, collects its
// output and error output (or passes them to the caller's descriptors) under
// an overall and an idle limit, ends it when a limit expires and reaps it.
// Each child leads its own process group; a time-out ends the whole group.
// The object is complete when the constructor returns.
//
//   norvik::run::Object run({.program = "/usr/bin/systemctl", .args = {"is-active", "x"}});
//   if (run.wait_status()) log(run.autopsy().value_or(""));
//   run.stdout();
//
// Never touches norvik::child_status().
#pragma once

#include <spawn.h>

#include <sys/types.h>

#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "run/child_error_text.hpp"

namespace norvik {
class Logger;
}

namespace norvik::run {

// Grace (seconds) given to a child that is being ended after a time-out.
double SAFEKILL_TIMEOUT();
// The child being run now (the leader of its own process group), else 0.
// Safe to read from a signal handler, so that a run ended by a signal ends
// the command it waits on (a hook, a custom action) with it.
pid_t running_child();

struct Options {
    std::string program{};  // required: a path, or a bare name searched on PATH
    std::vector<std::string> args{};

    // Input; at most one. None (or empty text) -> the null device.
    std::optional<int> stdin_fd{};                       // the child reads this descriptor directly
    std::optional<std::string> stdin_text{};             // written to the child
    std::istream* stdin_stream = nullptr;                // copied in CHUNK_SIZE pieces
    std::function<void(int write_fd)> stdin_callback{};  // writes the input itself (then the runner closes it)

    // Output streams; none given -> captured. The same descriptor or stream
    // for both, or merge_stderr, merges the error output into the output.
    std::optional<int> stdout_fd{};
    std::ostream* stdout_stream = nullptr;
    std::optional<int> stderr_fd{};
    std::ostream* stderr_stream = nullptr;
    bool merge_stderr = false;

    std::optional<double> timeout{};       // overall limit, default 3600; 0 = none
    std::optional<double> read_timeout{};  // idle limit, default 0 = none

    bool keep_env = false;                           // else only the safe variables are passed
    std::map<std::string, std::string> extra_env{};  // set in the child on top (either way)
    std::optional<std::string> user{};
    std::optional<std::string> homedir{};

    std::function<void()> before_exec{};      // runs in the child (forces the fork path)
    std::function<void(pid_t)> after_fork{};  // runs in the parent with the child's pid

    // Not accepted here (raises): use SafeRun::Extra for logging.
    std::shared_ptr<Logger> logger{};
};

class Object : public ChildErrorStringifier {
public:
    static constexpr double DEFAULT_TIMEOUT = 3600;
    static constexpr double DEFAULT_READ_TIMEOUT = 0;
    static constexpr size_t CHUNK_SIZE = 131072;

    // Starts, feeds, reads and reaps (or ends) the child. Raises for invalid
    // options, a missing program given by path, pipe/fork failures, input
    // write errors. A program that cannot be started is reported through
    // the status and stderr() instead.
    explicit Object(Options options);
    // Object(...) then die_if_error().
    static Object new_or_die(Options options);

    // Captured texts; raise (with a stack trace) for a stream not captured.
    const std::string& stdout() const;
    const std::string& stderr() const;
    const std::string* stdout_r() const { return _stdout.get(); }
    const std::string* stderr_r() const { return _stderr.get(); }

    // Bytes of a captured stream beyond ReadMultipleFH::CAPTURE_LIMIT that
    // were dropped (its text then ends with a marker line saying so).
    size_t stdout_dropped() const { return stdout_dropped_; }
    size_t stderr_dropped() const { return stderr_dropped_; }

    pid_t child_pid() const { return _child_pid; }
    // The limit that expired, in seconds; nothing when none did.
    std::optional<double> timed_out() const { return _timed_out_after; }
    const std::string& program() const { return _program; }
    const std::vector<std::string>& args() const { return _args; }

    ExceptionPtr to_exception() const override;
    const Object& die_if_error() const;

    // "program arg1 arg2" as shown in messages.
    std::string command_line() const;

protected:
    std::string error_phrase() const override;
    std::string signal_phrase() const override;
    std::vector<std::string> extra_autopsy_phrases() const override;
    nlohmann::json extra_error_args() const override;

private:
    void run_child(Options& options);
    // A spawn that failed: its status, and the message where the error
    // output goes.
    void record_start_failure(const Options& o, bool merged, int err_child, int rc, const std::string& start_failure);
    // From a catch block: ends the child's group, reaps it, raises again.
    [[noreturn]] void end_child_and_rethrow(int pidfd);

    std::string _program{};
    std::vector<std::string> _args{};
    pid_t _child_pid = 0;
    std::shared_ptr<std::string> _stdout{};
    std::shared_ptr<std::string> _stderr{};
    std::optional<double> _timed_out_after{};
    size_t stdout_dropped_ = 0;
    size_t stderr_dropped_ = 0;
};

// Spawns a child without copying this program: the dups are made in the
// order given (a negative `from` is skipped), nothing else stays open, and
// the child starts with SIGPIPE and SIGCHLD at their defaults and no signal
// blocked, whatever this program had set; with `own_group` it leads a
// process group of its own. `search_path` looks a name without a slash up on
// PATH. The posix_spawn result: 0 with `pid` set, else the error number.
struct Dup {
    int from;
    int to;
};
int spawn_child(pid_t& pid, const std::string& program, bool search_path, std::initializer_list<Dup> dups,
                char* const argv[], char* const envp[], bool own_group = false);

}  // namespace norvik::run
