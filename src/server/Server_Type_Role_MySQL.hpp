#pragma once

#include "server/Server_Type_Role.hpp"

namespace norvik::server::type::role {

class MySQL final : public TouchFileRole {
public:
    std::string class_name() const override { return "Norvik::Server::Type::Role::MySQL"; }
    std::string _NAME() const override;
    std::string _DESCRIPTION() const override;
    std::string _TOUCHFILE() const override;
    std::vector<std::string> SERVICES() const override;
};

}  // namespace norvik::server::type::role
