#include "server/Server_Type_Role_BackupAgent.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string BackupAgent::_NAME() const { return "Backup Agent"; }
std::string BackupAgent::_DESCRIPTION() const { return "Receives and stores backups sent by other servers."; }
std::string BackupAgent::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/BackupAgent"; }

}  // namespace norvik::server::type::role
