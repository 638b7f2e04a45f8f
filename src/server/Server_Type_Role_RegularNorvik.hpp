#pragma once

#include "server/Server_Type_Role.hpp"

namespace norvik::server::type::role {

class RegularNorvik final : public TouchFileRole {
public:
    std::string class_name() const override { return "Norvik::Server::Type::Role::RegularNorvik"; }
    std::string _NAME() const override;
    std::string _DESCRIPTION() const override;
    std::string _TOUCHFILE() const override;
};

}  // namespace norvik::server::type::role
