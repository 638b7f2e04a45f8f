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
#include "proc/proc_root.hpp"
#include "proc/process_table.hpp"
#include "proc/ignored_commands.hpp"
#include "systemd/units.hpp"

namespace norvik::restartsrv::initd {

std::string INIT_D_DIR() { return paths::init_d_dir(); }

int has_service_via_initd(const std::string& service) {
    if (service.empty()) return 0;
    validate_filesystem_node_name_or_die(service);
    const std::string path = INIT_D_DIR() + "/" + service;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return ::access(path.c_str(), X_OK) == 0 ? 1 : 0;
}

}  // namespace norvik::restartsrv::initd

namespace norvik::restartsrv {

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
constexpr const char* CHECK_METHOD_SYSTEMD = "systemd";
constexpr const char* CHECK_METHOD_PIDFILE = "pidfile";
constexpr const char* CHECK_METHOD_PROC = "proc";
constexpr const char* CHECK_METHOD_RUNNING = "running";

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

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

OutsideCheckService& outside_check() {
    static OutsideCheckService fn;
    return fn;
}

std::string user_name_of(uid_t uid) { return psparser::detail::name_for_uid(uid).value_or(std::to_string(uid)); }

bool proc_dir_exists(pid_t pid) {
    struct stat st {};
    return ::stat((proc::proc_entry(pid)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> read_cmdline(pid_t pid) {
    std::string path = proc::proc_entry(pid, "cmdline");
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string raw;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        raw.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    while (!raw.empty() && raw.back() == '\0') raw.pop_back();
    for (auto& c : raw)
        if (c == '\0') c = ' ';
    return raw;
}

std::string field(const systemd::UnitRecord& r, const char* name) {
    auto it = r.find(name);
    return it == r.end() ? std::string() : it->second;
}

std::string extend_method(const std::string& method, const char* word) {
    return method.empty() ? std::string(word) : method + "+" + word;
}

}  // namespace

void validate_filesystem_node_name_or_die(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255 || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
        throw PlainError("“" + name + "” is not a valid file-system node name.");
}

void set_outside_check_service(OutsideCheckService fn) { outside_check() = std::move(fn); }

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

int _is_installed(const std::string& service) {
    if (service == CONTROL_PROGRAM_SERVICE) {
        std::string prog = paths::norvik_base_dir() + "/3rdparty/mailman/bin/mailmanctl";
        if (::access(prog.c_str(), X_OK) != 0) return 0;
    }
    for (const auto& w : dns_services()) {
        if (service != w) continue;
        if (systemd::has_service_via_systemd(service)) return 1;
        for (const auto& s : dns_init_scripts())
            if (getinitfile(s)) return 1;
        return 0;
    }
    return 1;
}

int is_service_disabled(const std::string& service) {
    if (!_is_installed(service)) return 1;
    struct stat st {};
    std::string marker = paths::disable_file_plain(service);
    return (::stat(marker.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ? 1 : 0;
}

bool _has_proc() {
    struct stat st {};
    return ::stat(proc::proc_root().c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string check_service(const CheckServiceOptions& opts) {
    pid_t pid = opts.pid;
    std::string method = opts.check_method;
    bool systemd_path = false;

    if (!opts.ignore_systemd && !opts.service.empty()) {
        if (auto rec = systemd::has_service_via_systemd(opts.service)) {
            systemd_path = true;
            pid_t sd_pid = systemd::get_pid_via_systemd(opts.service, &*rec);
            if (!pid || pid == sd_pid) {
                if (!pid) pid = sd_pid;
                method = CHECK_METHOD_SYSTEMD;
                const std::string type = field(*rec, "Type");
                const std::string active = field(*rec, "ActiveState");
                if (type == "oneshot") {
                    if (active == systemd::ACTIVE_WORD)
                        return opts.service + " is a oneshot unit and is active (check method: " + method + ")\n";
                } else if (!pid && type == "forking") {
                    if (active == systemd::ACTIVE_WORD) {
                        auto pids = systemd::get_pids_via_systemd(opts.service);
                        if (!pids.empty()) pid = pids.front();
                    }
                } else if (type == "simple" && field(*rec, "MainPID") == std::to_string(pid) && pid) {
                    if (active == systemd::ACTIVE_WORD && field(*rec, "SubState") == "running")
                        return opts.service + " (" + field(*rec, "FragmentPath") + ") is running as pid " +
                               std::to_string(pid) + " (check method: " + method + ")\n";
                }
            }
            if (!pid) return "";
        }
    }

    if (!systemd_path && !pid && !opts.pidfile.empty()) {
        auto read = proc::pidfile::read_checked(opts.pidfile, "", false);
        if (read.pid) {
            const std::string why =
                proc::pidfile::foreign_reason(read.pid, {opts.service, opts.binary, opts.user, opts.pid_exe});
            if (why.empty()) {
                pid = read.pid;
                method = CHECK_METHOD_PIDFILE;
            } else if (opts.warn) {
                opts.warn(proc::pidfile::foreign_warning(opts.pidfile, opts.service, read.pid, why));
            }
        }
    }

    if (pid > 0 && _has_proc()) {
        const std::string dir = proc::proc_entry(pid);
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0 || psparser::read_state_letter(pid) == "Z") return "";
        std::string owner = user_name_of(st.st_uid);
        auto cmdline = read_cmdline(pid);
        if (!cmdline) return "";
        if (!proc_dir_exists(pid)) return "";
        if (!services::command::should_ignore_this_command(*cmdline)) {
            method = extend_method(method, CHECK_METHOD_PROC);
            return opts.service + " (" + output::replace_control_characters(*cmdline) + ") is running as " + owner + " with PID " + std::to_string(pid) +
                   " (" + method + " check method)\n";
        }
    }

    if (pid > 0 && !opts.service.empty() && !opts.user.empty()) {
        try {
            processcheck::RunningOptions ro;
            ro.pattern = opts.service;
            ro.pid = std::to_string(pid);
            ro.user = opts.user;
            ro.use_services_ignore = true;
            processcheck::Running check(ro);
            check.check_all();
            std::string cmd;
            for (const auto& w : check.pid_object().cmdline()) cmd += (cmd.empty() ? "" : " ") + w;
            method = extend_method(method, CHECK_METHOD_RUNNING);
            return opts.service + " (" + output::replace_control_characters(cmd) + ") is running as " + opts.user + " with PID " + std::to_string(pid) +
                   " (" + method + " check method)\n";
        } catch (const std::exception&) {
            // Not confirmed: ask the last resort.
        }
    }

    if (outside_check()) return outside_check()(opts);
    return "";
}

std::string find_mysqladmin() {
    for (const char* dir : {"/usr/bin", "/usr/local/bin", "/usr/sbin"}) {
        std::string p = std::string(dir) + "/mysqladmin";
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) return p;
    }
    return "";
}

int doomedprocess(const psparser::ProcName& deadcmd, bool verbose, double wait_time,
                  const psparser::AllowedOwners& allowed_owners) {
    return kill::safekill(deadcmd, verbose, wait_time, processinfo::get_pid_lineage(), allowed_owners);
}

}  // namespace norvik::restartsrv
