#include "server/profile_roles.hpp"

#include <algorithm>

#include "exception/exception.hpp"
#include "server/profile.hpp"
#include "server/role.hpp"
#include "server/role_names.hpp"

namespace norvik::server {

bool is_role_enabled(const std::string& role) {
    if (is_enabled_in_all_profiles(role)) return true;
    return get_role(role).is_enabled();
}

bool are_roles_enabled(const std::string& role) { return is_role_enabled(role); }

bool are_roles_enabled(const RolesSpec& rule) {
    return foundation::match_any_all(foundation::MatchRule{rule.roles, rule.match},
                                     [](const std::string& r) { return is_role_enabled(r); });
}

bool are_roles_enabled(const std::vector<std::string>& roles) { return are_roles_enabled(RolesSpec{roles, MATCH_ANY}); }

int verify_roles_enabled(const std::string& role) {
    if (is_enabled_in_all_profiles(role)) return 1;
    get_role(role).verify_enabled();
    return 1;
}

int verify_roles_enabled(const RolesSpec& rule) {
    foundation::check_match_mode(rule.match);
    std::vector<std::string> disabled;
    for (const auto& r : rule.roles)
        if (!is_role_enabled(r)) disabled.push_back(r);
    const bool fail =
        rule.match == MATCH_ALL ? !disabled.empty() : (!rule.roles.empty() && disabled.size() == rule.roles.size());
    if (!fail) return 1;
    std::string list;
    for (const auto& r : disabled) list += (list.empty() ? "" : ", ") + r;
    exception::raise("System::RequiredRoleDisabled",
                     nlohmann::json{{"roles", disabled},
                                    {"message", "This feature needs server roles that are disabled: " + list + "."}});
}

std::vector<std::string> roles_of_service(const std::string& service_in) {
    // Roles list services under their own names, as the enabled test judges them.
    const std::string service = server::canonical_service(service_in);
    std::vector<std::string> out;
    for (const auto& cls : all_roles()) {
        const Role& r = get_role(cls);
        const auto services = r.SERVICES();
        if (std::find(services.begin(), services.end(), service) != services.end()) out.push_back(r.short_name());
    }
    return out;
}

bool is_service_allowed(const std::string& service) {
    const auto roles = roles_of_service(service);
    if (roles.empty()) return true;
    for (const auto& r : roles)
        if (get_role(r).is_enabled()) return true;
    return false;
}

std::map<std::string, bool> get_optional_roles_for_profile(const std::string& profile) {
    const auto& m = get_meta();
    auto it = m.find(profile);
    if (it == m.end()) exception::raise("InvalidParameter", "The server profile “[_1]” does not exist.", {profile});
    std::map<std::string, bool> out;
    for (const auto& cls : it->second.optional_roles) out[cls] = is_role_enabled(get_role(cls).short_name());
    return out;
}

}  // namespace norvik::server
