// The package-manager back end interface.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace norvik::pkgr {

// package -> version (nothing for a line that could not be split).
using VersionMap = std::map<std::string, std::optional<std::string>>;

struct BaseOptions {
    bool with_arch_suffix = false;
};

class Base {
public:
    explicit Base(BaseOptions options = {}) : options_(options) {}
    virtual ~Base() = default;

    // Every back end supplies its name; the base raises.
    virtual std::string name() const;
    virtual VersionMap get_version_for_packages(const std::vector<std::string>& packages);
    // Installed version, or nothing when not installed.
    std::optional<std::string> get_package_version(const std::string& package);
    virtual bool is_installed(const std::string& package);
    // First package that owns the file (nothing when none).
    std::optional<std::string> what_package_owns_this_file(const std::string& file);
    virtual std::vector<std::string> what_owns(const std::string& file);

    const BaseOptions& options() const { return options_; }

protected:
    BaseOptions options_;
};

}  // namespace norvik::pkgr
