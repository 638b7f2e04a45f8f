// Fixed-width fields for column output.
#pragma once

#include <cstddef>
#include <string>

namespace norvik::output {

inline constexpr int ALIGN_RIGHT = 1;
inline constexpr int ALIGN_LEFT = 0;

// Cuts `text` to `length` characters (UTF-8 code points, not bytes) and pads
// it with spaces to that length: on the left for ALIGN_RIGHT, else on the right.
std::string fixed_length(const std::string& text, std::size_t length, int align = ALIGN_LEFT);

}  // namespace norvik::output
