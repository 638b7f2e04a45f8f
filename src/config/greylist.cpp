#include "config/greylist.hpp"

#include "config/nkconf.hpp"
#include "config/set_key.hpp"

namespace norvik::greylist::config {

bool is_enabled() { return norvik::config::loadnkconf::is_true(norvik::config::loadnkconf::get(ENABLED_KEY)); }

bool disable() { return norvik::config::set_main_config_key(ENABLED_KEY, "0"); }

}  // namespace norvik::greylist::config
