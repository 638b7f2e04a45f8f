#include "server/Server_Type_Role_MailSend.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string MailSend::_NAME() const { return "Send Mail"; }
std::string MailSend::_DESCRIPTION() const { return "Sends mail from this server."; }
std::string MailSend::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/MailSend"; }
std::vector<std::string> MailSend::SERVICES() const { return {names::MTA, names::MTA_ALTPORT}; }

}  // namespace norvik::server::type::role
