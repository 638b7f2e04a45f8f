#include "os/debian.hpp"

#include "os/os.hpp"

namespace norvik::os {

using nlohmann::json;

Debian::Debian(std::string name) : Linux(std::move(name)) {
    define_value("base_distro", "debian");
    define_value("cron_bin_path", "/usr/sbin/cron");
    define_value("dns_named_conf", "/etc/bind/named.conf");
    define_value("is_apt_based", 1);
    define_value("is_supported", 1);
    define_value("maillog_path", "/var/log/mail.log");
    define_value("nogroup", "nogroup");
    define_value("package_manager", "apt");
    define_value("package_manager_module", "Norvik::Pkgr::Apt");
    define_value("pretty_distro", "Debian");
    define("release_codename", [](const Instance& self, const std::vector<json>&) -> json {
        switch (self.major_number()) {
            case 11:
                return "bullseye";
            case 12:
                return "bookworm";
            case 13:
                return "trixie";
            default:
                return "";
        }
    });
    define_value("systemd_service_name_map", json{
                                                 {"crond", "cron"},
                                                 {"named", "named"},
                                                 {"rsyslogd", "rsyslog"},
                                                 {"sshd", "ssh"},
                                                 {"syslogd", "rsyslog"},
                                             });
}

Ubuntu::Ubuntu(std::string name) : Debian(std::move(name)) {
    define_value("base_distro", "ubuntu");
    define_value("pretty_distro", "Ubuntu");
    define("release_codename", [](const Instance& self, const std::vector<json>&) -> json {
        switch (self.major_number()) {
            case 20:
                return "focal";
            case 22:
                return "jammy";
            case 24:
                return "noble";
            default:
                return "";
        }
    });
    define("systemd_service_name_map", [](const Instance& self, const std::vector<json>&) -> json {
        json m{{"crond", "cron"}, {"rsyslogd", "rsyslog"}, {"sshd", "ssh"}, {"syslogd", "rsyslog"}};
        // bind's unit took the upstream name in 22.04.
        m["named"] = self.major_number() >= 22 ? "named" : "bind9";
        return m;
    });
}

}  // namespace norvik::os
