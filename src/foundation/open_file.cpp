#include "foundation/open_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "exception/exception.hpp"

namespace norvik::foundation {
namespace {

struct FlagName {
    const char* name;
    int value;
};

constexpr FlagName kFlags[] = {
    {"RDONLY", O_RDONLY},       {"WRONLY", O_WRONLY},     {"RDWR", O_RDWR},       {"CREAT", O_CREAT},
    {"EXCL", O_EXCL},           {"TRUNC", O_TRUNC},       {"APPEND", O_APPEND},   {"NONBLOCK", O_NONBLOCK},
    {"NDELAY", O_NDELAY},       {"NOFOLLOW", O_NOFOLLOW}, {"CLOEXEC", O_CLOEXEC}, {"DIRECTORY", O_DIRECTORY},
    {"SYNC", O_SYNC},           {"DSYNC", O_DSYNC},       {"NOCTTY", O_NOCTTY},   {"NOATIME", O_NOATIME},
    {"LARGEFILE", O_LARGEFILE},
};

std::string trim(const std::string& s) {
    std::size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos) return "";
    std::size_t b = s.find_last_not_of(" \t");
    return s.substr(a, b - a + 1);
}

}  // namespace

int or_flags(const std::string& names) {
    int flags = 0;
    std::size_t start = 0;
    for (;;) {
        std::size_t bar = names.find('|', start);
        std::string name = trim(names.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        std::string bare = name.rfind("O_", 0) == 0 ? name.substr(2) : name;
        bool found = false;
        for (const auto& f : kFlags) {
            if (bare == f.name) {
                flags |= f.value;
                found = true;
                break;
            }
        }
        if (!found) throw PlainError("Unknown open flag name “" + name + "” in “" + names + "”.");
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    return flags;
}

int sysopen_with_real_perms(const std::string& path, int flags, std::optional<mode_t> perms) {
    flags |= O_CLOEXEC;
    if (!perms) return ::open(path.c_str(), flags, 0666);
    mode_t wanted = *perms & 0777;
    mode_t old = ::umask(~wanted & 07777);
    int fd = ::open(path.c_str(), flags, wanted);
    int err = errno;
    ::umask(old);
    errno = err;
    return fd;
}

int sysopen_with_real_perms(const std::string& path, const std::string& mode, std::optional<mode_t> perms) {
    int flags;
    if (!mode.empty() && mode[0] == FLAG_NAME_MARKER) {
        flags = foundation::or_flags(mode.substr(1));
    } else {
        char* end = nullptr;
        errno = 0;
        long v = std::strtol(mode.c_str(), &end, 10);
        if (mode.empty() || errno != 0 || *end != '\0' || v < 0) throw PlainError("Invalid open mode “" + mode + "”.");
        flags = static_cast<int>(v);
    }
    return sysopen_with_real_perms(path, flags, perms);
}

}  // namespace norvik::foundation
