// The I/O scheduling class of the calling process, set and read through
// the ioprio system calls (no helper program).
#pragma once

#include <optional>
#include <string>

namespace norvik::run {

// Clears the calling process's I/O class: 1 on success, 0 when the kernel
// refused.
std::optional<int> reset_ionice();
// class: "0".."3" or a name ("none", "realtime", "best-effort", "idle");
// class_data 0..7. Invalid values log a warning and give nothing. Without
// root the class stays best-effort (only the level is set). 1 or 0 as above.
std::optional<int> ionice(const std::string& io_class, int class_data);
// The calling process's class and level, as "<class>: prio <n>" ("idle"
// alone for the idle class); "" when it cannot be read.
std::string get_ionice();

}  // namespace norvik::run
