// The server's time-zone name (for TZ in daemon environments) and the list
// of valid zone names, cached in the process and in a file for 42 days.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace norvik::os {

inline constexpr const char* DEFAULT_TIMEZONE = "UTC";
inline constexpr long ZONE_LIST_CACHE_TTL = 3628800;

// The current zone without a leading "posix/", or nothing when the zone
// cannot be named (a daemon then keeps the C library's own notion rather
// than a TZ that claims UTC).
std::optional<std::string> calculate_TZ_env();
// The current zone, DEFAULT_TIMEZONE when it cannot be named.
std::string get_current_timezone(bool noposix = false);
const std::vector<std::string>& gettimezones();
bool is_valid(const std::string& name);
// Records the zone with the method the OS offers; false when the name is not
// valid or recording failed.
bool set(const std::string& name);

// Tests: forget the process cache of zone names.
void clear_cache();

}  // namespace norvik::os
