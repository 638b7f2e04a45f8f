#pragma once

#include <map>
#include <string>
#include <vector>

namespace norvik::server {

inline constexpr const char* STANDARD = "STANDARD";
inline constexpr const char* DNSNODE = "DNSNODE";
inline constexpr const char* MAILNODE = "MAILNODE";
inline constexpr const char* DATABASENODE = "DATABASENODE";
inline constexpr const char* DNSONLY = "DNSONLY";

const std::map<std::string, std::vector<std::string>>& PROFILE_CHILD_WORKLOADS();

// True for one of the five names.
bool is_profile_name(const std::string& name);

}  // namespace norvik::server
