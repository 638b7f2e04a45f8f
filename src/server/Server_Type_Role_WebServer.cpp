#include "server/Server_Type_Role_WebServer.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string WebServer::_NAME() const { return "Web Server"; }
std::string WebServer::_DESCRIPTION() const { return "Serves web sites."; }
std::string WebServer::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/WebServer"; }
std::vector<std::string> WebServer::SERVICES() const { return {names::HTTPD, names::APACHE_PHP_FPM}; }

}  // namespace norvik::server::type::role
