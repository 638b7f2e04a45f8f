#include "services/phpfpm.hpp"

#include <dirent.h>

#include <algorithm>

#include "foundation/find_bin.hpp"
#include "foundation/paths.hpp"

namespace norvik::services {

std::vector<std::string> get_phpfpm_versions() {
    std::vector<std::string> out;
    const std::string base = foundation::phpfpm_base_dir();
    DIR* d = ::opendir(base.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        if (foundation::is_executable(base + "/" + name + "/sbin/php-fpm")) out.push_back(name);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace norvik::services
