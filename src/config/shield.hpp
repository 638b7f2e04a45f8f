// Brute-force protection's on/off state: the main-configuration key
// "shield_enabled".
#pragma once

namespace norvik::config::shield {

inline constexpr const char* ENABLED_KEY = "shield_enabled";

bool is_enabled();

}  // namespace norvik::config::shield
