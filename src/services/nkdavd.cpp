#include "services/nkdavd.hpp"

#include "server/profile_roles.hpp"
#include "server/role_names.hpp"

namespace norvik::serviceconfig::nkdavd {

bool is_needed() {
    namespace n = server::type::names;
    return server::type::profile::roles::are_roles_enabled(
        std::vector<std::string>{n::ROLE_WEB_DISK, n::ROLE_CALENDAR_CONTACT});
}

}  // namespace norvik::serviceconfig::nkdavd
