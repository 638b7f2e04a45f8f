// The usage text printed for --help.
#pragma once

#include <string>

namespace norvik::cli {

// The usage text; `service` (possibly empty) is used in the examples.
std::string usage_text(const std::string& service);
// Prints the usage text to standard output; returns the exit status (0).
int usage(const std::string& service);

}  // namespace norvik::cli
