// Ends one child of the caller: TERM, a grace time, then KILL; always reaps.
#pragma once

#include <sys/types.h>

namespace norvik::run {

// Returns the child's wait status (as waitpid gives it), or -1 when pid is
// not a child of the caller or not a signalable pid.
int safekill_single(pid_t pid, double grace_seconds);

}  // namespace norvik::run
