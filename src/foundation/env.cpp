#include "foundation/env.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>

extern char** environ;

namespace norvik::foundation {

const std::vector<std::string>& safe_list() {
    static const std::vector<std::string> list = {
        "PATH",    "TERM", "LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE", "LC_MESSAGES", "LC_COLLATE", "LC_NUMERIC",
        "LC_TIME", "HOME", "USER", "LOGNAME",  "SHELL",  "TZ",       "PWD",         "HOSTNAME",
    };
    return list;
}

void clean_env(const CleanOptions& options) {
    std::set<std::string> allowed(safe_list().begin(), safe_list().end());
    for (const auto& k : options.keep) allowed.insert(k);
    for (const auto& k : options.remove) allowed.erase(k);
    if (options.http_purge) {
        allowed.erase("HTTP_COOKIE");
        allowed.erase("HTTP_AUTHORIZATION");
    }
    std::vector<std::string> drop;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        if (!allowed.count(name)) drop.push_back(name);
    }
    for (const auto& name : drop) ::unsetenv(name.c_str());
}

}  // namespace norvik::foundation
