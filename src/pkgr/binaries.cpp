#include "pkgr/binaries.hpp"

#include <set>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "os/os.hpp"

namespace norvik::pkgr {
namespace {

// Programs the panel ships in its own tree, by directory below the base.
const std::map<std::string, std::string>& thirdparty_locations() {
    static const std::map<std::string, std::string> t = {
        {"nksrvd", "/bin"},
        {"nkdavd", "/bin"},
        {"nkshieldd", "/bin"},
        {"nkgreylistd", "/bin"},
        {"norviklogd", "/bin"},
        {"nklogtaild", "/bin"},
        {"nkqueued", "/bin"},
        {"clamd", "/3rdparty/bin"},
        {"freshclam", "/3rdparty/bin"},
        {"clamdscan", "/3rdparty/bin"},
        {"git", "/3rdparty/bin"},
        {"python3", "/3rdparty/bin"},
    };
    return t;
}

// Programs of the panel's current language runtime.
const std::set<std::string>& dynamic_thirdparty() {
    static const std::set<std::string> t = {"perl", "perldoc", "cpan", "prove"};
    return t;
}

std::optional<std::string> _get_thirdparty_binary_location(const std::string& name) {
    auto it = thirdparty_locations().find(name);
    if (it != thirdparty_locations().end()) return foundation::norvik_base_dir() + it->second;
    if (dynamic_thirdparty().count(name)) return foundation::norvik_base_dir() + "/3rdparty/runtime/current/bin";
    return std::nullopt;
}

std::optional<std::string> dynamic_bin_location(const std::string& name) {
    try {
        auto table = os::binary_locations();
        auto it = table.find(name);
        if (it != table.end() && !it->second.empty()) return it->second;
    } catch (const std::exception&) {}
    return std::nullopt;
}

}  // namespace

const std::string& SYSTEM_BIN() {
    static const std::string d = "/usr/bin";
    return d;
}

const std::string& SYSTEM_SBIN() {
    static const std::string d = "/usr/sbin";
    return d;
}

const std::map<std::string, std::string>& system_bin_locations() {
    static const std::map<std::string, std::string> t = {
        {"apt-get", SYSTEM_BIN()},     {"dpkg", SYSTEM_BIN()},         {"dpkg-query", SYSTEM_BIN()},
        {"rpm", SYSTEM_BIN()},         {"yum", SYSTEM_BIN()},          {"dnf", SYSTEM_BIN()},
        {"ionice", SYSTEM_BIN()},      {"infocmp", SYSTEM_BIN()},      {"tput", SYSTEM_BIN()},
        {"ps", SYSTEM_BIN()},          {"kill", SYSTEM_BIN()},         {"journalctl", SYSTEM_BIN()},
        {"timedatectl", SYSTEM_BIN()}, {"setsid", SYSTEM_BIN()},       {"crontab", SYSTEM_BIN()},
        {"exim", SYSTEM_SBIN()},       {"sshd", SYSTEM_SBIN()},        {"named", SYSTEM_SBIN()},
        {"rndc", SYSTEM_SBIN()},       {"pdns_server", SYSTEM_SBIN()}, {"nscd", SYSTEM_SBIN()},
        {"rsyslogd", SYSTEM_SBIN()},   {"dovecot", SYSTEM_SBIN()},     {"httpd", SYSTEM_SBIN()},
        {"apache2", SYSTEM_SBIN()},    {"mysqld", SYSTEM_SBIN()},      {"mariadbd", SYSTEM_SBIN()},
        {"pure-ftpd", SYSTEM_SBIN()},  {"proftpd", SYSTEM_SBIN()},     {"spamd", SYSTEM_SBIN()},
        {"sendmail", SYSTEM_SBIN()},   {"crond", SYSTEM_SBIN()},       {"cron", SYSTEM_SBIN()},
        {"nginx", SYSTEM_SBIN()},      {"ntpd", SYSTEM_SBIN()},        {"chronyd", SYSTEM_SBIN()},
    };
    return t;
}

std::string path(const std::string& name) {
    if (name.empty()) return "";
    if (auto dir = _get_thirdparty_binary_location(name)) return *dir + "/" + name;
    auto it = system_bin_locations().find(name);
    if (it != system_bin_locations().end()) return it->second + "/" + name;
    if (auto dir = dynamic_bin_location(name)) return *dir + "/" + name;
    throw PlainError("No location is known for the program “" + name + "”.\n" + exception::stack_trace(2));
}

}  // namespace norvik::pkgr
