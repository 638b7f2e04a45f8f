// Profiles: which roles a server of each kind has enabled, may have, and
// (by omission) must not have; and the detection of the current profile.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "foundation/any_all_matcher.hpp"

namespace norvik::server {

struct ProfileMeta {
    std::vector<std::string> enabled_roles;  // full class names
    std::vector<std::string> optional_roles;
    int experimental = 0;
    // Filled only by get_meta_with_descriptions().
    std::optional<std::string> name;
    std::optional<std::string> description;
};

using Meta = std::map<std::string, ProfileMeta>;

const std::vector<std::string>& all_roles();
std::vector<std::string> get_all_possible_roles();
const std::vector<std::string>& ENABLED_IN_ALL_PROFILES();
bool is_enabled_in_all_profiles(const std::string& full_class_name);

// The shared table, without the description fields.
const Meta& get_meta();
const Meta& get_meta_with_descriptions();

// Cached for the life of the process.
std::string get_current_profile();
void _reset_cache();

bool current_profile_matches(const std::vector<std::string>& profiles);
bool current_profile_matches(const std::string& profile);
bool is_valid_for_profile(const std::string& profile);
bool is_valid_for_profile(const foundation::MatchRule& rule);

// nullopt when the profile disables no role; PlainError for an unknown profile.
std::optional<std::vector<std::string>> get_disabled_roles_for_profile(const std::string& profile);
std::vector<std::string> get_service_subdomains_for_profile(const std::string& profile);

}  // namespace norvik::server
