#include "foundation/find_bin.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace norvik::foundation {
namespace {
std::vector<std::string>& override_dirs() {
    // Test seam: the directories searched for programs.
    static std::vector<std::string> dirs;
    return dirs;
}
}  // namespace

const std::vector<std::string>& standard_dirs() {
    static const std::vector<std::string> dirs = {"/usr/local/sbin", "/usr/local/bin", "/usr/sbin",
                                                  "/usr/bin",        "/sbin",          "/bin"};
    return override_dirs().empty() ? dirs : override_dirs();
}

void set_dirs_for_testing(std::vector<std::string> dirs) { override_dirs() = std::move(dirs); }

bool is_executable(const std::string& path) {
    if (path.empty()) return false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

std::string findbin(const std::string& name, const std::vector<std::string>& extra_dirs) {
    if (name.empty() || name.find('/') != std::string::npos) return "";
    for (const auto& d : extra_dirs)
        if (is_executable(d + "/" + name)) return d + "/" + name;
    for (const auto& d : standard_dirs())
        if (is_executable(d + "/" + name)) return d + "/" + name;
    return "";
}

}  // namespace norvik::foundation
