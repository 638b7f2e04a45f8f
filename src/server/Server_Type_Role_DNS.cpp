#include "server/Server_Type_Role_DNS.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string DNS::_NAME() const { return "DNS"; }
std::string DNS::_DESCRIPTION() const { return "Serves the DNS zones of this server's domains."; }
std::string DNS::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/DNS"; }
std::vector<std::string> DNS::SERVICES() const { return {names::DNS, names::NAMED, names::BIND, names::ZONECTL, names::PDNS}; }
std::vector<std::string> DNS::_RPM_TARGETS() const { return {names::PDNS}; }

}  // namespace norvik::server::type::role
