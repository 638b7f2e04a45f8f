#include "server/Server_Type_Role_Reseller.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string Reseller::_NAME() const { return "Resellers"; }
std::string Reseller::_DESCRIPTION() const { return "Lets resellers create and manage their own accounts."; }
std::string Reseller::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/Reseller"; }

}  // namespace norvik::server::type::role
