// The package back end of RPM-based systems.
#pragma once

#include <memory>

#include "pkgr/rpm.hpp"
#include "pkgr/base.hpp"

namespace norvik::pkgr {

class Yum : public Base {
public:
    explicit Yum(BaseOptions options = {}, pkgr::CmdOptions tool = {})
        : Base(options), tool_options_(std::move(tool)) {}
    std::string name() const override { return "yum"; }
    VersionMap get_version_for_packages(const std::vector<std::string>& packages) override;
    bool is_installed(const std::string& package) override;
    pkgr::Rpm& _rpm();

private:
    pkgr::CmdOptions tool_options_;
    std::unique_ptr<pkgr::Rpm> rpm_;
};

}  // namespace norvik::pkgr
