// Process command lines that are never a service's own process.
#pragma once

#include <string_view>

namespace norvik::proc {

// True when the process table search must skip this command line.
bool should_ignore_this_command(std::string_view command_line);

}  // namespace norvik::proc
