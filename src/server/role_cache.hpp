// Per-process role states: class name -> enabled.
#pragma once

#include <optional>
#include <string>

namespace norvik::server {

// Stores and returns value; a class name that is not a role class name is a
// programming error (std::logic_error with a stack trace).
bool set(const std::string& class_name, bool value);
std::optional<bool> get(const std::string& class_name);
void unset(const std::string& class_name);
void _unset_all();

}  // namespace norvik::server
