#include "config/set_key.hpp"

#include <unistd.h>

#include "config/nkconf_guard.hpp"
#include "exception/exception.hpp"
#include "log/debug.hpp"

namespace norvik::config {

bool set_main_config_key(const std::string& key, const std::string& value) {
    if (::geteuid() != 0) {
        log::log_warn("Only root can change the main configuration (key “" + key + "”).");
        return false;
    }
    try {
        NkConfGuard::Options o;
        o.use_lock = true;
        o.no_validate = true;
        NkConfGuard guard(o);
        guard.set(key, value);
        guard.save();
        guard.release_lock();
        return true;
    } catch (const std::exception& e) {
        log::log_warn("Failed to save the configuration key “" + key + "”: " + exception::get_string(e));
        return false;
    }
}

}  // namespace norvik::config
