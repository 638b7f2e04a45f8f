// The calls the service object makes into the entry and back-end modules,
// gathered in one place so the service object's own logic reads plainly.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/driver.hpp"
#include "backend/backend.hpp"

namespace norvik {
class Output;
}

namespace norvik::servicemanager::deps {

// The process-wide argument vector of the entry.
std::vector<std::string>& process_argv();

using restartsrv::ParsedArgs;
using restartsrv::parseargv;
using restartsrv::is_query_request;
void setuppath();
std::shared_ptr<norvik::Output> formatted_output_object(const std::vector<std::string>& argv);
std::shared_ptr<norvik::Output> default_output_object();

// systemd / init.d queries.
std::optional<UnitRecord> has_service_via_systemd(const std::string& unit);
// Drops what was kept about systemd units, so the next query asks again.
void forget_unit_records();
bool has_service_via_initd(const std::string& service);
// A PID-file process counts only when it is the service's (binary, pid_exe);
// warn hears of one that is not.
std::string check_service(const std::string& service, const std::string& user, const std::string& pidfile,
                          bool ignore_systemd, const std::string& command_line_regex, const std::string& binary = "",
                          const std::string& pid_exe = "",
                          const std::function<void(const std::string&)>& warn = {});
// Kills processes matching the rules (never the program's own ancestry);
// true when something was killed.
bool doomedprocess(const std::vector<std::string>& rules, bool verbose);
// The same, sparing processes of other owners than root and `owner` ("" none).
bool doomedprocess(const std::vector<std::string>& rules, bool verbose, const std::string& owner);

std::unique_ptr<Manager> make_initd_manager(const std::string& service, bool executed_by_systemd);
std::unique_ptr<Manager> make_systemd_manager(const std::string& unit, const UnitRecord& record);
// An init.d back end built by make_initd_manager uses the script of a
// service that is also a systemd unit.
void use_init_script_even_for_units(Manager& initd);

// Runs an argument list without a shell, for 300 s at most; returns the
// wait status, -1 when it could not be run, TIMED_OUT when it hit the limit
// (it and what it left behind in its process group are then ended). Output is
// captured into out/err when given.
inline constexpr int TIMED_OUT = -2;
inline constexpr double RUN_ARGV_TIMEOUT = 300;
void set_run_argv_timeout_for_testing(double seconds);
int run_argv(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr);

}  // namespace norvik::servicemanager::deps
