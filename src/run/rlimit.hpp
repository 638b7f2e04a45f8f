// Process resource limits (soft and hard together) through the raw
// getrlimit/setrlimit calls. A limit of -1 means infinity.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace norvik::run {

// Resource name ("AS", "DATA", "CORE", "NOFILE"...) -> number.
const std::map<std::string, int>& RLIMITS();

// The two main-configuration values behind the default limits. The caller
// reads them (maxmem and coredump): the configuration is a floor above.
struct RlimitSettings {
    std::string maxmem;  // MiB; "" or not a number: the minimum; "0": unlimited
    bool coredump = false;
};

// The limit in bytes for a maxmem setting: at least norvik::run::minimum_maxmem()
// MiB, -1 (unlimited) for "0".
long long default_limit(const std::string& maxmem_setting);

// Sets the address-space and data limits to `limit` bytes (default:
// default_limit(settings.maxmem); 0 means unlimited) and the core limit to
// the same when settings.coredump is on, else 0. 1 on success; 0 (with one
// warning listing every failure) otherwise.
int set_rlimit(std::optional<long long> limit = std::nullopt, const std::vector<std::string>& names = {},
               const RlimitSettings& settings = {});
// Like set_rlimit with the minimum (norvik::run::minimum_maxmem() MiB).
int set_min_rlimit();
// name -> (soft, hard) of every resource in RLIMITS().
std::map<std::string, std::pair<long long, long long>> get_current_rlimits();
// Puts back limits read by get_current_rlimits(); 1 when all were set.
int restore_rlimits(const std::map<std::string, std::pair<long long, long long>>& limits);
int set_rlimit_to_infinity(const std::vector<std::string>& names = {});
int set_open_files_to_maximum();

// (soft, hard); -1 for infinity. Raises "IO::RlimitError" on failure.
std::pair<long long, long long> sys_getrlimit(int resource);
// errno on failure, 0 on success.
int sys_setrlimit(int resource, long long soft, long long hard);

}  // namespace norvik::run
