// Finds out which distribution runs, from the Red Hat release file or the
// OS release file, and keeps the answer in a symbolic link whose link text
// is "kernel|distro|major|minor|build" (one lstat and one readlink to read).
#pragma once

#include <optional>
#include <string>

#include "os/os.hpp"

namespace norvik::os {

// Only callers that pass this word may ask.
inline constexpr const char* ACKNOWLEDGEMENT = "i-use-norvik-os-for-facts";

// Raises a PlainError without the acknowledgement, when a release file exists
// but cannot be read, or when the distribution cannot be made out.
Info get_os_info(const std::string& acknowledgement);

// The pieces, exposed for tests.
struct Release {
    std::string distro, major, minor, build;
};
std::optional<Release> _read_os_release();
std::optional<Release> _read_redhat_release();
// The cached values, or nothing when there is no cache or it is stale.
std::optional<Info> read_cache();
// Writes the cache link (only as root; failures are silent).
void _cache_os_info(const Info& info);
// True when the custom-OS marker exists.
bool custom_os_marker_exists();

}  // namespace norvik::os
