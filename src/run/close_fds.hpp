// Closes inherited descriptors (close_range where the kernel has it).
#pragma once

#include <vector>

namespace norvik::run {

// Closes every descriptor above 2 except those in `keep`.
void fast_closefds(const std::vector<int>& keep = {});

}  // namespace norvik::run
