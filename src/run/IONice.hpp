// The I/O scheduling class of the calling process, through the system's
// ionice tool (run without a shell).
#pragma once

#include <optional>
#include <string>

namespace norvik::ionice {

// Clears the calling process's I/O class: 1 on exit code 0, 0 otherwise,
// nothing when the tool is not executable.
std::optional<int> reset();
// class: "0".."3" or a name ("none", "realtime", "best-effort", "idle");
// class_data 0..7. Invalid values log a warning and give nothing.
std::optional<int> ionice(const std::string& io_class, int class_data);
// The tool's report for the calling process, without the trailing newline.
std::string get_ionice();

}  // namespace norvik::ionice
