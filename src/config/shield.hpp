// Brute-force protection's on/off state: the main-configuration key
// "shield_enabled".
#pragma once

namespace norvik::config {

inline constexpr const char* SHIELD_ENABLED_KEY = "shield_enabled";

bool is_shield_enabled();

}  // namespace norvik::config
