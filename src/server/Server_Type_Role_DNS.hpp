#pragma once

#include "server/Server_Type_Role.hpp"

namespace norvik::server::type::role {

class DNS final : public TouchFileRole {
public:
    std::string class_name() const override { return "Norvik::Server::Type::Role::DNS"; }
    std::string _NAME() const override;
    std::string _DESCRIPTION() const override;
    std::string _TOUCHFILE() const override;
    std::vector<std::string> SERVICES() const override;
    std::vector<std::string> _RPM_TARGETS() const override;
};

}  // namespace norvik::server::type::role
