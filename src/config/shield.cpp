#include "config/shield.hpp"

#include "config/nkconf.hpp"

namespace norvik::config::shield {

bool is_enabled() { return loadnkconf::is_true(loadnkconf::get(ENABLED_KEY)); }

}  // namespace norvik::config::shield
