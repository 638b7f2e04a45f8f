#include "os/linux_system.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include "exception/exception.hpp"
#include "os/os.hpp"

namespace norvik::os {

using nlohmann::json;

json DistroClass::call(const std::string& method, const Instance& self, const std::vector<json>& args) const {
    auto it = methods_.find(method);
    if (it == methods_.end()) throw PlainError("The class “" + name_ + "” does not offer the method “" + method + "”.");
    return it->second(self, args);
}

std::vector<std::string> DistroClass::method_names() const {
    std::vector<std::string> out;
    out.reserve(methods_.size());
    for (const auto& kv : methods_) out.push_back(kv.first);
    return out;
}

void DistroClass::define_value(const std::string& method, json value) {
    define(method, [value = std::move(value)](const Instance&, const std::vector<json>&) { return value; });
}

namespace {

std::string ucfirst(std::string s) {
    if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
    return s;
}

// Programs in the system's own directories (never re-rooted: PATH
// directories belong to the host).
bool executable(const char* path) { return ::access(path, X_OK) == 0; }

}  // namespace

Linux::Linux(std::string name) : DistroClass(std::move(name)) {
    define("arch", [](const Instance&, const std::vector<json>&) -> json {
        struct utsname u {};
        if (::uname(&u) != 0) return "";
        return std::string(u.machine);
    });
    define("base_distro", [](const Instance& self, const std::vector<json>&) -> json { return self.distro(); });
    define_value("binary_locations", json{
                                         {"cron", "/usr/sbin"},
                                         {"crond", "/usr/sbin"},
                                         {"dpkg-query", "/usr/bin"},
                                         {"ionice", "/usr/bin"},
                                         {"journalctl", "/usr/bin"},
                                         {"named", "/usr/sbin"},
                                         {"nscd", "/usr/sbin"},
                                         {"ps", "/usr/bin"},
                                         {"rndc", "/usr/sbin"},
                                         {"rpm", "/usr/bin"},
                                         {"rsyslogd", "/usr/sbin"},
                                         {"sendmail", "/usr/sbin"},
                                         {"setsid", "/usr/bin"},
                                         {"sshd", "/usr/sbin"},
                                         {"systemctl", "/usr/bin"},
                                         {"timedatectl", "/usr/bin"},
                                         {"tput", "/usr/bin"},
                                     });
    define_value("cron_bin_path", "/usr/sbin/cron");
    define_value("default_gid_min", 1000);
    define_value("default_sys_gid_min", 100);
    define_value("default_sys_uid_min", 100);
    define_value("default_uid_min", 1000);
    define("display_name", [](const Instance& self, const std::vector<json>& args) -> json {
        std::string pretty = self.cls().call("pretty_distro", self, args).get<std::string>();
        std::string out = pretty + " " + self.major();
        if (!self.minor().empty() && self.minor() != "0") out += "." + self.minor();
        return out;
    });
    define_value("dns_named_conf", "/etc/named.conf");
    define_value("dns_supported", json::array({"bind", "powerdns", "disabled"}));
    define_value("is_apt_based", 0);
    define_value("is_rpm_based", 0);
    define_value("is_yum_based", 0);
    define_value("is_supported", 0);
    define_value("is_systemd", 1);
    define_value("maillog_path", "/var/log/maillog");
    define_value("nobody", "nobody");
    define_value("nogroup", "nobody");
    // Without a class of its own, the package tool that is present decides.
    define("package_manager", [](const Instance&, const std::vector<json>&) -> json {
        if (executable("/usr/bin/dpkg-query")) return "apt";
        if (executable("/usr/bin/rpm")) return "yum";
        return "";
    });
    define("package_manager_module", [](const Instance&, const std::vector<json>&) -> json {
        if (executable("/usr/bin/dpkg-query")) return "Norvik::Pkgr::Apt";
        if (executable("/usr/bin/rpm")) return "Norvik::Pkgr::Yum";
        return "";
    });
    define("pretty_distro",
           [](const Instance& self, const std::vector<json>&) -> json { return ucfirst(self.distro()); });
    define_value("release_codename", "");
    define_value("retry_rpm_cmd_no_tty_hack", 0);
    define_value("service_manager", "systemd");
    define_value("setup_tz_method", "timedatectl");
    define_value("syslog_service_name", "rsyslog");
    define_value("systemd_service_name_map", json{{"rsyslogd", "rsyslog"}, {"syslogd", "rsyslog"}});
}

}  // namespace norvik::os
