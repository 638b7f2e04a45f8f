// Finds a program in the standard program directories.
#pragma once

#include <string>
#include <vector>

namespace norvik::foundation {

// /usr/local/sbin, /usr/local/bin, /usr/sbin, /usr/bin, /sbin, /bin.
const std::vector<std::string>& standard_dirs();
// Tests replace the directory list; an empty list restores the standard one.
void set_dirs_for_testing(std::vector<std::string> dirs);

// The first executable regular file named `name` in extra_dirs, then in the
// standard directories; "" when none.
std::string findbin(const std::string& name, const std::vector<std::string>& extra_dirs = {});

// True when path is a regular file executable by the effective user.
bool is_executable(const std::string& path);

}  // namespace norvik::foundation
