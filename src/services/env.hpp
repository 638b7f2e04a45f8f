// The environment a daemon is started in: cleaned down to a safe list,
// HOME/USER fixed, RESTARTSRV=1, TZ set, and the working directory "/".
#pragma once

#include <string>
#include <vector>

namespace norvik::services {

// The nine variables kept in addition to the cleaner's safe list.
const std::vector<std::string>& kept_variables();

inline constexpr const char* DAEMON_HOME = "/root";
inline constexpr const char* DAEMON_USER = "root";
inline constexpr const char* DAEMON_CWD = "/";

// Raises PlainError when the working directory cannot be changed (the
// environment changes made before stay).
void setup_env_for_starting_a_daemon();

}  // namespace norvik::services
