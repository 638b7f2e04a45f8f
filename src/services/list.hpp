// The catalogue of monitorable services: a service is catalogued (and so
// enabled) while the service monitor has a file for it.
#pragma once

#include <map>
#include <string>

namespace norvik::services::list {

struct CanonicalService {
    std::string name;
    int enabled = 0;
};

CanonicalService canonicalize_service(const std::string& service, int with_enabled,
                                      const std::map<std::string, std::string>& options = {});

}  // namespace norvik::services::list
