#include "servmon/suspension.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>

#include "exception/exception.hpp"
#include "foundation/write_file.hpp"
#include "foundation/paths.hpp"
#include "foundation/state_file.hpp"
#include "log/debug.hpp"

namespace norvik::servmon {
namespace {

// Reads a small file without following a symbolic link; nullopt on failure.
std::optional<std::string> read_small_nofollow(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string out;
    char buf[256];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > 4096) break;  // an expiry is a few digits
    }
    ::close(fd);
    return out;
}

std::optional<int64_t> parse_expiry(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == '\n' || text[e - 1] == '\r' || text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    if (b == e) return std::nullopt;
    int64_t v = 0;
    auto [p, ec] = std::from_chars(text.data() + b, text.data() + e, v);
    if (ec != std::errc() || p != text.data() + e) return std::nullopt;
    return v;
}

// 1 when the directory is there (creating it 0700 when missing), else nothing.
bool ensure_dir() {
    const std::string dir = service_suspend_dir();
    // Root's and behind no link, as all of the tool's own state.
    const int fd = foundation::open_dir(dir, 0700);
    if (fd < 0) {
        log::log_warn("The system failed to create the directory “" + dir + "”: " + std::strerror(errno));
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace

std::string service_suspend_dir() { return foundation::servmon_suspended_dir(); }
std::string suspend_file() { return foundation::servmon_suspend_flag(); }
std::string servmon_conf() { return foundation::servmon_conf(); }

std::string service_file(const std::string& service) {
    if (service.find('/') != std::string::npos || service.find('\0') != std::string::npos)
        throw PlainError("The service name “" + service + "” may not contain “/”.");
    if (service.find_first_not_of('.') == std::string::npos)
        throw PlainError("The service name “" + service + "” is not valid.");
    return service_suspend_dir() + "/" + service;
}

bool suspend_service(const std::string& service, std::optional<int64_t> delay, std::optional<int64_t> now) {
    int64_t d = delay.value_or(0);
    if (d == 0) d = DEFAULT_SUSPENSION_DELAY;
    if (d > MAX_SUSPENSION_DELAY) d = MAX_SUSPENSION_DELAY;
    int64_t t = now.value_or(0);
    if (t == 0) t = static_cast<int64_t>(std::time(nullptr));
    const std::string file = service_file(service);
    if (!ensure_dir()) return false;
    // A planted symbolic link is removed, never written through.
    struct stat lst {};
    if (::lstat(file.c_str(), &lst) == 0 && !S_ISREG(lst.st_mode)) ::unlink(file.c_str());
    try {
        // A suspension lives while the service is down for this run; after
        // a power loss it is not wanted back, so it is not flushed to disk.
        foundation::WriteOptions o;
        o.perms = 0600;
        o.sync = false;
        foundation::overwrite(file, std::to_string(t + d), o);
    } catch (const std::exception& e) {
        log::log_warn("The system failed to suspend monitoring of “" + service + "”: " + exception::get_string(e));
        return false;
    }
    return true;
}

std::optional<bool> is_service_suspended(const Suspensions& suspensions, const std::string& service) {
    if (service.empty()) return std::nullopt;
    std::optional<int64_t> expiry;
    if (auto it = suspensions.find(service); it != suspensions.end()) {
        expiry = it->second;
    } else if (auto text = read_small_nofollow(service_file(service))) {
        expiry = parse_expiry(*text);
    }
    if (!expiry) return std::nullopt;
    return static_cast<int64_t>(std::time(nullptr)) < *expiry;
}

int resume_service(const std::string& service) {
    const std::string file = service_file(service);
    return ::unlink(file.c_str()) == 0 ? 1 : 0;
}

std::optional<Suspensions> load_service_suspensions() {
    const std::string dir = service_suspend_dir();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return std::nullopt;
    Suspensions out;
    while (dirent* ent = ::readdir(d)) {
        if (ent->d_name[0] == '.') continue;
        auto text = read_small_nofollow(dir + "/" + ent->d_name);
        if (!text) continue;
        if (auto v = parse_expiry(*text)) out[ent->d_name] = *v;
    }
    ::closedir(d);
    if (out.empty()) return std::nullopt;
    return out;
}

bool is_suspended() {
    struct stat st {};
    return ::stat(suspend_file().c_str(), &st) == 0;
}

}  // namespace norvik::servmon
