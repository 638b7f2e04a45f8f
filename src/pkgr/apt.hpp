// The package back end of Debian-based systems.
#pragma once

#include <memory>

#include "pkgr/dpkg_query.hpp"
#include "pkgr/base.hpp"

namespace norvik::pkgr {

class Apt : public Base {
public:
    explicit Apt(BaseOptions options = {}, pkgr::CmdOptions tool = {})
        : Base(options), tool_options_(std::move(tool)) {}
    std::string name() const override { return "apt"; }
    VersionMap get_version_for_packages(const std::vector<std::string>& packages) override;
    // package -> version (or "version:arch" with with_arch_suffix) of the
    // installed ones among `packages`.
    VersionMap installed_packages(const std::vector<std::string>& packages);
    bool is_installed(const std::string& package) override;
    pkgr::DpkgQuery& _dpkg_query();

private:
    pkgr::CmdOptions tool_options_;
    std::unique_ptr<pkgr::DpkgQuery> dpkg_query_;
};

}  // namespace norvik::pkgr
