#include "pkgr/apt.hpp"

#include <sstream>

#include "run/saferun_errors.hpp"

namespace norvik::pkgr {
namespace {
constexpr const char* LIST_FORMAT = "${db:Status-Abbrev} ${Package} ${Version} ${Architecture}\\n";
constexpr const char* STATUS_FORMAT = "${db:Status-Abbrev}";
constexpr const char* INSTALLED = "ii";
constexpr const char* ARCH_SEPARATOR = ":";
}  // namespace

pkgr::DpkgQuery& Apt::_dpkg_query() {
    if (!dpkg_query_) dpkg_query_ = std::make_unique<pkgr::DpkgQuery>(tool_options_);
    return *dpkg_query_;
}

VersionMap Apt::get_version_for_packages(const std::vector<std::string>& packages) {
    return installed_packages(packages);
}

VersionMap Apt::installed_packages(const std::vector<std::string>& packages) {
    std::vector<std::string> args = {"-W", "--showformat", LIST_FORMAT};
    for (auto& p : packages) args.push_back(p);
    auto result = _dpkg_query().cmd(args);
    VersionMap out;
    // A tool that was not started (status -1) has nothing to say.
    if (result.status == -1) return out;
    for (auto& line : run::split_lines(result.output)) {
        if (line.compare(0, 2, INSTALLED) != 0) continue;
        std::istringstream in(line);
        std::string state, package, version, arch;
        in >> state >> package >> version >> arch;
        if (package.empty() || version.empty()) continue;
        out[package] = options_.with_arch_suffix && !arch.empty() ? version + ARCH_SEPARATOR + arch : version;
    }
    return out;
}

bool Apt::is_installed(const std::string& package) {
    auto result = _dpkg_query().cmd({"-W", "--showformat", STATUS_FORMAT, package});
    return result.status == 0 && result.output.compare(0, 2, INSTALLED) == 0;
}

}  // namespace norvik::pkgr
