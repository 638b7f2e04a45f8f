#include "foundation/paths.hpp"

#include <cstdlib>
#include <mutex>

namespace norvik::foundation {
namespace {

std::string& root_storage() {
    // NORVIK_ROOT, read once.
    static std::string value;
    return value;
}

bool& initialised() {
    // Whether NORVIK_ROOT was read yet.
    static bool done = false;
    return done;
}

std::string strip_trailing_slashes(std::string s) {
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    if (s == "/") s.clear();
    return s;
}

}  // namespace

void init_paths() {
    if (initialised()) return;
    initialised() = true;
    const char* env = std::getenv("NORVIK_ROOT");
    root_storage() = env ? strip_trailing_slashes(env) : std::string();
}

const std::string& root() {
    init_paths();
    return root_storage();
}

void set_root_for_testing(const std::string& r) {
    initialised() = true;
    root_storage() = strip_trailing_slashes(r);
}

std::string rooted(const std::string& absolute) { return root() + absolute; }

std::string lock_base() { return rooted("/var/norvik/restartsrv/locks"); }
std::string startup_log_dir() { return rooted("/var/norvik/restartsrv/startup_logs"); }
std::string error_log() { return rooted("/usr/local/norvik/logs/error_log"); }
std::string panic_log() { return rooted("/usr/local/norvik/logs/panic_log"); }
std::string logs_dir() { return rooted("/usr/local/norvik/logs"); }
std::string main_config() { return rooted("/var/norvik/norvik.config"); }
std::string main_config_cache() { return rooted("/var/norvik/norvik.config.cache"); }
std::string disable_file_plain(const std::string& service) { return rooted("/etc/" + service + "disable"); }
std::string disable_file_dotted(const std::string& service) { return rooted("/etc/" + service + ".disabled"); }
std::string etc_dir() { return rooted("/etc"); }
std::string role_touch_dir() { return rooted("/var/norvik/roles/disabled"); }
std::string servmon_suspended_dir() { return rooted("/var/norvik/servmon/suspended"); }
std::string servmon_suspend_flag() { return rooted("/var/norvik/servmon/suspend"); }
std::string servmon_d_dir() { return rooted("/etc/servmon.d"); }
std::string init_d_dir() { return rooted("/etc/init.d"); }
std::string systemctl() { return rooted("/usr/bin/systemctl"); }
std::string systemd_private_socket() { return rooted("/run/systemd/private"); }
std::string journalctl() { return rooted("/usr/bin/journalctl"); }
std::string custom_services_dir() { return rooted("/var/norvik/custom/services"); }
std::string builtin_services_dir() { return rooted("/usr/local/norvik/etc/services"); }
std::string strict_definitions_marker() { return rooted("/var/norvik/strict_service_definitions"); }
std::string dnsonly_marker() { return rooted("/var/norvik/dnsonly"); }
std::string os_info_cache() { return rooted("/var/norvik/caches/os_info"); }
std::string os_custom_marker() { return rooted("/var/norvik/caches/os_custom"); }
std::string global_cache_dir() { return rooted("/var/norvik/globalcache"); }
std::string state_dir() { return rooted("/var/norvik"); }
std::string norvik_base_dir() { return rooted("/usr/local/norvik"); }

std::string passwd_file() { return rooted("/etc/passwd"); }
std::string shadow_file() { return rooted("/etc/shadow"); }
std::string group_file() { return rooted("/etc/group"); }
std::string pwcache_dir() { return rooted("/var/norvik/pw.cache"); }
std::string os_release() { return rooted("/etc/os-release"); }
std::string redhat_release() { return rooted("/etc/redhat-release"); }
std::string localtime_file() { return rooted("/etc/localtime"); }
std::string timezone_file() { return rooted("/etc/timezone"); }
std::string sysconfig_clock() { return rooted("/etc/sysconfig/clock"); }
std::string zoneinfo_dir() { return rooted("/usr/share/zoneinfo"); }
std::string timezones_cache() { return rooted("/var/norvik/caches/timezones"); }
std::string no_color_flag() { return rooted("/var/norvik/nocolor"); }
std::string user_no_color_flag(const std::string& home) { return home + "/.norvik_nocolor"; }
std::string protocols_file() { return rooted("/etc/mailserver/protocols"); }
std::string mysql_client_config() { return rooted("/root/.my.cnf"); }
std::string phpfpm_base_dir() { return rooted("/opt/norvik/php"); }
std::vector<std::string> systemd_unit_dirs() {
    std::vector<std::string> dirs;
    for (const char* d :
         {"/etc/systemd/system.control", "/run/systemd/system.control", "/run/systemd/transient",
          "/run/systemd/generator.early", "/etc/systemd/system", "/etc/systemd/system.attached", "/run/systemd/system",
          "/run/systemd/system.attached", "/run/systemd/generator", "/usr/local/lib/systemd/system",
          "/usr/lib/systemd/system", "/lib/systemd/system", "/run/systemd/generator.late"})
        dirs.push_back(rooted(d));
    return dirs;
}
std::string cgroup_fs() { return "/sys/fs/cgroup"; }
std::string dpkg_lock() { return rooted("/var/lib/dpkg/lock"); }
std::string rpm_lock() { return rooted("/var/lib/rpm/.rpm.lock"); }
std::string services_log_dir() { return rooted("/var/log"); }
std::string apache_error_log() { return rooted("/usr/local/apache/logs/error_log"); }
std::string mysql_error_log() { return rooted("/var/log/mysqld.log"); }
std::string userdomains_file() { return rooted("/etc/userdomains"); }
std::string binaries_lock_dir() { return rooted("/var/norvik/locks/binaries"); }
std::string yum_pid_file() { return rooted("/var/run/yum.pid"); }
std::string mailserver_conf() { return rooted("/etc/mailserver/mailserver.conf"); }
std::string servmon_conf() { return rooted("/etc/servmon.conf"); }
std::string product_type_file() { return rooted("/var/norvik/producttype"); }
std::string hx4_flag() { return rooted("/var/norvik/hx4_httpd"); }
std::string dormant_services_dir() { return rooted("/var/norvik/dormant_services"); }
std::string p0f_binary() { return rooted("/usr/local/norvik/3rdparty/sbin/p0f"); }
std::string log_trace_touch_file() { return rooted("/var/norvik/log_backtrace"); }
std::string sandbox_marker() { return rooted("/var/norvik/dev_sandbox"); }
std::string smoker_marker() { return rooted("/var/norvik/smoker"); }
std::string sandbox_no_notify_marker() { return rooted("/var/norvik/dev_sandbox_no_notify"); }

}  // namespace norvik::foundation
