#include "server/Server_Type_Role_RegularNorvik.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string RegularNorvik::_NAME() const { return "Panel Services"; }
std::string RegularNorvik::_DESCRIPTION() const { return "The panel's own interfaces for administrators and users."; }
std::string RegularNorvik::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/RegularNorvik"; }

}  // namespace norvik::server::type::role
