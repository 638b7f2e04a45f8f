#include "server/Server_Type_Role_MailLocal.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string MailLocal::_NAME() const { return "Local Mail"; }
std::string MailLocal::_DESCRIPTION() const { return "Delivers mail between the accounts of this server."; }
std::string MailLocal::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/MailLocal"; }
std::vector<std::string> MailLocal::SERVICES() const { return {names::MTA, names::LMTP}; }

}  // namespace norvik::server::type::role
