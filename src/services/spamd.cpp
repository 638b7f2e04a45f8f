#include "services/spamd.hpp"

#include "config/nkconf.hpp"
#include "server/role_names.hpp"
#include "services/enabled.hpp"

namespace norvik::services::enabled::spamd {

std::optional<bool> is_enabled() {
    if (config::loadnkconf::is_true(config::loadnkconf::get(SKIP_KEY))) return false;
    return enabled::_check_for_disabled_file(server::type::names::SPAMD).value_or(true);
}

}  // namespace norvik::services::enabled::spamd
