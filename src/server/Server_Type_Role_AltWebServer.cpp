#include "server/Server_Type_Role_AltWebServer.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string AltWebServer::_NAME() const { return "Alternate Web Server"; }
std::string AltWebServer::_DESCRIPTION() const { return "Serves web sites through an alternate web server."; }
std::string AltWebServer::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/AltWebServer"; }

}  // namespace norvik::server::type::role
