#include "pkgr/yum.hpp"

namespace norvik::pkgr {

pkgr::Rpm& Yum::_rpm() {
    if (!rpm_) rpm_ = std::make_unique<pkgr::Rpm>(tool_options_);
    return *rpm_;
}

VersionMap Yum::get_version_for_packages(const std::vector<std::string>& packages) {
    return _rpm().get_version(packages);
}

bool Yum::is_installed(const std::string& package) { return _rpm().has_rpm(package); }

}  // namespace norvik::pkgr
