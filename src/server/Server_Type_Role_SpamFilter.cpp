#include "server/Server_Type_Role_SpamFilter.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string SpamFilter::_NAME() const { return "Spam Filter"; }
std::string SpamFilter::_DESCRIPTION() const { return "Scores incoming mail for spam."; }
std::string SpamFilter::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/SpamFilter"; }
std::vector<std::string> SpamFilter::SERVICES() const { return {names::SPAMD}; }

}  // namespace norvik::server::type::role
