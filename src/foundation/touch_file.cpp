#include "foundation/touch_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/diagnostics.hpp"

namespace norvik::foundation {

bool touchfile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
    if (fd < 0) {
        foundation::warn("The system failed to touch “" + path + "”: " + std::strerror(errno));
        return false;
    }
    ::futimens(fd, nullptr);
    ::close(fd);
    return true;
}

}  // namespace norvik::foundation
