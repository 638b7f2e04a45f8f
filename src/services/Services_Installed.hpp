// Is the software behind a service present on this server?
#pragma once

#include <optional>
#include <string>

namespace norvik::services::installed {

// true = installed. An invalid name is not installed (warning logged).
bool service_is_installed(const std::string& service);

// The service name as used in the per-service test names ('-' -> '_').
std::string code_name(const std::string& service);

// The per-service test for a code name, when there is one: 1/0.
std::optional<int> per_service_test(const std::string& code_name);

}  // namespace norvik::services::installed
