// Package queries against the system's package manager (dpkg-query on
// Debian-based systems, rpm on RPM-based ones). The tools are found through
// PATH. One back end per process, made on first use.
//
//   auto v = norvik::pkgr::get_package_version("exim4");   // nothing if absent
#pragma once

#include <optional>
#include <string>

#include "pkgr/base.hpp"

namespace norvik::pkgr {

// Bound on package-manager health checks (seconds).
constexpr int TIMEOUT = 600;

Base& instance();
// Picks the back end named by the operating-system facts.
std::unique_ptr<Base> factory();

std::optional<std::string> get_package_version(const std::string& package);
bool is_installed(const std::string& package);
std::string name();

// Tests: forget the back end (the next call makes a new one), or use `pkgr`.
void reset_instance_for_testing(std::unique_ptr<Base> pkgr = nullptr);

}  // namespace norvik::pkgr
