#include "os/rhel.hpp"

#include "os/os.hpp"

namespace norvik::os {

using nlohmann::json;

Rhel::Rhel(std::string name, std::string pretty) : Linux(std::move(name)) {
    define_value("base_distro", "rhel");
    define_value("cron_bin_path", "/usr/sbin/crond");
    define_value("default_sys_gid_min", 201);
    define_value("default_sys_uid_min", 201);
    define_value("dns_named_conf", "/etc/named.conf");
    define_value("is_rpm_based", 1);
    define_value("is_yum_based", 1);
    define_value("is_supported", 1);
    define_value("maillog_path", "/var/log/maillog");
    define_value("nogroup", "nobody");
    define("package_manager", [](const Instance& self, const std::vector<json>&) -> json {
        return self.major_number() >= 8 ? "dnf" : "yum";
    });
    define_value("package_manager_module", "Norvik::Pkgr::Yum");
    define_value("pretty_distro", std::move(pretty));
    // rpm of the 7 series wants a terminal on standard input for some queries.
    define("retry_rpm_cmd_no_tty_hack",
           [](const Instance& self, const std::vector<json>&) -> json { return self.major_number() < 8 ? 1 : 0; });
    define_value("systemd_service_name_map", json{
                                                 {"crond", "crond"},
                                                 {"rsyslogd", "rsyslog"},
                                                 {"sshd", "sshd"},
                                                 {"syslogd", "rsyslog"},
                                             });
}

}  // namespace norvik::os
