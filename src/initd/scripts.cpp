#include "initd/scripts.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <regex>

#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"
#include "output/control_chars.hpp"
#include "proc/kill.hpp"
#include "proc/pid_file.hpp"
#include "proc/running.hpp"
#include "proc/process_info.hpp"
#include "proc/process_table.hpp"
#include "proc/ignored_commands.hpp"
#include "systemd/units.hpp"
#include "foundation/text.hpp"

namespace norvik::initd {

std::string INIT_D_DIR() { return foundation::init_d_dir(); }

bool has_service_via_initd(const std::string& service) {
    if (service.empty()) return false;
    validate_filesystem_node_name_or_die(service);
    const std::string path = INIT_D_DIR() + "/" + service;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::access(path.c_str(), X_OK) == 0;
}

namespace {

// getinitfile knows nothing of the panel's own boot script.
constexpr const char* NO_INIT_SCRIPT_SERVICE = "norvik";
// A service that needs its control program to count as installed.
constexpr const char* CONTROL_PROGRAM_SERVICE = "mailman";
// The two DNS service words, installed when any of their init scripts is.
const std::vector<std::string>& dns_services() {
    static const std::vector<std::string> v = {"named", "nameserver"};
    return v;
}
const std::vector<std::string>& dns_init_scripts() {
    static const std::vector<std::string> v = {"named", "bind9", "pdns", "nsd"};
    return v;
}

using foundation::lower;

bool ends_with_rpm_leftover(const std::string& name) {
    // "\.rpm[a-z]+$": .rpmnew, .rpmsave, .rpmorig...
    auto pos = name.rfind(".rpm");
    while (pos != std::string::npos) {
        size_t i = pos + 4;
        if (i < name.size()) {
            bool letters = true;
            for (size_t j = i; j < name.size(); ++j)
                if (name[j] < 'a' || name[j] > 'z') letters = false;
            if (letters) return true;
        }
        if (pos == 0) break;
        pos = name.rfind(".rpm", pos - 1);
    }
    return false;
}

}  // namespace

void validate_filesystem_node_name_or_die(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255 || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        throw PlainError("“" + name + "” is not a valid file-system node name.");
}

std::optional<std::string> getinitfile(const std::string& service) {
    if (service.empty()) return std::nullopt;
    if (systemd::has_service_via_systemd(service)) return std::nullopt;
    return find_init_script(service);
}

std::optional<std::string> find_init_script(const std::string& service) {
    if (service.empty() || service == NO_INIT_SCRIPT_SERVICE) return std::nullopt;
    const std::string want = lower(service);
    for (const std::string& dir : {initd::INIT_D_DIR()}) {
        DIR* d = ::opendir(dir.c_str());
        if (!d) continue;
        std::optional<std::string> partial, numeric;
        int dfd = ::dirfd(d);
        while (struct dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name.empty() || name[0] == '.') continue;
            if (ends_with_rpm_leftover(name)) continue;
            struct stat st {};
            if (::fstatat(dfd, e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
            if (::faccessat(dfd, e->d_name, X_OK, 0) != 0) continue;
            std::string lname = lower(name);
            if (lname == want) {
                ::closedir(d);
                return dir + "/" + name;
            }
            // Partial: one leading character then the name ("xinetd" for
            // "inetd"). Numeric: an rc-style order prefix ("S55sshd").
            if (!partial && lname.size() == want.size() + 1 && lname.compare(1, std::string::npos, want) == 0) {
                partial = name;
            } else if (!numeric && lname.size() > want.size() &&
                       lname.compare(lname.size() - want.size(), std::string::npos, want) == 0) {
                std::string prefix = lname.substr(0, lname.size() - want.size());
                size_t i = (prefix[0] == 's' || prefix[0] == 'k') ? 1 : 0;
                bool digits = i < prefix.size();
                for (size_t j = i; j < prefix.size(); ++j)
                    if (!std::isdigit(static_cast<unsigned char>(prefix[j]))) digits = false;
                if (digits) numeric = name;
            }
        }
        ::closedir(d);
        if (partial) return dir + "/" + *partial;
        if (numeric) return dir + "/" + *numeric;
    }
    return std::nullopt;
}

bool _is_installed(const std::string& service) {
    if (service == CONTROL_PROGRAM_SERVICE) {
        std::string prog = foundation::norvik_base_dir() + "/3rdparty/mailman/bin/mailmanctl";
        if (::access(prog.c_str(), X_OK) != 0) return false;
    }
    for (const auto& w : dns_services()) {
        if (service != w) continue;
        if (systemd::has_service_via_systemd(service)) return true;
        for (const auto& s : dns_init_scripts())
            if (getinitfile(s)) return true;
        return false;
    }
    return true;
}

bool is_service_disabled(const std::string& service) {
    if (!_is_installed(service)) return true;
    struct stat st {};
    std::string marker = foundation::disable_file_plain(service);
    return (::stat(marker.c_str(), &st) == 0 && S_ISREG(st.st_mode));
}

std::string find_mysqladmin() {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/usr/sbin"}) {
        std::string p = std::string(dir) + "/mysqladmin";
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) return p;
    }
    return "";
}

int doomedprocess(const proc::ProcName& deadcmd, bool verbose, double wait_time,
                  const proc::AllowedOwners& allowed_owners) {
    return proc::safekill(deadcmd, verbose, wait_time, proc::get_pid_lineage(), allowed_owners);
}

}  // namespace norvik::initd
