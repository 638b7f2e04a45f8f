#include "services/always_installed.hpp"

#include <algorithm>

#include "server/role_names.hpp"

namespace norvik::services {

namespace names = server;

const std::vector<std::string>& SERVICES() {
    static const std::vector<std::string> list = {
        names::NKSRVD, names::NORVIKLOGD, names::NKQUEUED, names::NKDNSADMIN, names::ZONECTL,
        names::NKIPV6, names::IPALIASES,  names::SHIELD,   names::GREYLIST,   names::NKLOGTAILD,
    };
    return list;
}

bool contains(const std::string& code_name) {
    const auto& l = SERVICES();
    return std::find(l.begin(), l.end(), code_name) != l.end();
}

}  // namespace norvik::services
