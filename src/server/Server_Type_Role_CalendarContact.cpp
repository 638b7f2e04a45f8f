#include "server/Server_Type_Role_CalendarContact.hpp"

#include "server/Server_Type_Role_Names.hpp"

namespace norvik::server::type::role {

std::string CalendarContact::_NAME() const { return "Calendars and Contacts"; }
std::string CalendarContact::_DESCRIPTION() const { return "Shares calendars and address books."; }
std::string CalendarContact::_TOUCHFILE() const { return ROLES_TOUCHFILE_BASE_PATH() + "/CalendarContact"; }
std::vector<std::string> CalendarContact::SERVICES() const { return {names::WEBDAV}; }
std::vector<std::string> CalendarContact::RESTART_SERVICES() const { return {names::WEBDAV}; }
std::vector<std::string> CalendarContact::_SERVICE_SUBDOMAINS() const { return {"calendars", "contacts"}; }

}  // namespace norvik::server::type::role
