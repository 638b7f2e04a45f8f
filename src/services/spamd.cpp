#include "services/spamd.hpp"

#include "config/nkconf.hpp"
#include "server/role_names.hpp"
#include "services/enabled.hpp"

namespace norvik::services::enabled::spamd {

std::optional<int> is_enabled() {
    if (config::loadnkconf::is_true(config::loadnkconf::get(SKIP_KEY))) return 0;
    const int files = enabled::_check_for_disabled_file(server::type::names::SPAMD);
    return files == 0 ? 0 : 1;
}

}  // namespace norvik::services::enabled::spamd
