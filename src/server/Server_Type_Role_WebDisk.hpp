#pragma once

#include "server/Server_Type_Role.hpp"

namespace norvik::server::type::role {

class WebDisk final : public TouchFileRole {
public:
    std::string class_name() const override { return "Norvik::Server::Type::Role::WebDisk"; }
    std::string _NAME() const override;
    std::string _DESCRIPTION() const override;
    std::string _TOUCHFILE() const override;
    std::vector<std::string> SERVICES() const override;
    std::vector<std::string> RESTART_SERVICES() const override;
    std::vector<std::string> _SERVICE_SUBDOMAINS() const override;
};

}  // namespace norvik::server::type::role
