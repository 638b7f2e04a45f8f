// Writing one main-configuration key under the configuration lock.
#pragma once

#include <string>

namespace norvik::config {

// True when saved; false (warning logged) when not root or the save failed.
bool set_main_config_key(const std::string& key, const std::string& value);

}  // namespace norvik::config
