// Per-process role states: class name -> 0/1.
#pragma once

#include <optional>
#include <string>

namespace norvik::server::type::role::enabledcache {

// Stores and returns value; a value other than 0/1 or a class name that is
// not a role class name is a programming error (std::logic_error with a
// stack trace).
int set(const std::string& class_name, int value);
std::optional<int> get(const std::string& class_name);
void unset(const std::string& class_name);
void _unset_all();

}  // namespace norvik::server::type::role::enabledcache
