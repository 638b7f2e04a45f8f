// What the process checks need to know of a service's unit.
#pragma once

#include <optional>
#include <string>

#include "proc/service_check.hpp"

namespace norvik::systemd {

// The facts of the service's unit, nothing when systemd has no such unit.
std::optional<proc::UnitFacts> unit_facts(const std::string& service);

}  // namespace norvik::systemd
