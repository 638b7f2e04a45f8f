// The command line: the options the program takes, their parsing, and the
// request value the run hands down to the service object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "service/request.hpp"

namespace norvik::cli {

// Restart modes (the first value of parseargv).
inline constexpr int RESTART = 1;
inline constexpr int STOP = -1;
inline constexpr int RELOAD = -2;

// Words the program understands beside the options parseargv consumes.
inline constexpr const char* HELP_WORD = "--help";
// Stop and start instead of a graceful restart; forced mode (lifts the block
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
// An argument containing this text asks for output for a web page.
inline constexpr const char* HTML_MARKER = "html";
// A program path containing this text, or the service word below, is refused.
inline constexpr const char* REFUSAL_MARKER = "restartsrv_all";
inline constexpr const char* RESERVED_SERVICE_WORD = "all";
// The service of the bare program name (restartsrv_base).
inline constexpr const char* DEFAULT_SERVICE_NAME = "base";
// Callers may still pass it (runs by hand used to get it); it changes nothing.
inline constexpr const char* INTERACTIVE_WORD = "--interactive";
// Check without asking systemd.
inline constexpr const char* IGNORE_SYSTEMD_WORD = "--ignore-systemd";
// systemd stop of a unit: --systemd-service=<unit> --stop.
inline constexpr const char* SYSTEMD_SERVICE_PREFIX = "--systemd-service=";
// Printed before a check run's answer when RESTARTSRV_CHECKMODE_HEADER is true.
inline constexpr const char* CHECKMODE_HEADER_LINE = "==> restartsrv check mode";

// The six values of parseargv, in order.
struct ParsedArgs {
    int restart = RESTART;
    bool check = false;
    bool status = false;
    int verbose = 0;
    std::optional<std::string> restart_attempts;
    std::optional<std::string> graceful;
};

// Parses `args`; what it recognises is removed from them, unknown options
// and bare words stay. Options (handlers in argument order):
//   --status / --no-status, --check / --no-check, --verbose / --no-verbose,
//   --debug / --no-debug (verbose 2 / 0), --restart-attempt=N (or "N" as
//   the next word), --stop / --no-stop, --reload / --no-reload,
//   --restart / --no-restart, --graceful[=VALUE] / --no-graceful (a yes/no
//   word: 0 1 yes no true false on off, inline or as the next word; alone
//   it means 1, negated 0).
// A single leading dash is accepted as well (-stop). Prints nothing.
ParsedArgs parseargv(std::vector<std::string>& args);
// True when the arguments ask only for a status report or a check: the run
// changes nothing.
bool is_query_request(const std::vector<std::string>& args);
// Every spelling parseargv takes in full ("status", "nostatus", "no-status").
std::vector<std::string> option_spellings();
// True when parseargv takes this name (lower case, no dashes), as a
// spelling or as the unique prefix of one.
bool parseargv_takes(const std::string& name);

// The request of a run with these arguments (the program's own words and
// options included).
service::Request make_request(const std::vector<std::string>& args, bool started_by_init, bool json_lines);

// The check-mode header, when RESTARTSRV_CHECKMODE_HEADER is true.
void print_check_mode_header(bool json_lines);

}  // namespace norvik::cli
