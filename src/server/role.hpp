// A role: a named capability of the server (DNS, receiving mail, a database
// ...), the services that belong to it, and whether it is switched on.
// Every role class has one shared instance (get_role); all state is kept per
// class name.
#pragma once

#include <string>
#include <vector>

namespace norvik::server {

class Role {
public:
    virtual ~Role() = default;

    // "Norvik::Server::Type::Role::<Short>".
    virtual std::string class_name() const = 0;
    std::string short_name() const;

    // Cached per class in EnabledCache.
    bool is_enabled() const;
    // _is_available(), computed once per class.
    bool is_available() const;
    // Raises Norvik::Exception::System::RoleIsDisabled (param "role") when off.
    void verify_enabled() const;

    virtual std::vector<std::string> SERVICES() const { return {}; }
    virtual std::vector<std::string> RESTART_SERVICES() const { return {}; }
    std::vector<std::string> SERVICE_SUBDOMAINS() const { return role_subdomains(); }
    std::vector<std::string> RPM_TARGETS() const { return role_rpm_targets(); }

    virtual bool _is_available() const { return true; }
    // Base: raises the not-implemented exception.
    virtual bool _is_enabled() const;
    virtual std::string role_name() const;
    virtual std::string role_description() const { return role_name(); }
    virtual std::vector<std::string> role_subdomains() const { return {}; }
    virtual std::vector<std::string> role_rpm_targets() const { return {}; }
};

// A role switched off by the existence of its touch file.
class TouchFileRole : public Role {
public:
    static std::string ROLES_TOUCHFILE_BASE_PATH();
    bool _is_enabled() const override { return !check_touchfile(); }
    // True when the touch file exists; an existence test failing other than
    // with ENOENT raises IO::FileAccessError.
    bool check_touchfile() const;
    // Base: raises the not-implemented exception.
    virtual std::string role_touchfile() const;
};

// The role by full class name or short name; PlainError ("cannot load")
// for an unknown one.
const Role& get_role(const std::string& name);
// nullptr for an unknown role.
const Role* find_role(const std::string& name);
std::string role_class_name(const std::string& name);  // short -> full

// Forgets the availability answers (tests only).
void reset_available_cache();

}  // namespace norvik::server
