// The command search path the program and the daemons it starts get.
#pragma once

#include <string>
#include <vector>

namespace norvik::services {

// The six directories, in order.
const std::vector<std::string>& path_directories();
// PATH = the existing ones of path_directories(), joined with ':'.
void setuppath();

}  // namespace norvik::services
