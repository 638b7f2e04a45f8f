#include "server/Server_Type_Role_MySQL.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string MySQL::_NAME() const { return "MySQL/MariaDB"; }
std::string MySQL::_DESCRIPTION() const { return "Runs the MySQL or MariaDB database server."; }
std::string MySQL::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/MySQL"; }
std::vector<std::string> MySQL::SERVICES() const { return {names::MYSQL}; }

}  // namespace norvik::server::type::role
