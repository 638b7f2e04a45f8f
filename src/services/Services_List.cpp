#include "services/Services_List.hpp"

#include <sys/stat.h>

#include "foundation/Validate_Service.hpp"
#include "servmon/Servmon_Config.hpp"

namespace norvik::services::list {

CanonicalService canonicalize_service(const std::string& service, int with_enabled,
                                      const std::map<std::string, std::string>& /*options*/) {
    CanonicalService out;
    out.name = service;
    if (!with_enabled || !validate::service::is_valid(service)) return out;
    struct stat st{};
    out.enabled = ::stat((servmon::config::servmon_dir() + "/" + service).c_str(), &st) == 0 ? 1 : 0;
    return out;
}

}  // namespace norvik::services::list
