#include "os/os.hpp"

#include <unistd.h>

#include <algorithm>
#include <regex>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "os/all_systems.hpp"
#include "os/release_probe.hpp"

namespace norvik::os {

using nlohmann::json;

namespace {

std::unique_ptr<Instance>& held() {
    // Cache for the run: the operating-system facts.
    static std::unique_ptr<Instance> inst;
    return inst;
}

std::string ucfirst(std::string s) {
    if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
    return s;
}

std::string as_text(const json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_null()) return "";
    if (v.is_boolean()) return v.get<bool>() ? "1" : "0";
    return v.dump();
}

bool as_bool(const json& v) {
    if (v.is_boolean()) return v.get<bool>();
    if (v.is_number()) return v.get<double>() != 0;
    if (v.is_string()) {
        const auto& s = v.get_ref<const std::string&>();
        return !s.empty() && s != "0";
    }
    return !v.is_null();
}

int as_int(const json& v) {
    if (v.is_number()) return v.get<int>();
    if (v.is_string()) {
        try {
            return std::stoi(v.get<std::string>());
        } catch (const std::logic_error&) {  // not a number, or out of range
            return 0;
        }
    }
    return as_bool(v) ? 1 : 0;
}

std::map<std::string, std::string> as_map(const json& v) {
    std::map<std::string, std::string> out;
    if (!v.is_object()) return out;
    for (auto it = v.begin(); it != v.end(); ++it) out[it.key()] = as_text(it.value());
    return out;
}

}  // namespace

int Instance::major_number() const {
    try {
        return std::stoi(info_.major);
    } catch (const std::logic_error&) {  // not a number, or out of range
        return 0;
    }
}

std::string class_name_for(const std::string& distro, const std::string& major) {
    return "Norvik::OS::" + ucfirst(distro) + major;
}

const Instance& make_instance(const Info& given) {
    Info info = given;
    auto cls = os::find_class(class_name_for(info.distro, info.major));
    bool fallback = false;
    if (!cls || !cls->can("is_supported")) {
        fallback = true;
        cls = os::linux_class();
        if (info.kernel.empty()) info.kernel = Linux::DEFAULT_KERNEL;
    }
    held() = std::make_unique<Instance>(std::move(info), std::move(cls), fallback);
    return *held();
}

const Instance& instance() {
    if (!held()) make_instance(os::get_os_info(os::ACKNOWLEDGEMENT));
    return *held();
}

void clear_cache_after_distro_conversion() { held().reset(); }

std::string distro() { return instance().distro(); }
std::string major() { return instance().major(); }
std::string minor() { return instance().minor(); }
std::string build() { return instance().build(); }

const std::vector<std::string>& supported_methods() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v = {
            "arch",
            "base_distro",
            "binary_locations",
            "cron_bin_path",
            "default_gid_min",
            "default_sys_gid_min",
            "default_sys_uid_min",
            "default_uid_min",
            "display_name",
            "dns_named_conf",
            "dns_supported",
            "is_apt_based",
            "is_rpm_based",
            "is_supported",
            "is_systemd",
            "is_yum_based",
            "maillog_path",
            "nobody",
            "nogroup",
            "package_manager",
            "package_manager_module",
            "pretty_distro",
            "release_codename",
            "retry_rpm_cmd_no_tty_hack",
            "service_manager",
            "setup_tz_method",
            "syslog_service_name",
            "systemd_service_name_map",
        };
        std::sort(v.begin(), v.end());
        return v;
    }();
    return names;
}

json fact(const std::string& name, const std::vector<json>& args) {
    std::string method = name;
    auto pos = method.rfind("::");
    if (pos != std::string::npos) method = method.substr(pos + 2);
    const auto& sup = supported_methods();
    if (!std::binary_search(sup.begin(), sup.end(), method))
        throw PlainError("“" + method + "” is not a supported operating-system fact.");
    const Instance& self = instance();
    return self.cls().call(method, self, args);
}

int list_contains_value(const std::string& key, const std::optional<std::string>& value) {
    json list = fact(key);
    if (!list.is_array()) throw PlainError("The operating-system fact “" + key + "” is not a list.");
    for (const auto& el : list) {
        if (!value) {
            if (el.is_null()) return 1;
        } else if (!el.is_null() && as_text(el) == *value) {
            return 1;
        }
    }
    return 0;
}

void assert_unreachable_on_ubuntu(const std::string& message) {
    if (base_distro() == "ubuntu") throw PlainError(message);
}

std::optional<std::string> lookup_pretty_distro(const std::string& target) {
    static const std::regex re("^([A-Za-z]+)([0-9]+)$");
    std::string t = ucfirst(target);
    std::smatch m;
    if (!std::regex_match(t, m, re)) return std::nullopt;
    std::string name = m[1].str();
    int major_num = std::stoi(m[2].str());
    std::string lname = name;
    std::transform(lname.begin(), lname.end(), lname.begin(), [](unsigned char c) { return std::tolower(c); });
    bool found = false;
    for (const auto& [dname, dmajor] : os::supported_distros()) {
        if (dname == lname && dmajor == major_num) found = true;
    }
    if (!found) return std::nullopt;
    auto cls = os::find_class("Norvik::OS::" + t);
    if (!cls) cls = os::find_class(class_name_for(lname, std::to_string(major_num)));
    if (!cls) return std::nullopt;
    Instance probe(Info{Linux::DEFAULT_KERNEL, lname, std::to_string(major_num), "0", "0"}, cls, false);
    return as_text(cls->call("pretty_distro", probe)) + " " + std::to_string(major_num);
}

int flush_disk_caches() {
    if (os::custom_os_marker_exists()) return 0;
    ::unlink(foundation::os_info_cache().c_str());
    return 1;
}

std::map<std::string, std::string> systemd_service_name_map() { return as_map(fact("systemd_service_name_map")); }
std::string cron_bin_path() { return as_text(fact("cron_bin_path")); }
std::string maillog_path() { return as_text(fact("maillog_path")); }
std::string package_manager() { return as_text(fact("package_manager")); }
std::string package_manager_module() { return as_text(fact("package_manager_module")); }
bool retry_rpm_cmd_no_tty_hack() { return as_bool(fact("retry_rpm_cmd_no_tty_hack")); }
std::map<std::string, std::string> binary_locations() { return as_map(fact("binary_locations")); }
std::string setup_tz_method() { return as_text(fact("setup_tz_method")); }

std::string arch() { return as_text(fact("arch")); }
std::string base_distro() { return as_text(fact("base_distro")); }
int default_gid_min() { return as_int(fact("default_gid_min")); }
int default_sys_gid_min() { return as_int(fact("default_sys_gid_min")); }
int default_sys_uid_min() { return as_int(fact("default_sys_uid_min")); }
int default_uid_min() { return as_int(fact("default_uid_min")); }
std::string display_name() { return as_text(fact("display_name")); }
std::string dns_named_conf() { return as_text(fact("dns_named_conf")); }
std::vector<std::string> dns_supported() {
    std::vector<std::string> out;
    json v = fact("dns_supported");
    if (v.is_array())
        for (const auto& el : v) out.push_back(as_text(el));
    return out;
}
bool is_apt_based() { return as_bool(fact("is_apt_based")); }
bool is_rpm_based() { return as_bool(fact("is_rpm_based")); }
bool is_supported() { return as_bool(fact("is_supported")); }
bool is_systemd() { return as_bool(fact("is_systemd")); }
bool is_yum_based() { return as_bool(fact("is_yum_based")); }
std::string nobody() { return as_text(fact("nobody")); }
std::string nogroup() { return as_text(fact("nogroup")); }
std::string pretty_distro() { return as_text(fact("pretty_distro")); }
std::string release_codename() { return as_text(fact("release_codename")); }
std::string service_manager() { return as_text(fact("service_manager")); }
std::string syslog_service_name() { return as_text(fact("syslog_service_name")); }

}  // namespace norvik::os
