// Questions about init scripts, installed and disabled services; the
// left-over process killer.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "proc/process_table.hpp"
#include "run/reduced_privileges.hpp"

namespace norvik::initd {

// The init-script directory.
std::string INIT_D_DIR();

// 1 when INIT_D_DIR/<service> is an executable plain file; 0 for an empty
// name; raises for a name that is not a single file-system node name.
bool has_service_via_initd(const std::string& service);

// Raises a PlainError for a name that is not one file-system node: empty,
// "." or "..", longer than 255, or holding "/" or NUL.
void validate_filesystem_node_name_or_die(const std::string& name);

// The service's init script, or nothing. An exact (case-insensitive) name
// wins over a partial match ("x" + name), which wins over a numeric one
// ("S10" + name); dot files, .rpm* leftovers, non-plain and non-executable
// entries are never chosen.
std::optional<std::string> getinitfile(const std::string& service);
// The same search without the systemd test: the script of a service that
// is also a unit, for a run that asked for the init script explicitly.
std::optional<std::string> find_init_script(const std::string& service);
bool _is_installed(const std::string& service);
bool is_service_disabled(const std::string& service);

// The mysqladmin program, or "".
std::string find_mysqladmin();

// Kills the processes matching `deadcmd` (never one of the program's own
// ancestry). 1 when the processes found are gone, 0 otherwise.
int doomedprocess(const proc::ProcName& deadcmd, bool verbose, double wait_time = 0,
                  const proc::AllowedOwners& allowed_owners = std::nullopt);

// Setting ids for good, and running code as another user: passed on to the
// access-ids helpers unchanged.
inline bool setuids(uid_t uid, gid_t gid) { return run::setuids(uid, gid); }
inline int runasuser(const std::string& user, const std::function<int()>& work) { return run::runasuser(user, work); }

}  // namespace norvik::initd
