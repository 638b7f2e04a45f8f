#include "services/nkdavd.hpp"

#include "server/profile_roles.hpp"
#include "server/role_names.hpp"

namespace norvik::services {

bool is_needed() {
    return server::are_roles_enabled(std::vector<std::string>{server::ROLE_WEB_DISK, server::ROLE_CALENDAR_CONTACT});
}

}  // namespace norvik::services
