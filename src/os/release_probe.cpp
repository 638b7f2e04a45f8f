#include "os/release_probe.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "exception/exception.hpp"
#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"

namespace norvik::os {

namespace {

std::string lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word(char c) { return is_digit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

// The first number of `parts` dot-separated digit runs that starts at a word
// boundary ("7.9.2009" for 3), into out.
bool dotted_number(const std::string& line, int parts, std::vector<std::string>& out) {
    for (size_t p = 0; p < line.size(); ++p) {
        if (!is_digit(line[p]) || (p > 0 && is_word(line[p - 1]))) continue;
        std::vector<std::string> runs;
        size_t i = p;
        for (int k = 0; k < parts; ++k) {
            if (k > 0) {
                if (i >= line.size() || line[i] != '.') break;
                ++i;
            }
            size_t b = i;
            while (i < line.size() && is_digit(line[i])) ++i;
            if (i == b) break;
            runs.push_back(line.substr(b, i - b));
        }
        if (static_cast<int>(runs.size()) == parts) {
            out = std::move(runs);
            return true;
        }
    }
    return false;
}

// The whole file, or nothing when it does not exist; raises when it exists
// but cannot be read, is no regular file or is too large (a FIFO must not
// hang the run, a link to a device must not fill the memory).
std::optional<std::string> read_release_file(const std::string& path) {
    auto read = foundation::read_regular_file(path);
    if (read.text) return read.text;
    if (read.error == ENOENT || read.error == ENOTDIR) return std::nullopt;
    throw PlainError("The system failed to read the release file: " + read.reason + ".");
}

std::vector<std::string> split_dots(const std::string& s, size_t max_parts) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() + 1 < max_parts) {
        size_t dot = s.find('.', start);
        if (dot == std::string::npos) break;
        parts.push_back(s.substr(start, dot - start));
        start = dot + 1;
    }
    parts.push_back(s.substr(start));
    return parts;
}

std::string kernel_kind() {
    struct utsname u {};
    if (::uname(&u) != 0) return Linux::DEFAULT_KERNEL;
    return lower(u.sysname);
}

bool mtime_of(const std::string& path, bool follow, time_t& out) {
    struct stat st {};
    int rc = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) return false;
    out = st.st_mtime;
    return true;
}

std::optional<std::string> read_link_text(const std::string& path) {
    char buf[512];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
}

void make_dir_0711(const std::string& dir) {
    if (::mkdir(dir.c_str(), 0711) == 0) ::chmod(dir.c_str(), 0711);
}

std::string dirname_of(const std::string& p) {
    auto pos = p.rfind('/');
    if (pos == std::string::npos || pos == 0) return "/";
    return p.substr(0, pos);
}

}  // namespace

bool custom_os_marker_exists() { return read_link_text(foundation::os_custom_marker()).has_value(); }

std::optional<Release> _read_os_release() {
    auto text = read_release_file(foundation::os_release());
    if (!text) return std::nullopt;
    std::string distro, version_id, version;
    size_t pos = 0;
    while (pos < text->size()) {
        size_t nl = text->find('\n', pos);
        std::string line = text->substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text->size() : nl + 1;
        // Split at the first '=' and the blanks around it (scanned: a line
        // of blanks would make a matcher recurse once per character).
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        size_t key_end = eq, value_start = eq + 1;
        while (key_end > 0 && is_space(line[key_end - 1])) --key_end;
        while (value_start < line.size() && is_space(line[value_start])) ++value_start;
        std::string key = line.substr(0, key_end);
        std::string value = line.substr(value_start);
        // Only the first word counts; quotes around it go.
        for (size_t i = 0; i < value.size(); ++i) {
            if (is_space(value[i])) {
                value.resize(i);
                break;
            }
        }
        if (!value.empty() && (value.back() == '"' || value.back() == '\'')) value.pop_back();
        if (!value.empty() && (value.front() == '"' || value.front() == '\'')) value.erase(0, 1);
        if (key == "ID" && distro.empty()) distro = lower(value);
        else if (key == "VERSION_ID" && version_id.empty()) version_id = value;
        else if (key == "VERSION" && version.empty()) version = value;
        if (!distro.empty() && !version_id.empty() && !version.empty()) break;
    }
    if (distro.empty()) return std::nullopt;
    Release r;
    r.distro = distro;
    auto vid = split_dots(version_id, 4);
    std::optional<std::string> major, minor, build;
    if (!version_id.empty()) {
        major = vid[0];
        if (vid.size() > 1) minor = vid[1];
        if (vid.size() > 2) build = vid[2];
    }
    auto empty = [](const std::optional<std::string>& v) { return !v || v->empty(); };
    if (empty(major) || empty(minor) || empty(build)) {
        auto ver = split_dots(version, 4);
        if (empty(major)) major = ver[0];
        if (empty(minor)) minor = ver.size() > 1 && !ver[1].empty() ? ver[1] : "0";
        if (empty(build)) build = ver.size() > 2 && !ver[2].empty() ? ver[2] : "0";
    }
    r.major = *major;
    r.minor = *minor;
    r.build = *build;
    return r;
}

std::optional<Release> _read_redhat_release() {
    auto text = read_release_file(foundation::redhat_release());
    if (!text) return std::nullopt;
    std::string line = text->substr(0, text->find('\n'));
    Release r;
    // Scanned rather than matched: the library's matcher recurses once per
    // character of a run, and the file's one line can be anything.
    size_t w = 0;
    while (w < line.size() && is_word(line[w])) ++w;
    r.distro = lower(line.substr(0, w));
    // "Red Hat Enterprise Linux release 9.2" names itself by its first word.
    if (r.distro == "red") r.distro = "rhel";
    std::vector<std::string> v;
    if (dotted_number(line, 3, v) || dotted_number(line, 2, v) || dotted_number(line, 1, v)) {
        r.major = v[0];
        if (v.size() > 1) r.minor = v[1];
        if (v.size() > 2) r.build = v[2];
    }
    if (r.minor.empty()) r.minor = "0";
    if (r.build.empty()) r.build = "0";
    return r;
}

std::optional<Info> read_cache() {
    const std::string cache = foundation::os_info_cache();
    time_t cache_time = 0;
    if (!mtime_of(cache, false, cache_time)) return std::nullopt;
    if (!custom_os_marker_exists()) {
        time_t release_time = 0;
        bool have = mtime_of(foundation::os_release(), true, release_time) ||
                    mtime_of(foundation::redhat_release(), true, release_time);
        if (have && cache_time <= release_time) return std::nullopt;
    }
    auto text = read_link_text(cache);
    if (!text) return std::nullopt;
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t bar = text->find('|', start);
        f.push_back(text->substr(start, bar == std::string::npos ? std::string::npos : bar - start));
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    // A damaged link is no answer: probe again.
    if (f.size() != 5 || f[1].empty() || f[2].empty()) return std::nullopt;
    return Info{f[0], f[1], f[2], f[3], f[4]};
}

void _cache_os_info(const Info& info) {
    if (::geteuid() != 0) return;
    const std::string cache = foundation::os_info_cache();
    const std::string parent = dirname_of(cache);
    // Under a fresh root even /var may be missing: create what lies above
    // the two cache directories first, with ordinary modes.
    const std::string state = dirname_of(parent);
    std::vector<std::string> above;
    for (std::string d = dirname_of(state); d != "/" && ::access(d.c_str(), F_OK) != 0; d = dirname_of(d))
        above.push_back(d);
    for (auto it = above.rbegin(); it != above.rend(); ++it) ::mkdir(it->c_str(), 0755);
    make_dir_0711(state);
    make_dir_0711(parent);
    const std::string text = info.kernel + "|" + info.distro + "|" + info.major + "|" + info.minor + "|" + info.build;
    // A new link renamed over the old one: readers never see it missing.
    const std::string tmp = cache + ".tmp." + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(text.c_str(), tmp.c_str()) != 0) return;
    if (::rename(tmp.c_str(), cache.c_str()) != 0) ::unlink(tmp.c_str());
}

Info get_os_info(const std::string& acknowledgement) {
    if (acknowledgement != ACKNOWLEDGEMENT)
        throw PlainError("Ask norvik::os for operating-system facts instead of probing the release files directly.");
    if (auto cached = read_cache()) return *cached;
    auto rel = _read_redhat_release();
    if (!rel || rel->distro.empty()) rel = _read_os_release();
    Release r = rel.value_or(Release{});
    if (r.distro.empty() || r.major.empty() || r.minor.empty() || r.build.empty()) {
        throw PlainError("The system could not determine the operating system (distro “" + r.distro + "”, major “" +
                         r.major + "”, minor “" + r.minor + "”, build “" + r.build + "”).");
    }
    Info info{kernel_kind(), r.distro, r.major, r.minor, r.build};
    _cache_os_info(info);
    return info;
}

}  // namespace norvik::os
