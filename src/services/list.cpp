#include "services/list.hpp"

#include <sys/stat.h>

#include "foundation/service_name.hpp"
#include "servmon/config.hpp"

namespace norvik::services {

CanonicalService canonicalize_service(const std::string& service, bool with_enabled,
                                      const std::map<std::string, std::string>& /*options*/) {
    CanonicalService out;
    out.name = service;
    if (!with_enabled || !foundation::is_valid_service_name(service)) return out;
    struct stat st {};
    out.enabled = ::stat((servmon::servmon_dir() + "/" + service).c_str(), &st) == 0;
    return out;
}

}  // namespace norvik::services
