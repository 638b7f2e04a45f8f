// Greylisting's on/off state: the main-configuration key "greylist_enabled".
#pragma once

namespace norvik::config {

inline constexpr const char* GREYLIST_ENABLED_KEY = "greylist_enabled";

// True when the key is true (greylisting is off unless switched on).
bool is_greylist_enabled();
// Sets the key to 0 in the main configuration; true on success (needs root).
bool disable();

}  // namespace norvik::config
