#include "services/Services_AlwaysInstalled.hpp"

#include <algorithm>

namespace norvik::services::alwaysinstalled {

const std::vector<std::string>& SERVICES() {
    static const std::vector<std::string> list = {
        "nksrvd",      "norviklogd", "nkqueued",  "nkdnsadmin", "nkzonectl",
        "nkipv6",      "ipaliases",  "nkshieldd", "nkgreylistd", "nklogtaild",
    };
    return list;
}

bool contains(const std::string& code_name) {
    const auto& l = SERVICES();
    return std::find(l.begin(), l.end(), code_name) != l.end();
}

}  // namespace norvik::services::alwaysinstalled
