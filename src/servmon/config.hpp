#pragma once

#include <string>

namespace norvik::servmon {

// The service monitor's per-service configuration directory.
std::string servmon_dir();

}  // namespace norvik::servmon
