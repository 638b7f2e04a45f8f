#include "server/profile.hpp"

#include <algorithm>

#include "exception/exception.hpp"
#include "server/server_type.hpp"
#include "server/profile_constants.hpp"
#include "server/role.hpp"
#include "server/role_names.hpp"

namespace norvik::server {
namespace {

std::string R(const char* short_name) { return std::string(server::ROLE_NAMESPACE) + short_name; }

std::vector<std::string> with_all(std::vector<std::string> specific) {
    for (const auto& r : ENABLED_IN_ALL_PROFILES()) specific.push_back(r);
    return specific;
}

Meta& meta_storage() {
    // Profile table, extended once by the descriptions merged into it.
    static Meta m = [] {
        Meta t;
        t[server::STANDARD] = ProfileMeta{all_roles(), {}, 0, std::nullopt, std::nullopt};
        t[server::DNSNODE] = ProfileMeta{with_all({R(server::ROLE_DNS)}),
                                         {R(server::ROLE_MYSQL), R(server::ROLE_MAIL_RECEIVE)},
                                         0,
                                         std::nullopt,
                                         std::nullopt};
        t[server::MAILNODE] = ProfileMeta{
            with_all({R(server::ROLE_MAIL_RECEIVE), R(server::ROLE_SPAM_FILTER), R(server::ROLE_WEBMAIL),
                      R(server::ROLE_CALENDAR_CONTACT)}),
            {R(server::ROLE_MYSQL), R(server::ROLE_POSTGRES), R(server::ROLE_DNS), R(server::ROLE_WEB_DISK)},
            0,
            std::nullopt,
            std::nullopt};
        t[server::DATABASENODE] =
            ProfileMeta{with_all({R(server::ROLE_MYSQL)}), {R(server::ROLE_POSTGRES)}, 1, std::nullopt, std::nullopt};
        return t;
    }();
    return m;
}

bool& descriptions_merged() {
    // Whether the descriptions were merged into the profile table yet.
    static bool v = false;
    return v;
}

std::optional<std::string>& current_profile() {
    // Cache for the run: the profile is worked out once.
    static std::optional<std::string> v;
    return v;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

const ProfileMeta& meta_for(const std::string& profile) {
    const auto& m = get_meta();
    auto it = m.find(profile);
    if (it == m.end()) throw PlainError("The server profile “" + profile + "” does not exist.");
    return it->second;
}

// Texts shown by the panel's profile chooser.
const std::map<std::string, std::pair<std::string, std::string>>& descriptions() {
    static const std::map<std::string, std::pair<std::string, std::string>> d = {
        {server::STANDARD, {"Standard", "A full server with every role."}},
        {server::DNSNODE, {"DNS Node", "A server dedicated to serving DNS."}},
        {server::MAILNODE, {"Mail Node", "A server dedicated to receiving and serving mail."}},
        {server::DATABASENODE, {"Database Node", "A server dedicated to databases."}},
    };
    return d;
}

}  // namespace

const std::vector<std::string>& all_roles() {
    static const std::vector<std::string> roles = {
        R(server::ROLE_BACKUP_AGENT),
        R(server::ROLE_REGULAR_NORVIK),
        R(server::ROLE_MAIL_LOCAL),
        R(server::ROLE_ALT_WEB_SERVER),
        R(server::ROLE_RESELLER),
        R(server::ROLE_MAIL_SEND),
        R(server::ROLE_CALENDAR_CONTACT),
        R(server::ROLE_DNS),
        R(server::ROLE_FTP),
        R(server::ROLE_FILE_STORAGE),
        R(server::ROLE_MAIL_RECEIVE),
        R(server::ROLE_MAIL_RELAY),
        R(server::ROLE_MYSQL),
        R(server::ROLE_POSTGRES),
        R(server::ROLE_SPAM_FILTER),
        R(server::ROLE_WEB_DISK),
        R(server::ROLE_WEB_SERVER),
        R(server::ROLE_WEBMAIL),
    };
    return roles;
}

std::vector<std::string> get_all_possible_roles() { return all_roles(); }

const std::vector<std::string>& ENABLED_IN_ALL_PROFILES() {
    static const std::vector<std::string> roles = {R(server::ROLE_BACKUP_AGENT), R(server::ROLE_REGULAR_NORVIK),
                                                   R(server::ROLE_MAIL_LOCAL),   R(server::ROLE_ALT_WEB_SERVER),
                                                   R(server::ROLE_RESELLER),     R(server::ROLE_MAIL_SEND)};
    return roles;
}

bool is_enabled_in_all_profiles(const std::string& full) { return contains(ENABLED_IN_ALL_PROFILES(), full); }

const Meta& get_meta() {
    if (descriptions_merged()) {
        for (auto& [name, m] : meta_storage()) {
            m.name.reset();
            m.description.reset();
        }
        descriptions_merged() = false;
    }
    return meta_storage();
}

const Meta& get_meta_with_descriptions() {
    if (!descriptions_merged()) {
        for (const auto& [profile, d] : descriptions()) {
            auto it = meta_storage().find(profile);
            if (it == meta_storage().end()) continue;
            it->second.name = d.first;
            it->second.description = d.second;
        }
        descriptions_merged() = true;
    }
    return meta_storage();
}

void _reset_cache() { current_profile().reset(); }

std::string get_current_profile() {
    if (current_profile()) return *current_profile();
    const std::string product = get_producttype();
    if (!product.empty() && product != server::STANDARD) return *(current_profile() = product);
    std::map<std::string, bool> state;
    auto enabled = [&state](const std::string& role) {
        auto it = state.find(role);
        if (it != state.end()) return it->second;
        return state[role] = get_role(role).is_enabled();
    };
    for (const auto& [name, m] : get_meta()) {
        if (name == server::STANDARD) continue;
        bool match = true;
        if (auto disabled = get_disabled_roles_for_profile(name)) {
            for (const auto& r : *disabled)
                if (enabled(r)) {
                    match = false;
                    break;
                }
        }
        if (match) {
            for (const auto& r : m.enabled_roles)
                if (!enabled(r)) {
                    match = false;
                    break;
                }
        }
        if (match) return *(current_profile() = name);
    }
    return *(current_profile() = server::STANDARD);
}

bool current_profile_matches(const std::vector<std::string>& profiles) {
    return contains(profiles, get_current_profile());
}
bool current_profile_matches(const std::string& profile) { return current_profile_matches(std::vector{profile}); }
bool is_valid_for_profile(const std::string& profile) { return current_profile_matches(profile); }
bool is_valid_for_profile(const foundation::MatchRule& rule) {
    return foundation::match_any_all(rule, [](const std::string& p) { return current_profile_matches(p); });
}

std::optional<std::vector<std::string>> get_disabled_roles_for_profile(const std::string& profile) {
    const auto& m = meta_for(profile);
    std::vector<std::string> out;
    for (const auto& r : all_roles())
        if (!contains(m.enabled_roles, r) && !contains(m.optional_roles, r)) out.push_back(r);
    if (out.empty()) return std::nullopt;
    return out;
}

std::vector<std::string> get_service_subdomains_for_profile(const std::string& profile) {
    const auto& m = meta_for(profile);
    std::vector<std::string> out;
    for (const auto* list : {&m.enabled_roles, &m.optional_roles})
        for (const auto& r : *list)
            for (const auto& s : get_role(r).SERVICE_SUBDOMAINS()) out.push_back(s);
    return out;
}

}  // namespace norvik::server
