// Lifts the calling process's resource limits before a service is started,
// so the service does not inherit limits meant for this tool.
#pragma once

namespace norvik::run {

// Memory, CPU, file-size and process limits to infinity (as far as the hard
// limit allows), open files to the system maximum. 1 when all succeeded.
int unset_rlimits();

}  // namespace norvik::run
