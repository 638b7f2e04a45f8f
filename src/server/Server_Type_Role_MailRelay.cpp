#include "server/Server_Type_Role_MailRelay.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string MailRelay::_NAME() const { return "Mail Relay"; }
std::string MailRelay::_DESCRIPTION() const { return "Relays outgoing mail through a smart host."; }
std::string MailRelay::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/MailRelay"; }

}  // namespace norvik::server::type::role
