#include "config/shield.hpp"

#include "config/nkconf.hpp"

namespace norvik::config {

bool is_shield_enabled() { return config::is_true(config::get(SHIELD_ENABLED_KEY)); }

}  // namespace norvik::config
