#include "server/Server_Type_Role_FTP.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string FTP::_NAME() const { return "FTP"; }
std::string FTP::_DESCRIPTION() const { return "Gives users file transfer access."; }
std::string FTP::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/FTP"; }
std::vector<std::string> FTP::SERVICES() const { return {names::FTPD, names::PURE_FTPD, names::PROFTPD}; }

}  // namespace norvik::server::type::role
