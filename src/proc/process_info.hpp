// The running program's own pid and its ancestors' (from /proc).
#pragma once

#include <sys/types.h>

#include <vector>

namespace norvik::proc {

// Own pid first, then the parent, grandparent... up to (excluding) pid 0.
std::vector<pid_t> get_pid_lineage();

}  // namespace norvik::proc
