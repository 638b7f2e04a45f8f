// Greylisting's on/off state: the main-configuration key "greylist_enabled".
#pragma once

namespace norvik::greylist::config {

inline constexpr const char* ENABLED_KEY = "greylist_enabled";

// True when the key is true (greylisting is off unless switched on).
bool is_enabled();
// Sets the key to 0 in the main configuration; true on success (needs root).
bool disable();

}  // namespace norvik::greylist::config
