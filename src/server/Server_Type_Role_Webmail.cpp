#include "server/Server_Type_Role_Webmail.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string Webmail::_NAME() const { return "Webmail"; }
std::string Webmail::_DESCRIPTION() const { return "Lets users read mail in a browser."; }
std::string Webmail::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/Webmail"; }
std::vector<std::string> Webmail::_SERVICE_SUBDOMAINS() const { return {"webmail"}; }

}  // namespace norvik::server::type::role
