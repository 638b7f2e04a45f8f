#include "server/Server_Type_Role_Postgres.hpp"

#include "server/Server_Type_GlobalFlag.hpp"
#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string Postgres::_NAME() const { return "PostgreSQL"; }
std::string Postgres::_DESCRIPTION() const { return "Runs the PostgreSQL database server."; }
std::string Postgres::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/Postgres"; }
std::vector<std::string> Postgres::SERVICES() const { return {names::POSTGRESQL}; }
int Postgres::_is_available() const {
    auto flag = global_flag(names::DB_GLOBAL_CACHE, names::DB_GLOBAL_CACHE_POSTGRES_KEY);
    return flag.value_or(false) ? 1 : 0;
}

}  // namespace norvik::server::type::role
