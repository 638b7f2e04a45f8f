#include "server/role.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "server/server_type.hpp"
#include "server/profile.hpp"
#include "server/profile_constants.hpp"
#include "server/role_cache.hpp"
#include "server/role_names.hpp"
#include "server/role_table.hpp"

namespace norvik::server {
namespace {

const std::map<std::string, std::unique_ptr<Role>>& registry() {
    static const auto reg = [] {
        std::map<std::string, std::unique_ptr<Role>> m;
        auto add = [&m](std::unique_ptr<Role> r) {
            auto name = r->class_name();
            m.emplace(std::move(name), std::move(r));
        };
        for (const auto& record : server::ROLE_TABLE()) add(std::make_unique<server::TableRole>(record));
        return m;
    }();
    return reg;
}

std::map<std::string, int>& available_cache() {
    // Cache for the run: availability per role class.
    static std::map<std::string, int> c;
    return c;
}

bool contains(const std::vector<std::string>& v, const std::string& s) {
    for (const auto& x : v)
        if (x == s) return true;
    return false;
}

}  // namespace

std::string role_class_name(const std::string& name) {
    if (name.rfind(server::ROLE_NAMESPACE, 0) == 0) return name;
    return std::string(server::ROLE_NAMESPACE) + name;
}

const Role* find_role(const std::string& name) {
    auto it = registry().find(role_class_name(name));
    return it == registry().end() ? nullptr : it->second.get();
}

const Role& get_role(const std::string& name) {
    if (const Role* r = find_role(name)) return *r;
    throw PlainError("Cannot load the role class “" + role_class_name(name) + "”.");
}

void reset_available_cache() { available_cache().clear(); }

std::string Role::short_name() const {
    const std::string c = class_name();
    const auto pos = c.rfind("::");
    return pos == std::string::npos ? c : c.substr(pos + 2);
}

bool Role::is_enabled() const {
    const std::string cls = class_name();
    const std::string product = get_producttype();
    if (product == server::DNSONLY) return server::set(cls, true);
    if (product != server::STANDARD) {
        const auto& meta = server::get_meta();
        auto it = meta.find(product);
        if (it != meta.end()) {
            if (contains(it->second.enabled_roles, cls)) return server::set(cls, true);
            if (!contains(it->second.optional_roles, cls)) return server::set(cls, false);
        }
    }
    if (auto cached = server::get(cls)) return *cached;
    return server::set(cls, is_available() && _is_enabled());
}

bool Role::is_available() const {
    const std::string cls = class_name();
    auto& c = available_cache();
    auto it = c.find(cls);
    if (it != c.end()) return it->second;
    const bool v = _is_available();
    c[cls] = v;
    return v;
}

void Role::verify_enabled() const {
    if (is_enabled()) return;
    exception::raise("System::RoleIsDisabled",
                     nlohmann::json{{"role", short_name()},
                                    {"message", "The server role “" + short_name() + "” is disabled on this server."}});
}

bool Role::_is_enabled() const {
    exception::raise("AbstractClass", "“[_1]” is an abstract class and does not implement “[_2]”.",
                     {"Norvik::Server::Type::Role", "_is_enabled"});
}

std::string Role::role_name() const {
    exception::raise("AbstractClass", "“[_1]” is an abstract class and does not implement “[_2]”.",
                     {"Norvik::Server::Type::Role", "_NAME"});
}

std::string TouchFileRole::ROLES_TOUCHFILE_BASE_PATH() { return foundation::role_touch_dir(); }

std::string TouchFileRole::role_touchfile() const {
    exception::raise("AbstractClass", "“[_1]” is an abstract class and does not implement “[_2]”.",
                     {"Norvik::Server::Type::Role::TouchFileRole", "_TOUCHFILE"});
}

bool TouchFileRole::check_touchfile() const {
    const std::string path = role_touchfile();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return true;
    const int err = errno;
    if (err == ENOENT) return false;
    exception::raise("IO::FileAccessError", nlohmann::json{{"path", path},
                                                           {"error", std::strerror(err)},
                                                           {"message", "The system failed to check whether “" + path +
                                                                           "” exists: " + std::strerror(err)}});
}

}  // namespace norvik::server
