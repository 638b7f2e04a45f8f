// The catalogue of monitorable services: a service is catalogued (and so
// enabled) while the service monitor has a file for it.
#pragma once

#include <map>
#include <string>

namespace norvik::services {

struct CanonicalService {
    std::string name;
    bool enabled = false;
};

CanonicalService canonicalize_service(const std::string& service, bool with_enabled,
                                      const std::map<std::string, std::string>& options = {});

}  // namespace norvik::services
