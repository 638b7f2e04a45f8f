#include "foundation/clock.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>

#include "foundation/paths.hpp"

namespace norvik::foundation {
namespace {

struct Caches {
    std::optional<std::string> offset_text;
    std::optional<long> offset_seconds;
    // One-entry stamp cache.
    bool stamp_valid = false;
    std::time_t stamp_time = 0;
    char stamp_delimiter = DEFAULT_DELIMITER;
    std::string stamp;
    // What the local-time file was when the caches were filled.
    std::optional<std::string> identity;
    std::function<std::time_t()> clock;
    int computations = 0;
};

Caches& caches() {
    // Cache for the run: local-time offsets and stamps; test seam: the clock.
    static Caches c;
    return c;
}

std::time_t now() {
    auto& c = caches();
    return c.clock ? c.clock() : ::time(nullptr);
}

std::string localtime_identity() {
    std::string path = foundation::localtime_file();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return "none";
    if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        return n < 0 ? std::string("link") : "link:" + std::string(buf, static_cast<std::size_t>(n));
    }
    return "mtime:" + std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

void clear_values() {
    auto& c = caches();
    c.offset_text.reset();
    c.offset_seconds.reset();
    c.stamp_valid = false;
}

// Clears every cache when the local-time file changed since last seen.
void check_identity() {
    auto& c = caches();
    std::string id = localtime_identity();
    if (!c.identity) {
        c.identity = id;
    } else if (*c.identity != id) {
        clear_values();
        c.identity = id;
        ::tzset();
    }
}

std::string compute_offset(std::optional<std::time_t> given) {
    struct tm lt {
    }, ut{};
    for (;;) {  // until the same second
        std::time_t second = now();
        std::time_t t = given ? *given : second;
        ::localtime_r(&t, &lt);
        ::gmtime_r(&t, &ut);
        ++caches().computations;
        if (now() == second) break;
    }
    int day = 0;
    if (lt.tm_year == ut.tm_year) day = (lt.tm_yday > ut.tm_yday) - (lt.tm_yday < ut.tm_yday);
    else day = lt.tm_year < ut.tm_year ? -1 : 1;
    int minutes = (lt.tm_hour * 60 + lt.tm_min) - (ut.tm_hour * 60 + ut.tm_min) + 1440 * day;
    // The sign belongs to the whole offset, so that -0030 keeps its minus.
    int a = std::abs(minutes);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02d%02d", minutes < 0 ? '-' : '+', a / 60, a % 60);
    return buf;
}

}  // namespace

std::string get_server_offset_as_offset_string(std::optional<std::time_t> time) {
    if (time) return compute_offset(time);
    check_identity();
    auto& c = caches();
    if (!c.offset_text) c.offset_text = compute_offset(std::nullopt);
    return *c.offset_text;
}

long offset_text_to_seconds(const std::string& text) {
    static const std::regex re("([-+]?[0-9]{2})([0-9]{2})");
    std::smatch m;
    if (!std::regex_search(text, m, re)) return 0;
    std::string h = m[1].str();
    bool negative = !h.empty() && h[0] == '-';
    long hours = std::labs(std::stol(h[0] == '+' ? h.substr(1) : h));
    long secs = hours * 3600 + std::stol(m[2].str()) * 60;
    return negative ? -secs : secs;
}

long get_server_offset_in_seconds() {
    auto& c = caches();
    std::string text = get_server_offset_as_offset_string();
    if (!c.offset_seconds) c.offset_seconds = offset_text_to_seconds(text);
    return *c.offset_seconds;
}

std::string localtime2timestamp(std::optional<std::time_t> time, char delimiter) {
    check_identity();
    auto& c = caches();
    std::time_t t = time ? *time : now();
    if (c.stamp_valid && c.stamp_time == t && c.stamp_delimiter == delimiter) return c.stamp;
    std::string offset = get_server_offset_as_offset_string(t);
    struct tm lt {};
    ::localtime_r(&t, &lt);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d%c%02d:%02d:%02d %s", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                  delimiter, lt.tm_hour, lt.tm_min, lt.tm_sec, offset.c_str());
    c.stamp_valid = true;
    c.stamp_time = t;
    c.stamp_delimiter = delimiter;
    c.stamp = buf;
    return c.stamp;
}

void clear_clock_caches() {
    clear_values();
    caches().identity.reset();
    caches().computations = 0;
    ::tzset();
}

void set_clock_for_testing(std::function<std::time_t()> clock) { caches().clock = std::move(clock); }

int computations_for_testing() { return caches().computations; }

}  // namespace norvik::foundation
