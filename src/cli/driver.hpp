// The process-wide argument list, its parsing into the values that decide
// what a run does, the choice of output formatter, the command search path,
// and the entry driver that src/bin/restartsrv_base.cpp calls.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvik {
class Output;
}

namespace norvik::restartsrv {

// Restart modes (the first value of parseargv).
inline constexpr int RESTART = 1;
inline constexpr int STOP = -1;
inline constexpr int RELOAD = -2;

// Words the program understands beside the options parseargv consumes.
// They stay in the argument list for the word tests of the entry and of the
// service object's run_from_argv.
inline constexpr const char* HELP_WORD = "--help";
// Words the service object's run_from_argv tests (listed by the usage text):
// stop and start instead of a graceful restart; forced mode (lifts the block
// on starting during a base installation); the init.d back end.
inline constexpr const char* HARD_RESTART_WORDS[] = {"--hard", "hard"};
inline constexpr const char* FORCE_WORDS[] = {"--force", "force"};
inline constexpr const char* INITD_SWITCH = "--initd";
// A service that is not configured or not installed counts as success.
inline constexpr const char* ABSENT_IS_SUCCESS_WORD = "--absent-ok";
// An argument containing this text marks a check-mode run (no invocation line).
inline constexpr const char* CHECK_MODE_MARKER = "--check";
// An argument containing this text suppresses the PHP-FPM status line.
inline constexpr const char* STATUS_SUPPRESSION_MARKER = "--no-fpm-status";
// A program path containing this text, or the service word below, is refused.
inline constexpr const char* REFUSAL_MARKER = "restartsrv_all";
inline constexpr const char* RESERVED_SERVICE_WORD = "all";
// The service of the bare program name (restartsrv_base); the service object
// uses the same name for its lock when it has no service.
inline constexpr const char* DEFAULT_SERVICE_NAME = "base";
// Added in front of the arguments for run_from_argv unless the parent is
// process 1; inert for parseargv.
inline constexpr const char* INTERACTIVE_WORD = "--interactive";
// The service object's own switch: check without asking systemd.
inline constexpr const char* IGNORE_SYSTEMD_WORD = "--ignore-systemd";
// systemd stop of a unit: --systemd-service=<unit> --stop.
inline constexpr const char* SYSTEMD_SERVICE_PREFIX = "--systemd-service=";
// Printed by parseargv for a check run with RESTARTSRV_CHECKMODE_HEADER true.
inline constexpr const char* CHECKMODE_HEADER_LINE = "==> restartsrv check mode";

// The process argument list (without the program name) and the program
// path (argv[0]). Filled by run(); tests may set them directly.
std::vector<std::string>& argv();
const std::string& program_path();
void set_program_path(const std::string& path);

// Action ("start", "stop" or "restartsrv_") and service from the program
// path's last component; nothing when the name has neither form.
struct ProgramName {
    std::string action;
    std::string service;
};
std::optional<ProgramName> parse_program_name(const std::string& path);

// The six values of parseargv, in order.
struct ParsedArgs {
    int restart = RESTART;
    bool check = false;
    bool status = false;
    int verbose = 0;
    std::optional<std::string> restart_attempts;
    std::optional<std::string> graceful;
};

// Parses the process argument list; what it recognises is removed from it,
// unknown options and bare words stay. Options (handlers in argument order):
//   --status / --no-status, --check / --no-check, --verbose / --no-verbose,
//   --debug / --no-debug (verbose 2 / 0), --restart-attempt=N (or "N" as
//   the next word), --stop / --no-stop, --reload / --no-reload,
//   --restart / --no-restart, --graceful[=VALUE] / --no-graceful (a yes/no
//   word: 0 1 yes no true false on off, inline or as the next word; alone
//   it means 1, negated 0).
// A single leading dash is accepted as well (-stop).
ParsedArgs parseargv();
// True when the arguments ask only for a status report or a check: the run
// changes nothing. Leaves the process argument list as it was and prints
// nothing.
bool is_query_request(const std::vector<std::string>& args);
// The action the arguments ask for: "RESTART", "STOP", "RELOAD", "STATUS"
// or "CHECK" (same rules as is_query_request).
std::string requested_action(const std::vector<std::string>& args);
// Every spelling parseargv takes in full ("status", "nostatus", "no-status").
std::vector<std::string> option_spellings();
// True when parseargv takes this name (lower case, no dashes), as a
// spelling or as the unique prefix of one.
bool parseargv_takes(const std::string& name);

std::vector<std::string> _get_argv();
void _set_argv(std::vector<std::string> list);

// Formatted::HTML when an argument contains "html" (case-sensitive), else
// Formatted::Terminal.
std::shared_ptr<norvik::Output> get_formatted_output_object(const std::vector<std::string>& args);

// PATH = the existing ones of six fixed directories, joined with ':'.
void setuppath();
// The six directories, in order.
const std::vector<std::string>& path_directories();

// Passes the call to the main configuration loader (a private copy).
std::map<std::string, std::string> loadnkconfig();

// TERM (exit 143) and INT (ended by INT) end the run and what it waits on;
// HUP and PIPE never do. main calls it first; run() again (harmless).
void install_signal_handlers();

// The program entry (main calls only this and the above): records argv[0] and the
// arguments, writes the invocation line, runs the driver under error capture
// and returns the exit status: 0, 255 (any error, its message on standard
// error), the usage printer's; TERM ends the process with 143 at any time.
int run(int argc, char** argv);

// The driver proper, over the argument list already stored in argv().
int run();

// The service object as the driver sees it. The real one wraps
// norvik::servicemanager::Base, a floor above this one: the program's main
// installs its factory (servicemanager::make_entry_service_object).
class ServiceObject {
public:
    virtual ~ServiceObject() = default;
    virtual bool has_custom_action(const std::string& word) = 0;
    virtual void run_custom_action(const std::string& word) = 0;
    virtual void run_from_argv(const std::vector<std::string>& args) = 0;
    virtual std::string service_argv_action() = 0;
    virtual void service_argv_action(const std::string& word) = 0;
    virtual int verbose() = 0;
    virtual std::string service() = 0;
    virtual std::string service_name() = 0;
    virtual std::optional<std::string> service_status() = 0;
    virtual std::string class_name() = 0;
    // The systemd unit name when the back end is systemd, else "".
    virtual std::string service_via_systemd() = 0;
    virtual std::string status() = 0;
    virtual norvik::Output& output_obj() = 0;
    // The restart lock's descriptor, -1 when no lock is held.
    virtual int lock_fd() = 0;
    // The init script the init.d back end calls, else "".
    virtual std::string init_script() { return ""; }
};
using ServiceFactory = std::function<std::unique_ptr<ServiceObject>(const std::string& service)>;
// Sets the factory; without one, a run that needs a service object fails
// with a plain error.
void set_service_factory(ServiceFactory factory);
// The current service object, or nullptr.
ServiceObject* get_current_service();

// True when the parent process is process 1.
bool _parent_is_systemd();
// 1, or ends the program with 0 when systemd is stopping a unit whose main
// process was already ended by TERM or KILL.
int _exit_if_triggered_by_systemd_term_or_kill_signal(const std::vector<std::string>& args);

}  // namespace norvik::restartsrv
