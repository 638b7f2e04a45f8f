// Process resource limits (soft and hard together) through the raw
// getrlimit/setrlimit calls. A limit of -1 means infinity.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace norvik::rlimit {

// Resource name ("AS", "DATA", "CORE", "NOFILE"...) -> number.
const std::map<std::string, int>& RLIMITS();

// Sets the address-space and data limits to `limit` bytes (default: the
// main configuration's maxmem in MiB, at least norvik::maxmem::minimum();
// 0 there means unlimited) and the core limit to the same when the
// configuration's coredump is on, else 0. 1 on success; 0 (with one warning
// listing every failure) otherwise.
int set_rlimit(std::optional<long long> limit = std::nullopt,
               const std::vector<std::string>& names = {});
// Like set_rlimit with the minimum (norvik::maxmem::minimum() MiB).
int set_min_rlimit();
// name -> (soft, hard) of every resource in RLIMITS().
std::map<std::string, std::pair<long long, long long>> get_current_rlimits();
// Puts back limits read by get_current_rlimits(); 1 when all were set.
int restore_rlimits(const std::map<std::string, std::pair<long long, long long>>& limits);
int set_rlimit_to_infinity(const std::vector<std::string>& names = {});
int set_open_files_to_maximum();

}  // namespace norvik::rlimit

namespace norvik::sys::rlimit {

// (soft, hard); -1 for infinity. Raises "IO::RlimitError" on failure.
std::pair<long long, long long> getrlimit(int resource);
// errno on failure, 0 on success.
int setrlimit(int resource, long long soft, long long hard);

}  // namespace norvik::sys::rlimit
