#include "services/always_installed.hpp"

#include <algorithm>

#include "server/role_names.hpp"

namespace norvik::services {

const std::vector<std::string>& SERVICES() {
    static const std::vector<std::string> list = {
        server::NKSRVD, server::NORVIKLOGD, server::NKQUEUED, server::NKDNSADMIN, server::ZONECTL,
        server::NKIPV6, server::IPALIASES,  server::SHIELD,   server::GREYLIST,   server::NKLOGTAILD,
    };
    return list;
}

bool contains(const std::string& code_name) {
    const auto& l = SERVICES();
    return std::find(l.begin(), l.end(), code_name) != l.end();
}

}  // namespace norvik::services
