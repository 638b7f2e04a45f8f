// Where programs are installed, from fixed tables (the panel's own program
// tree first, then the system directories, then the OS facts).
#pragma once

#include <map>
#include <string>

namespace norvik::pkgr {

const std::string& SYSTEM_BIN();   // /usr/bin
const std::string& SYSTEM_SBIN();  // /usr/sbin

// Program name -> SYSTEM_BIN() or SYSTEM_SBIN().
const std::map<std::string, std::string>& system_bin_locations();

// Full path of the program; "" for an empty name; raises a PlainError with
// a stack trace naming the program when no table knows it.
std::string path(const std::string& name);

}  // namespace norvik::pkgr
