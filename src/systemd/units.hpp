// What systemd says about a service: a unit's record is read from systemd's
// private socket when it answers (systemd/bus), else asked through
// systemctl (never through a shell) and parsed as text. Every query answers
// "unknown" (an empty record, no pid, an empty list) when neither answers.
//
// systemctl runs with a fixed LANG and TZ in its own environment (so the
// output can be parsed); the program's own environment, which daemons
// inherit, is left alone.
//
// A unit's record is asked for once and kept until the state may have
// changed: every job run through systemctl (start, stop, ...) drops the kept
// records, and refresh_service_info() asks again.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "systemd/systemctl.hpp"
#include "systemd/unit_record.hpp"

namespace norvik::systemd {

inline constexpr const char* UNIT_SUFFIX = ".service";
inline constexpr const char* LOADED_WORD = "loaded";
inline constexpr const char* NOT_FOUND_WORD = "not-found";
inline constexpr const char* MASKED_WORD = "masked";
inline constexpr const char* ACTIVE_WORD = "active";
inline constexpr const char* RELOADING_WORD = "reloading";
inline constexpr const char* FAILED_WORD = "failed";
inline constexpr const char* INACTIVE_WORD = "inactive";

// The properties asked for.
const std::vector<std::string>& requested_properties();
// Units that start this one on demand (its sockets, paths, timers): the
// words of TriggeredBy.
std::vector<std::string> triggering_units(const UnitRecord& rec);
// The unit-file directories a usable unit's FragmentPath must lie in, in
// systemd's own terms (never below our root), each ending in "/".
std::vector<std::string> accepted_unit_dirs();

// "exim" -> "exim.service"; a name longer than the suffix that already
// ends with it is kept.
std::string unit_name(const std::string& service);

// The kept record, or one `show` when there is none.
UnitRecord get_service_info_via_systemd(const std::string& service);
// Always a fresh `show` (kept for later queries).
UnitRecord refresh_service_info(const std::string& service);
// Drops every kept record (after a job, or when the caller waits for a change).
void forget_service_info();
// The record when the service is a usable systemd unit, else nothing. An
// empty record (systemctl missing or failing) is not a unit.
std::optional<UnitRecord> has_service_via_systemd(const std::string& service);
// ActiveState "active" or "reloading": the unit's processes should run. A
// masked unit that still runs counts too.
bool is_up_state(const UnitRecord& rec);
// LoadState "masked": systemd starts it no more, though it may still run.
bool is_masked(const UnitRecord& rec);
// The main pid, or the first pid of an active unit's control group, or 0.
// A unit that is not active has none, whatever its PID file says. `info`
// is an optional record to use instead of the kept one.
pid_t get_pid_via_systemd(const std::string& service, const UnitRecord* info = nullptr);
// Pids of an active unit's control group (its own, then its sub-groups').
std::vector<pid_t> get_pids_via_systemd(const std::string& service, const UnitRecord* info = nullptr);
// Pids listed in <cgroup fs><group>/cgroup.procs and its sub-groups; empty for
// a group that is not an absolute path without "..".
std::vector<pid_t> read_control_group_pids(const std::string& group);

struct CodeAndSignal {
    std::string active;  // the Active: word ("active", "failed"...)
    std::string code;    // the main process's code= word ("exited", "killed"...)
    std::string signal;  // its signal= word ("SEGV"...)
};
CodeAndSignal get_code_and_signal_via_systemd(const std::string& service);

// ---- parsers over systemctl's text (exposed for tests) --------------------
UnitRecord parse_show_output(const std::string& text);
CodeAndSignal parse_code_and_signal(const std::vector<std::string>& lines);

}  // namespace norvik::systemd
