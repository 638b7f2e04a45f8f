// The process-wide status of the last child waited for (the wait status:
// exit code = status >> 8, signal = status & 127, core flag = status & 128).
#pragma once

namespace norvik {

int child_status();
void set_child_status(int status);

}  // namespace norvik
