#include "config/load_config.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/hires_clock.hpp"

namespace norvik::config {
namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// False with errno EFBIG when the file holds more than max bytes.
bool read_all(int fd, std::string& out, std::size_t max) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.append(buf, static_cast<size_t>(n));
        if (out.size() > max) {
            errno = EFBIG;
            return false;
        }
    }
}

}  // namespace

std::string lock_file_for(const std::string& path) { return path + ".lock"; }

void parse(const std::string& text, NkConf& out) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        std::string t = trim(line);
        if (t.empty() || t[0] == '#') continue;
        size_t eq = t.find('=');
        if (eq == std::string::npos) continue;  // garbage line
        std::string key = trim(t.substr(0, eq));
        if (key.empty()) continue;
        out[key] = trim(t.substr(eq + 1));
    }
}

std::string serialize(const NkConf& conf) {
    std::string out;
    for (const auto& [k, v] : conf) {
        out += k;
        out += '=';
        out += v;
        out += '\n';
    }
    return out;
}

std::string update_lines(const std::string& text, const std::map<std::string, std::string>& changes) {
    std::string out;
    std::map<std::string, bool> written;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        const size_t end = nl == std::string::npos ? text.size() : nl + 1;
        const std::string line = text.substr(pos, end - pos);
        pos = end;
        const std::string t = trim(line.back() == '\n' ? line.substr(0, line.size() - 1) : line);
        const size_t eq = t.find('=');
        if (!t.empty() && t[0] != '#' && eq != std::string::npos) {
            const std::string key = trim(t.substr(0, eq));
            auto it = changes.find(key);
            if (it != changes.end()) {
                out += key + "=" + it->second + "\n";
                written[key] = true;
                continue;
            }
        }
        out += line;
    }
    if (!out.empty() && out.back() != '\n') out += '\n';
    for (const auto& [k, v] : changes)
        if (!written.count(k)) out += k + "=" + v + "\n";
    return out;
}

Result loadConfig(const std::string& path, NkConf& out, const Options& options) {
    Result r;
    if (options.use_lock) {
        const std::string lock_path = lock_file_for(path);
        const int lfd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lfd >= 0) {
            auto lock = std::make_unique<foundation::Flock>(lfd);
            const std::vector<std::string> op = {options.rw ? "EX" : "SH", "NB"};
            const double end = foundation::hires_time() + options.lock_timeout;
            bool got = false;
            try {
                for (;;) {
                    if (foundation::flock(*lock, op)) {
                        got = true;
                        break;
                    }
                    if (foundation::hires_time() >= end) break;
                    foundation::hires_sleep(0.05);
                }
            } catch (const std::exception&) {
                got = false;
            }
            if (got) r.lock = std::move(lock);
        }
    }
    auto fail = [&r](int code, const std::string& text) {
        r.error_code = code;
        r.error = text;
        r.lock.reset();
        errno = code;
        return std::move(r);
    };
    // Non-blocking, so that a FIFO at the path cannot hang the open.
    const int fd = ::open(path.c_str(), (options.rw ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return fail(errno, std::strerror(errno));
    auto fh = std::make_unique<foundation::Flock>(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(errno, std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail(EISDIR, std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode)) {
        r.refused = true;
        return fail(EINVAL, "“" + path + "” is not a regular file");
    }
    if (static_cast<std::size_t>(st.st_size) > options.max_bytes) {
        r.refused = true;
        return fail(EFBIG, "“" + path + "” is larger than " + std::to_string(options.max_bytes) + " bytes");
    }
    std::string text;
    if (!read_all(fd, text, options.max_bytes)) {
        const int err = errno;
        if (err == EFBIG) r.refused = true;
        return fail(err, err == EFBIG ? "“" + path + "” is larger than " + std::to_string(options.max_bytes) + " bytes"
                                      : std::strerror(err));
    }
    r.read_at = st;
    r.text = text;
    parse(text, out);
    r.result = true;
    if (options.use_lock || options.rw) r.fh = std::move(fh);
    return r;
}

}  // namespace norvik::config
