#pragma once

#include "server/Server_Type_Role.hpp"

namespace norvik::server::type::role {

class Postgres final : public TouchFileRole {
public:
    std::string class_name() const override { return "Norvik::Server::Type::Role::Postgres"; }
    std::string _NAME() const override;
    std::string _DESCRIPTION() const override;
    std::string _TOUCHFILE() const override;
    std::vector<std::string> SERVICES() const override;
    // Only where the database setup says PostgreSQL can run here.
    int _is_available() const override;
};

}  // namespace norvik::server::type::role
