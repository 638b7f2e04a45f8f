#include "server/Server_Type_Role_FileStorage.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string FileStorage::_NAME() const { return "File Storage"; }
std::string FileStorage::_DESCRIPTION() const { return "Stores user files for other servers."; }
std::string FileStorage::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/FileStorage"; }

}  // namespace norvik::server::type::role
