// Whether the web server of the HX4 stack is in use (a flag file).
#pragma once

namespace norvik::config {

bool is_hx4();  // cached for the process
void reset_cache();

}  // namespace norvik::config
