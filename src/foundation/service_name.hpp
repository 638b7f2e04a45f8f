// Service names become file names (lock files, suspension files, disable
// files) and arguments of outside commands, so they are checked first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace norvik::foundation {

// Longest name accepted; no real service name comes near it.
inline constexpr std::size_t MAX_SERVICE_NAME_LENGTH = 64;

// True when `name` is 1..MAX_LENGTH characters of [A-Za-z0-9_-] and does not
// start with '-' (so it can never be read as an option).
// '.' and '/' are never allowed.
bool is_valid_service_name(std::string_view name);

// True when c is one of the allowed characters.
bool is_service_name_char(char c);

}  // namespace norvik::foundation
