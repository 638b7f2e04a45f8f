// Every fixed path the program reads or writes as data, in one place.
// When NORVIK_ROOT is set at start-up, every path here is placed below it,
// so that tests and demos run against a private tree. /proc, /dev and the
// PATH directories are never moved.
#pragma once

#include <string>
#include <vector>

namespace norvik::foundation {

// The root prefix ("" when NORVIK_ROOT is unset). Read once, on first use or
// by init_paths() at program start, before the environment is cleaned.
const std::string& root();
void init_paths();
// For tests inside one process: set the prefix explicitly.
void set_root_for_testing(const std::string& root);

// Prefixes an absolute path with the root.
std::string rooted(const std::string& absolute);

std::string lock_base();                                      // /var/norvik/restartsrv/locks
std::string startup_log_dir();                                // /var/norvik/restartsrv/startup_logs
std::string error_log();                                      // /usr/local/norvik/logs/error_log
std::string panic_log();                                      // /usr/local/norvik/logs/panic_log
std::string logs_dir();                                       // /usr/local/norvik/logs
std::string main_config();                                    // /var/norvik/norvik.config
std::string main_config_cache();                              // /var/norvik/norvik.config.cache
std::string disable_file_plain(const std::string& service);   // /etc/<service>disable
std::string disable_file_dotted(const std::string& service);  // /etc/<service>.disabled
std::string etc_dir();                                        // /etc
std::string role_touch_dir();                                 // /var/norvik/roles/disabled
std::string servmon_suspended_dir();                          // /var/norvik/servmon/suspended
std::string servmon_suspend_flag();                           // /var/norvik/servmon/suspend
std::string servmon_d_dir();                                  // /etc/servmon.d
std::string init_d_dir();                                     // /etc/init.d
std::string systemctl();                                      // /usr/bin/systemctl
std::string journalctl();                                     // /usr/bin/journalctl
std::string systemd_private_socket();                         // /run/systemd/private
std::string custom_services_dir();                            // /var/norvik/custom/services
std::string builtin_services_dir();                           // /usr/local/norvik/etc/services
std::string strict_definitions_marker();                      // /var/norvik/strict_service_definitions
std::string dnsonly_marker();                                 // /var/norvik/dnsonly
std::string os_info_cache();                                  // /var/norvik/caches/os_info
std::string os_custom_marker();  // /var/norvik/caches/os_custom (a symlink: the OS cache is kept as it is)
std::string global_cache_dir();  // /var/norvik/globalcache
std::string state_dir();         // /var/norvik
std::string norvik_base_dir();   // /usr/local/norvik

// Files of the host that the program reads as data; re-rooted like the rest.
std::string passwd_file();                                // /etc/passwd
std::string shadow_file();                                // /etc/shadow
std::string group_file();                                 // /etc/group
std::string pwcache_dir();                                // /var/norvik/pw.cache
std::string os_release();                                 // /etc/os-release
std::string redhat_release();                             // /etc/redhat-release
std::string localtime_file();                             // /etc/localtime
std::string timezone_file();                              // /etc/timezone
std::string sysconfig_clock();                            // /etc/sysconfig/clock
std::string zoneinfo_dir();                               // /usr/share/zoneinfo
std::string timezones_cache();                            // /var/norvik/caches/timezones
std::string no_color_flag();                              // /var/norvik/nocolor
std::string user_no_color_flag(const std::string& home);  // <home>/.norvik_nocolor
std::string protocols_file();                             // /etc/mailserver/protocols
std::string mysql_client_config();                        // /root/.my.cnf
std::string phpfpm_base_dir();                            // /opt/norvik/php
// Every folder systemd loads system units from, generators' output included
// (/etc/systemd/system, /run/systemd/system, /usr/local/lib/systemd/system,
// /usr/lib/systemd/system, /lib/systemd/system, /run/systemd/generator*, ...).
std::vector<std::string> systemd_unit_dirs();
// The control-group tree; a kernel file system like /proc, never moved.
std::string cgroup_fs();          // /sys/fs/cgroup
std::string dpkg_lock();          // /var/lib/dpkg/lock
std::string rpm_lock();           // /var/lib/rpm/.rpm.lock
std::string services_log_dir();   // /var/log
std::string apache_error_log();   // /usr/local/apache/logs/error_log
std::string mysql_error_log();    // /var/log/mysqld.log
std::string userdomains_file();   // /etc/userdomains
std::string binaries_lock_dir();  // /var/norvik/locks/binaries
std::string yum_pid_file();       // /var/run/yum.pid
// Settings and markers of the mail server, the monitor, the product and the
// dormant services.
std::string mailserver_conf();       // /etc/mailserver/mailserver.conf
std::string servmon_conf();          // /etc/servmon.conf
std::string product_type_file();     // /var/norvik/producttype
std::string hx4_flag();              // /var/norvik/hx4_httpd
std::string dormant_services_dir();  // /var/norvik/dormant_services
std::string p0f_binary();            // /usr/local/norvik/3rdparty/sbin/p0f
// Logger marker files.
std::string log_trace_touch_file();      // /var/norvik/log_backtrace
std::string sandbox_marker();            // /var/norvik/dev_sandbox
std::string smoker_marker();             // /var/norvik/smoker
std::string sandbox_no_notify_marker();  // /var/norvik/dev_sandbox_no_notify

}  // namespace norvik::foundation
