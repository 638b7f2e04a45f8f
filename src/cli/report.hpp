// How a run reports to whoever called it: in plain lines (with the journal's
// priority in front when standard error is the journal), or, with
// RESTARTSRV_OUTPUT=json, one JSON object per message and one result record
// at the end, for a panel to read.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace norvik::service {
class Base;
}

namespace norvik::cli {

inline constexpr const char* OUTPUT_MODE_VARIABLE = "RESTARTSRV_OUTPUT";
inline constexpr const char* RESULT_TYPE = "result";

// Reads the output mode and the journal stream from the environment, before
// the run edits it.
void capture_environment();
bool json_mode();
void set_json_mode(bool on);

// A message of the entry itself on standard error: "error", "warn" or
// "out"; the text may span lines.
void to_stderr(const std::string& type, const std::string& text);

// What the result record says beyond what the service object tells.
struct RunFacts {
    std::string service;
    std::string action;
    std::optional<std::string> error_class;
    std::optional<std::string> error_text;
    std::optional<std::string> xid;
    bool refused = false;  // refused before anything was done
};
RunFacts& facts();

// Running, main PID and check method as a status text gives them.
struct StatusFacts {
    bool running = false;
    std::optional<long> main_pid;
    std::optional<std::string> check_method;
};
StatusFacts parse_status_text(const std::string& text);

// The full name of the unit the service object uses ("exim4.service"),
// "" under init.d.
std::string unit_of(service::Base& srv);

// The record for a run that ends with `exit_status`; srv may be null.
nlohmann::json result_record(service::Base* srv, int exit_status);
// Prints it on standard output as one line (JSON mode only).
void print_result_record(service::Base* srv, int exit_status);

}  // namespace norvik::cli
