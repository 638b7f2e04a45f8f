#include "services/db_utils.hpp"

#include <dirent.h>

#include <algorithm>
#include <vector>

#include "foundation/find_bin.hpp"

namespace norvik::services {
namespace {

// Versioned program directories such as /usr/lib/postgresql/16/bin.
std::vector<std::string> versioned_dirs(const std::string& base, const std::string& prefix, const std::string& tail) {
    std::vector<std::string> out;
    DIR* d = ::opendir(base.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name[0] == '.' || name.rfind(prefix, 0) != 0) continue;
        out.push_back(base + "/" + name + tail);
    }
    ::closedir(d);
    // Newest version first.
    std::sort(out.begin(), out.end(), std::greater<>());
    return out;
}

}  // namespace

std::string find_mysqld() {
    const std::vector<std::string> extra = {"/usr/libexec"};
    for (const char* name : {"mysqld", "mariadbd"}) {
        std::string p = foundation::findbin(name, extra);
        if (!p.empty()) return p;
    }
    return "";
}

std::string find_postmaster() {
    std::vector<std::string> extra = versioned_dirs("/usr/lib/postgresql", "", "/bin");
    auto rh = versioned_dirs("/usr", "pgsql-", "/bin");
    extra.insert(extra.end(), rh.begin(), rh.end());
    for (const char* name : {"postmaster", "postgres"}) {
        std::string p = foundation::findbin(name, extra);
        if (!p.empty()) return p;
    }
    return "";
}

}  // namespace norvik::services
