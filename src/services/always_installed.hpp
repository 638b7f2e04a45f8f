#pragma once

#include <string>
#include <vector>

namespace norvik::services {

// Services that count as installed without a test.
const std::vector<std::string>& SERVICES();
bool contains(const std::string& code_name);

}  // namespace norvik::services
