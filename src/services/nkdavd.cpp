#include "services/nkdavd.hpp"

#include "server/profile_roles.hpp"
#include "server/role_names.hpp"

namespace norvik::services {

bool is_needed() {
    namespace n = server;
    return server::are_roles_enabled(std::vector<std::string>{n::ROLE_WEB_DISK, n::ROLE_CALENDAR_CONTACT});
}

}  // namespace norvik::services
