// Role queries by short name ("DNS", "MailReceive") and the check whether a
// service may run on this server.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "foundation/any_all_matcher.hpp"

namespace norvik::server {

inline constexpr const char* MATCH_ALL = foundation::MATCH_ALL;
inline constexpr const char* MATCH_ANY = foundation::MATCH_ANY;
inline constexpr const char* MATCH_DEFAULT = MATCH_ALL;

struct RolesSpec {
    std::vector<std::string> roles;
    std::string match = MATCH_DEFAULT;
};

bool is_role_enabled(const std::string& role);
bool are_roles_enabled(const std::string& role);
bool are_roles_enabled(const RolesSpec& rule);
// Several names: any of them.
bool are_roles_enabled(const std::vector<std::string>& roles);

// 1, or raises Norvik::Exception::System::RequiredRoleDisabled.
int verify_roles_enabled(const std::string& role);
int verify_roles_enabled(const RolesSpec& rule);

// 1 when the service belongs to no role or one of its roles is enabled.
bool is_service_allowed(const std::string& service);
// Short names of the roles that list the service (an alias counts as the
// service it names), in role order.
std::vector<std::string> roles_of_service(const std::string& service);

std::map<std::string, bool> get_optional_roles_for_profile(const std::string& profile);

}  // namespace norvik::server
