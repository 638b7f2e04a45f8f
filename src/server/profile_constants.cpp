#include "server/profile_constants.hpp"

namespace norvik::server {

const std::map<std::string, std::vector<std::string>>& PROFILE_CHILD_WORKLOADS() {
    static const std::map<std::string, std::vector<std::string>> m = {{MAILNODE, {"Mail"}}};
    return m;
}

bool is_profile_name(const std::string& name) {
    return name == STANDARD || name == DNSNODE || name == MAILNODE || name == DATABASENODE || name == DNSONLY;
}

}  // namespace norvik::server
