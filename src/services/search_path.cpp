#include "services/search_path.hpp"

#include <sys/stat.h>

#include <cstdlib>

namespace norvik::services {

const std::vector<std::string>& path_directories() {
    static const std::vector<std::string> dirs = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                                  "/usr/bin",        "/sbin",          "/bin"};
    return dirs;
}

void setuppath() {
    std::string path;
    for (const auto& d : path_directories()) {
        struct stat st;
        if (::stat(d.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (!path.empty()) path += ':';
        path += d;
    }
    ::setenv("PATH", path.c_str(), 1);
}

}  // namespace norvik::services
