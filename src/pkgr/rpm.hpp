// The RPM query tool.
#pragma once

#include "pkgr/role_commands.hpp"
#include "pkgr/base.hpp"

namespace norvik::pkgr {

class Rpm : public pkgr::Cmd {
public:
    using pkgr::Cmd::Cmd;
    std::string tool_class() const override { return "Norvik::Binaries::Rpm"; }
    // "rpm" on PATH, else /usr/bin/rpm or /bin/rpm.
    std::string bin_path() const override;
    // Queries ("-q") and test erasures ("-e ... --test") leave the database alone.
    bool needs_lock(const std::vector<std::string>& args) const override;
    std::string lock_to_hold() const override { return "rpm"; }
    std::vector<std::string> locks_to_wait_for() const override;

    // name -> "version-release"; packages that are not installed are absent.
    pkgr::VersionMap get_version(const std::vector<std::string>& packages);
    bool has_rpm(const std::string& package);
};

}  // namespace norvik::pkgr
