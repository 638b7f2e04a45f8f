#include "config/httpd_hx4.hpp"

#include <sys/stat.h>

#include <optional>

#include "foundation/paths.hpp"

namespace norvik::config {
namespace {
std::optional<bool>& cached() {
    // Cache for the run: the flag file is looked at once.
    static std::optional<bool> v;
    return v;
}
}  // namespace

bool is_hx4() {
    if (!cached()) {
        struct stat st {};
        cached() = ::stat(foundation::hx4_flag().c_str(), &st) == 0;
    }
    return *cached();
}

void reset_cache() { cached().reset(); }

}  // namespace norvik::config
