// What systemd says about a service, asked through systemctl (never through
// a shell) and parsed as text. Every query answers "unknown" (an empty
// record, no pid, an empty list) when systemctl is missing or fails.
//
// Queries that run systemctl set LANG and TZ to fixed values first (so the
// output can be parsed); they stay set for the rest of the program.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace norvik::restartsrv::systemd {

// Property name -> text (LoadState, ActiveState, SubState, MainPID, Type,
// FragmentPath, PIDFile and the others of requested_properties()).
using UnitRecord = std::map<std::string, std::string>;

inline constexpr const char* UNIT_SUFFIX = ".service";
inline constexpr const char* LOADED_WORD = "loaded";
inline constexpr const char* NOT_FOUND_WORD = "not-found";
inline constexpr const char* ACTIVE_WORD = "active";
inline constexpr const char* FIXED_LANG = "C";
inline constexpr const char* FIXED_TZ = "UTC";

// The eleven properties asked for.
const std::vector<std::string>& requested_properties();
// The unit-file directories a usable unit's FragmentPath must lie in.
std::vector<std::string> accepted_unit_dirs();

// "exim" -> "exim.service"; a name longer than the suffix that already
// ends with it is kept.
std::string unit_name(const std::string& service);
// Sets LANG and TZ for parsing systemctl's output.
void set_parse_env();

UnitRecord get_service_info_via_systemd(const std::string& service);
// The record when the service is a usable systemd unit, else nothing. An
// empty record (systemctl missing or failing) is not a unit.
std::optional<UnitRecord> has_service_via_systemd(const std::string& service);
// The main pid, or 0. `info` is an optional record to reuse.
pid_t get_pid_via_systemd(const std::string& service, const UnitRecord* info = nullptr);
// Pids of the unit's control group as `systemctl status` shows them.
std::vector<pid_t> get_pids_via_systemd(const std::string& service);

struct CodeAndSignal {
    std::string active;  // the Active: word ("active", "failed"...)
    std::string code;    // the main process's code= word ("exited", "killed"...)
    std::string signal;  // its signal= word ("SEGV"...)
};
CodeAndSignal get_code_and_signal_via_systemd(const std::string& service);

// ActiveState, or "" when the unit is not loaded.
std::string get_status_via_systemd(const std::string& service);
// ActiveState after a stop request, or "" when the unit is not loaded.
std::string stop_via_systemd(const std::string& service);
// (ActiveState, MainPID) after a restart; (ActiveState, "") when the request
// failed; ("", "") when the unit is not loaded.
std::pair<std::string, std::string> restart_via_systemd(const std::string& service);
// The raw wait status of systemctl with these arguments (output not
// captured; -1 style statuses never: a tool that cannot run gives 127 << 8).
int _run_systemctl(const std::vector<std::string>& args);

// ---- parsers over systemctl's text (exposed for tests) --------------------
UnitRecord parse_show_output(const std::string& text);
// The two-state scanner over `systemctl status` (header, then CGroup tree).
std::vector<pid_t> parse_status_pids(const std::vector<std::string>& lines);
CodeAndSignal parse_code_and_signal(const std::vector<std::string>& lines);
// The first pid in the status display's process lines (after the title).
pid_t parse_status_first_pid(const std::vector<std::string>& lines);

}  // namespace norvik::restartsrv::systemd
