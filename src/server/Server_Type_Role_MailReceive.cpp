#include "server/Server_Type_Role_MailReceive.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string MailReceive::_NAME() const { return "Receive Mail"; }
std::string MailReceive::_DESCRIPTION() const { return "Accepts mail for this server's domains and serves mailboxes."; }
std::string MailReceive::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/MailReceive"; }
std::vector<std::string> MailReceive::SERVICES() const { return {names::MAILSERVER, names::WEBDAV, names::GREYLIST, names::LMTP, names::IMAP, names::MAIL, names::POP}; }
std::vector<std::string> MailReceive::RESTART_SERVICES() const { return {names::WEBDAV}; }

}  // namespace norvik::server::type::role
