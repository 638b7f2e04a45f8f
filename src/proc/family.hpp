// The processes a run is responsible for beyond its direct children: the
// members of a session it made, and the descendants a start left behind.
// Each is taken with its start time, so a pid reused meanwhile is told apart.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace norvik::proc {

struct Member {
    pid_t pid = 0;
    std::uint64_t start = 0;  // clock ticks after boot
    bool operator==(const Member& o) const { return pid == o.pid && start == o.start; }
};

// Field 22 of /proc/<pid>/stat; nullopt when the process is gone.
std::optional<std::uint64_t> start_time(pid_t pid);
// The member is still the process it was when taken, and not a zombie.
bool still_running(const Member& m);

// Live processes (not zombies) whose session id is `sid`.
std::vector<Member> session_members(pid_t sid);
// Every live descendant of `pid`.
std::vector<Member> descendants(pid_t pid);
// The entries of `now` that are not in `before`.
std::vector<Member> added_since(const std::vector<Member>& before, const std::vector<Member>& now);

// Ends the members that are still the processes taken (TERM, up to
// `budget` seconds, then KILL), never the caller or its ancestors, and
// reaps those that are children of the caller (a subreaper's adopted ones
// included). The number of members still running afterwards.
int end_members(const std::vector<Member>& members, double budget, bool verbose = false);

// Reaps every finished child of the caller without waiting.
void reap_finished_children();

}  // namespace norvik::proc
