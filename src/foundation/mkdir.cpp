#include "foundation/mkdir.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace norvik::foundation {
namespace {

int one(const std::string& path, mode_t mode, bool last) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return 0;
        // A parent may legitimately be a link (e.g. /var -> /private/var);
        // the final directory may not.
        if (!last && S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
        return S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
    }
    if (errno != ENOENT) return errno;
    if (::mkdir(path.c_str(), mode) != 0) {
        if (errno != EEXIST) return errno;
        return one(path, mode, last);
    }
    // mkdir applies the umask; set the exact bits.
    if (::chmod(path.c_str(), mode) != 0) return errno;
    return 0;
}

}  // namespace

int make_dir_p(const std::string& dir, mode_t mode, mode_t parent_mode) {
    if (dir.empty()) return ENOENT;
    size_t pos = 0;
    while (true) {
        pos = dir.find('/', pos + 1);
        const bool last = pos == std::string::npos;
        std::string partial = last ? dir : dir.substr(0, pos);
        if (!partial.empty() && partial != "/") {
            if (int err = one(partial, last ? mode : parent_mode, last)) return err;
        }
        if (last) return 0;
    }
}

}  // namespace norvik::foundation
