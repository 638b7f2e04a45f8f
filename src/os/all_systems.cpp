#include "os/all_systems.hpp"

#include <map>
#include <mutex>

#include "os/os.hpp"
#include "os/debian.hpp"
#include "os/rhel.hpp"

namespace norvik::os {

const std::vector<std::pair<std::string, int>>& supported_distros() {
    static const std::vector<std::pair<std::string, int>> list = {
        {"ubuntu", 20},   {"ubuntu", 22},   {"ubuntu", 24},    {"debian", 11},    {"debian", 12},
        {"almalinux", 8}, {"almalinux", 9}, {"rocky", 8},      {"rocky", 9},      {"centos", 7},
        {"rhel", 8},      {"rhel", 9},      {"cloudlinux", 8}, {"cloudlinux", 9},
    };
    return list;
}

namespace {

std::shared_ptr<const DistroClass> build(const std::string& distro, int major) {
    std::string name = class_name_for(distro, std::to_string(major));
    if (distro == "ubuntu") return std::make_shared<Ubuntu>(name);
    if (distro == "debian") return std::make_shared<Debian>(name);
    static const std::map<std::string, std::string> pretty = {
        {"almalinux", "AlmaLinux"},           {"rocky", "Rocky Linux"},     {"centos", "CentOS"},
        {"rhel", "Red Hat Enterprise Linux"}, {"cloudlinux", "CloudLinux"},
    };
    auto it = pretty.find(distro);
    if (it != pretty.end()) return std::make_shared<Rhel>(name, it->second);
    return nullptr;
}

}  // namespace

// Built on first use, one class at a time: a run needs only its own.
std::shared_ptr<const DistroClass> find_class(const std::string& class_name) {
    // Guards the classes built on first use.
    static std::mutex guard;
    // Cache for the run: distribution classes built on first use.
    static std::map<std::string, std::shared_ptr<const DistroClass>> built;
    std::lock_guard<std::mutex> hold(guard);
    if (auto it = built.find(class_name); it != built.end()) return it->second;
    for (const auto& [distro, major] : supported_distros()) {
        if (class_name_for(distro, std::to_string(major)) != class_name) continue;
        auto cls = build(distro, major);
        built[class_name] = cls;
        return cls;
    }
    return nullptr;
}

std::shared_ptr<const DistroClass> linux_class() {
    static const auto cls = std::make_shared<const Linux>();
    return cls;
}

}  // namespace norvik::os
