#include "config/greylist.hpp"

#include "config/nkconf.hpp"
#include "config/set_key.hpp"

namespace norvik::config {

bool is_greylist_enabled() { return norvik::config::is_true(norvik::config::get(GREYLIST_ENABLED_KEY)); }

bool disable() { return norvik::config::set_main_config_key(GREYLIST_ENABLED_KEY, "0"); }

}  // namespace norvik::config
