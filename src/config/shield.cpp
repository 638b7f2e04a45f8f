#include "config/shield.hpp"

#include "config/nkconf.hpp"

namespace norvik::config::shield {

int is_enabled() { return loadnkconf::is_true(loadnkconf::get(ENABLED_KEY)) ? 1 : 0; }

}  // namespace norvik::config::shield
