#include "server/Server_Type_Role_WebDisk.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string WebDisk::_NAME() const { return "Web Disk"; }
std::string WebDisk::_DESCRIPTION() const { return "Gives users file access over WebDAV."; }
std::string WebDisk::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/WebDisk"; }
std::vector<std::string> WebDisk::SERVICES() const { return {names::WEBDAV}; }
std::vector<std::string> WebDisk::RESTART_SERVICES() const { return SERVICES(); }
std::vector<std::string> WebDisk::_SERVICE_SUBDOMAINS() const { return {"webdisk"}; }

}  // namespace norvik::server::type::role
