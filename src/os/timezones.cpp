#include "os/timezones.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <optional>
#include <regex>

#include "foundation/write_file.hpp"
#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"
#include "log/debug.hpp"
#include "os/os.hpp"
#include "run/saferun_errors.hpp"

namespace norvik::os {
namespace {

constexpr const char* kZoneFileMarker = "TZif";
constexpr const char* kTimedatectl = "/usr/bin/timedatectl";
constexpr const char* kMethodTimedatectl = "timedatectl";
constexpr const char* kMethodSysconfig = "sysconfig";

std::optional<std::vector<std::string>>& zone_list() {
    // Cache for the run: the time-zone list.
    static std::optional<std::vector<std::string>> list;
    return list;
}

bool has_default(const std::vector<std::string>& list) {
    return std::find(list.begin(), list.end(), DEFAULT_TIMEZONE) != list.end();
}

std::vector<std::string> read_zone_table() {
    std::vector<std::string> names;
    std::string table = foundation::zoneinfo_dir() + "/zone.tab";
    auto text = foundation::loadfile(table);
    if (!text) {
        if (::access(table.c_str(), F_OK) == 0) log::log_warn("The zone table “" + table + "” could not be read.");
        return names;
    }
    static const std::regex line_re(R"(^[A-Z]+\s+[-+][-+\d]+\s+(\S+))");
    for (const auto& line : foundation::split_lines(*text)) {
        std::smatch m;
        if (std::regex_search(line, m, line_re)) names.push_back(m[1].str());
    }
    return names;
}

void walk_zone_dir(const std::string& base, const std::string& rel, std::vector<std::string>& out, int depth) {
    if (depth > 8) return;
    std::string dir = rel.empty() ? base : base + "/" + rel;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (struct dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        std::string relpath = rel.empty() ? n : rel + "/" + n;
        std::string full = base + "/" + relpath;
        struct stat st;
        if (::lstat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            walk_zone_dir(base, relpath, out, depth + 1);
        } else if (S_ISREG(st.st_mode)) {
            auto head = foundation::load_if_exists(full, 0, 4);
            if (head && *head == kZoneFileMarker) out.push_back(relpath);
        }
    }
    ::closedir(d);
    std::sort(out.begin(), out.end());
}

std::vector<std::string> read_cache_file() {
    std::vector<std::string> names;
    std::string cache = foundation::timezones_cache();
    struct stat st;
    if (::stat(cache.c_str(), &st) != 0) return names;
    if (st.st_mtime + ZONE_LIST_CACHE_TTL <= ::time(nullptr)) return names;
    auto text = foundation::loadfile(cache);
    if (!text) {
        log::log_warn("The time-zone list cache “" + cache + "” could not be read.");
        return names;
    }
    for (auto line : foundation::split_lines(*text)) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (!line.empty()) names.push_back(line);
    }
    return names;
}

std::string strip_zoneinfo_prefix(const std::string& target) {
    static const std::regex re("^.*/usr/share/zoneinfo/(?:Etc/)?");
    return std::regex_replace(target, re, "", std::regex_constants::format_first_only);
}

// Whether two files have the same contents (the zone whose file equals the
// local-time copy is the current one).
bool same_contents(const std::string& a_text, const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (static_cast<std::size_t>(st.st_size) != a_text.size()) return false;
    auto b = foundation::loadfile(path);
    return b && *b == a_text;
}

bool relink_localtime(const std::string& zone) {
    std::string link = foundation::localtime_file();
    std::string tmp = link + ".nkzone" + std::to_string(::getpid());
    std::string target = foundation::zoneinfo_dir() + "/" + zone;
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0) return false;
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool setup_clock_using_timedatectl(const std::string& zone) {
    // The tool changes the host itself: never from inside a sandbox root.
    if (!foundation::root().empty()) return false;
    auto out = run::saferunallerrors_text({kTimedatectl, "set-timezone", zone});
    return out.has_value();
}

bool setup_clock_using_sysconfig(const std::string& zone) {
    std::string file = foundation::sysconfig_clock();
    auto text = foundation::loadfile(file);
    std::vector<std::string> lines = text ? foundation::split_lines(*text) : std::vector<std::string>{};
    if (!text && ::access(file.c_str(), F_OK) == 0) log::log_warn("The clock file “" + file + "” could not be read.");
    std::string zone_line = "ZONE=\"" + zone + "\"\n";
    bool replaced = false;
    for (auto& l : lines) {
        if (l.rfind("ZONE=", 0) == 0) {
            l = zone_line;
            replaced = true;
        }
    }
    if (!replaced) {
        if (!lines.empty() && lines.back().back() != '\n') lines.back() += '\n';
        lines.push_back(zone_line);
    }
    std::string out;
    for (const auto& l : lines) out += l;
    bool ok = foundation::overwrite_no_exceptions(file, out, 0644);
    if (!ok) log::log_warn("The clock file “" + file + "” could not be written.");
    return relink_localtime(zone) && ok;
}

}  // namespace

const std::vector<std::string>& gettimezones() {
    auto& list = zone_list();
    if (list) return *list;
    std::vector<std::string> names = read_cache_file();
    if (names.empty() || !has_default(names)) {
        names = read_zone_table();
        if (names.empty()) walk_zone_dir(foundation::zoneinfo_dir(), "", names, 0);
        if (!has_default(names)) names.push_back(DEFAULT_TIMEZONE);
        if (::geteuid() == 0) {
            std::string out;
            for (const auto& n : names) out += n + "\n";
            std::string cache = foundation::timezones_cache();
            ::mkdir(cache.substr(0, cache.rfind('/')).c_str(), 0755);
            foundation::overwrite_no_exceptions(cache, out, 0644);
        }
    }
    list = std::move(names);
    return *list;
}

bool is_valid(const std::string& name) {
    if (name.empty()) return false;
    const auto& list = gettimezones();
    return std::find(list.begin(), list.end(), name) != list.end();
}

namespace {

// The name in /etc/timezone, when it names a zone file that exists.
std::optional<std::string> zone_from_timezone_file() {
    auto text = foundation::load_if_exists(foundation::timezone_file(), 0, 256);
    if (!text) return std::nullopt;
    std::string name = text->substr(0, text->find('\n'));
    while (!name.empty() && std::isspace(static_cast<unsigned char>(name.back()))) name.pop_back();
    if (name.empty() || name[0] == '/' || name.find("..") != std::string::npos) return std::nullopt;
    struct stat st;
    if (::stat((foundation::zoneinfo_dir() + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return name;
}

std::optional<std::string> named_zone(bool noposix) {
    std::optional<std::string> zone;
    std::string lt = foundation::localtime_file();
    struct stat st;
    if (::lstat(lt.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        zone = strip_zoneinfo_prefix(foundation::readlink_deep(lt));
    } else if (::lstat(lt.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        auto text = foundation::loadfile(lt);
        if (text) {
            std::string dir = foundation::zoneinfo_dir();
            for (const auto& name : gettimezones()) {
                if (same_contents(*text, dir + "/" + name)) {
                    zone = name;
                    break;
                }
            }
        }
        if (!zone) zone = zone_from_timezone_file();
    } else {
        zone = zone_from_timezone_file();
        if (!zone) {
            static const std::regex tz_line("^timezone=", std::regex::icase);
            for (const auto& line : run::saferunallerrors_lines({kTimedatectl, "show"})) {
                if (!std::regex_search(line, tz_line)) continue;
                std::string rest = line.substr(line.find('=') + 1);
                std::string value = rest.substr(0, rest.find('='));
                while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
                if (!value.empty()) zone = value;
                struct stat zst;
                if (!value.empty() && ::stat((foundation::zoneinfo_dir() + "/" + value).c_str(), &zst) == 0 &&
                    ::geteuid() == 0) {
                    relink_localtime(value);
                    set(value);
                }
                break;
            }
        }
    }
    if (zone && zone->empty()) zone.reset();
    if (zone && noposix && zone->rfind("posix/", 0) == 0) zone->erase(0, 6);
    return zone;
}

}  // namespace

std::string get_current_timezone(bool noposix) { return named_zone(noposix).value_or(DEFAULT_TIMEZONE); }

std::optional<std::string> calculate_TZ_env() { return named_zone(true); }

bool set(const std::string& name) {
    if (!is_valid(name)) return false;
    std::string method = os::setup_tz_method();
    if (method == kMethodTimedatectl) return setup_clock_using_timedatectl(name);
    if (method == kMethodSysconfig) return setup_clock_using_sysconfig(name);
    log::log_die("The time zone cannot be set with the unknown method “" + method + "”.");
}

void clear_cache() { zone_list().reset(); }

}  // namespace norvik::os
