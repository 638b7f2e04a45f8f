// Facts that differ between Linux distributions (unit names, cron and mail
// log paths, package manager, binary directories, time-zone method). One
// instance per process knows the distribution and hands every question to
// the class for that distribution, or to the generic Linux class.
//
//   auto m = norvik::os::systemd_service_name_map();
//   std::string log = norvik::os::maillog_path();
//   nlohmann::json any = norvik::os::fact("nobody");
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "os/linux_system.hpp"

namespace norvik::os {

// What the release probe found: the kernel kind and the distribution.
struct Info {
    std::string kernel;
    std::string distro;
    std::string major;
    std::string minor;
    std::string build;
};

class Instance {
public:
    Instance(Info info, std::shared_ptr<const DistroClass> cls, bool fallback)
        : info_(std::move(info)), cls_(std::move(cls)), fallback_(fallback) {}
    const std::string& kernel() const { return info_.kernel; }
    const std::string& distro() const { return info_.distro; }
    const std::string& major() const { return info_.major; }
    const std::string& minor() const { return info_.minor; }
    const std::string& build() const { return info_.build; }
    int major_number() const;
    const DistroClass& cls() const { return *cls_; }
    const std::string& class_name() const { return cls_->name(); }
    // True when the distribution had no class of its own.
    bool is_fallback() const { return fallback_; }

private:
    Info info_;
    std::shared_ptr<const DistroClass> cls_;
    bool fallback_;
};

// The instance of this process, made on first use (from the release probe
// unless `given` is passed on that first call).
const Instance& instance();
// Makes the instance from given values (replacing any earlier one).
const Instance& make_instance(const Info& given);
// "Norvik::OS::" + Ucfirst(distro) + major.
std::string class_name_for(const std::string& distro, const std::string& major);

std::string distro();
std::string major();
std::string minor();
std::string build();

// Any supported fact by name (a "Norvik::OS::" prefix is dropped). Raises a
// PlainError for a name outside the supported set, or one the class lacks.
nlohmann::json fact(const std::string& name, const std::vector<nlohmann::json>& args = {});
// The supported fact names, sorted.
const std::vector<std::string>& supported_methods();
// 1 when the list answered by fact `key` contains `value` (nullopt looks
// for a null element); raises when the fact is not a list.
int list_contains_value(const std::string& key, const std::optional<std::string>& value);
// Raises `message` when the base distribution is the Ubuntu family.
void assert_unreachable_on_ubuntu(const std::string& message = "This code path is not reachable on Ubuntu.");
// "Ubuntu 22" for "ubuntu22"; nothing for an unknown target.
std::optional<std::string> lookup_pretty_distro(const std::string& target);
// Forgets the instance; the next lookup detects the distribution again.
void clear_cache_after_distro_conversion();
// 0 when the custom-OS marker exists (nothing removed), else removes the
// OS information cache and returns 1.
int flush_disk_caches();

// The facts this program asks for, typed.
std::map<std::string, std::string> systemd_service_name_map();
std::string cron_bin_path();
std::string maillog_path();
std::string package_manager();
std::string package_manager_module();
bool retry_rpm_cmd_no_tty_hack();
std::map<std::string, std::string> binary_locations();
std::string setup_tz_method();

// General facts, typed.
std::string arch();
std::string base_distro();
int default_gid_min();
int default_sys_gid_min();
int default_sys_uid_min();
int default_uid_min();
std::string display_name();
std::string dns_named_conf();
std::vector<std::string> dns_supported();
bool is_apt_based();
bool is_rpm_based();
bool is_supported();
bool is_systemd();
bool is_yum_based();
std::string nobody();
std::string nogroup();
std::string pretty_distro();
std::string release_codename();
std::string service_manager();
std::string syslog_service_name();

}  // namespace norvik::os
