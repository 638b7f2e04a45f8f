// The panel's main configuration, read through the guard: the in-process
// memory cache, else the JSON cache when provably current (its mtime is the
// main file's plus one second), else the main file under its lock (as root).
#pragma once

#include <map>
#include <memory>
#include <string>

namespace norvik::config {

// Key -> value; every value is text as in the main file.
using NkConf = std::map<std::string, std::string>;

// A private copy; the caller may change it.
NkConf loadnkconf();
// The shared map, never changed in place (a reload replaces it).
std::shared_ptr<const NkConf> loadnkconf_not_copy();

// The value of one key ("" when missing).
std::string get(const std::string& key);
// True for a value other than "", "0".
bool is_true(const std::string& value);

}  // namespace norvik::config
