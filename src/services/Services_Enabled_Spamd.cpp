#include "services/Services_Enabled_Spamd.hpp"

#include "config/Config_LoadNkConf.hpp"
#include "server/Server_Type_Role_Names.hpp"
#include "services/Services_Enabled.hpp"

namespace norvik::services::enabled::spamd {

std::optional<int> is_enabled() {
    if (config::loadnkconf::is_true(config::loadnkconf::get(SKIP_KEY))) return 0;
    const int files = enabled::_check_for_disabled_file(server::type::names::SPAMD);
    return files == 0 ? 0 : 1;
}

}  // namespace norvik::services::enabled::spamd
