#pragma once

#include <string>

namespace norvik::foundation {

// Creates the file (0644) when missing, else updates its times; never
// follows a symbolic link. True on success (a warning is logged otherwise).
bool touchfile(const std::string& path);

}  // namespace norvik::foundation
