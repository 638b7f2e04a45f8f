// The roles as one table: every role is a touch-file role and the roles
// differ only in their values.
#pragma once

#include <string>
#include <vector>

#include "server/role.hpp"

namespace norvik::server {

struct RoleRecord {
    std::string short_name = {};  // below Norvik::Server::Type::Role::; also its touch file's name
    std::string name = {};
    std::string description = {};
    std::vector<std::string> services = {};
    std::vector<std::string> restart_services = {};
    std::vector<std::string> service_subdomains = {};
    std::vector<std::string> rpm_targets = {};
    bool (*available)() = nullptr;  // nullptr: available everywhere
};

class TableRole final : public TouchFileRole {
public:
    explicit TableRole(const RoleRecord& record) : r_(record) {}
    std::string class_name() const override;
    std::string role_name() const override { return r_.name; }
    std::string role_description() const override { return r_.description; }
    std::string role_touchfile() const override;
    std::vector<std::string> SERVICES() const override { return r_.services; }
    std::vector<std::string> RESTART_SERVICES() const override { return r_.restart_services; }
    std::vector<std::string> role_subdomains() const override { return r_.service_subdomains; }
    std::vector<std::string> role_rpm_targets() const override { return r_.rpm_targets; }
    bool _is_available() const override { return r_.available ? r_.available() : true; }

private:
    const RoleRecord& r_;
};

// Every role, in the registry's order.
const std::vector<RoleRecord>& ROLE_TABLE();

}  // namespace norvik::server
