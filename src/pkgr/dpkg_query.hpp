// Debian's package query tool.
#pragma once

#include "pkgr/role_commands.hpp"

namespace norvik::pkgr {

class DpkgQuery : public pkgr::Cmd {
public:
    using pkgr::Cmd::Cmd;
    std::string tool_class() const override { return "Norvik::Binaries::Debian::DpkgQuery"; }
    // "dpkg-query" on PATH, else /usr/bin/dpkg-query.
    std::string bin_path() const override;
    std::vector<std::string> locks_to_wait_for() const override;
};

}  // namespace norvik::pkgr
