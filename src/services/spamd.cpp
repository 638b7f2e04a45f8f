#include "services/spamd.hpp"

#include "config/nkconf.hpp"
#include "server/role_names.hpp"
#include "services/enabled.hpp"

namespace norvik::services {

std::optional<bool> is_spamd_enabled() {
    if (config::is_true(config::get(SKIP_KEY))) return false;
    return services::_check_for_disabled_file(server::SPAMD).value_or(true);
}

}  // namespace norvik::services
