// Suspending the service monitor's watch of one service until an expiry
// time. One file per service in service_suspend_dir() (0700), holding the
// expiry in epoch seconds without a newline, mode 0600, replaced atomically.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace norvik::servmon {

inline constexpr int64_t DEFAULT_SUSPENSION_DELAY = 70;
inline constexpr int64_t MAX_SUSPENSION_DELAY = 3600;

std::string service_suspend_dir();
std::string suspend_file();  // whole-monitor flag
std::string servmon_conf();

using Suspensions = std::map<std::string, int64_t>;

// delay/now of 0 or nullopt take their defaults; delay is capped at 3600.
// False (with a logged warning) when the directory or file cannot be
// written. A name with '/' (or empty, or only dots) raises PlainError.
bool suspend_service(const std::string& service, std::optional<int64_t> delay = std::nullopt,
                     std::optional<int64_t> now = std::nullopt);

// true suspended, false expired, nullopt when no service / no expiry is known.
// The map is consulted first, then the service's file.
std::optional<bool> is_service_suspended(const Suspensions& suspensions, const std::string& service);

// Number of files removed (0 or 1).
int resume_service(const std::string& service);

// nullopt when the directory cannot be opened or holds no suspension.
std::optional<Suspensions> load_service_suspensions();

// The file path for a service; PlainError for a name that could leave the
// directory.
std::string service_file(const std::string& service);

// True while the whole-monitor flag file exists.
bool is_suspended();

}  // namespace norvik::servmon
