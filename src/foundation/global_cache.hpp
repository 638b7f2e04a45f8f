// Precomputed facts read from cache files that other programs of the panel
// write: <product dir>/globalcache/<name>.json, a JSON map with up to three
// sections: "data" (named values), "file" (contents by path) and "command"
// (outputs by command key: the words joined by COMMAND_KEY_SEPARATOR).
// A cache answers only while it is strictly newer than what it summarises;
// a missing or corrupt cache file falls back to the real source.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvik::foundation {

inline constexpr char COMMAND_KEY_SEPARATOR = '\x1f';
inline constexpr const char* CACHE_SUBDIR = "globalcache";
inline constexpr const char* CACHE_SUFFIX = ".json";

// The "data" value `name` when present and the cache's mtime > test_mtime.
std::optional<nlohmann::json> global_cache_data(const std::string& cache, const std::string& name,
                                                int64_t test_mtime = 0);
// The cached contents of path when the cache is newer than the file, else
// the file read now (nullopt when unreadable).
std::optional<std::string> global_cache_loadfile(const std::string& cache, const std::string& path,
                                                 std::optional<int64_t> path_mtime = std::nullopt);
// Runs a command without a shell and gives its output (nullopt on failure).
// The caller passes it in: running commands belongs to a floor above this one.
using CommandRunner = std::function<std::optional<std::string>(const std::vector<std::string>& command)>;

// The cached output when the cache is newer than the program's mtime and
// ctime, else the output of run(command) (remembered for the process).
std::optional<std::string> cachedcommand(const std::string& cache, const std::vector<std::string>& command,
                                         const CommandRunner& run);
// The cached output while cache mtime + cache_max_mtime lies in the future,
// else the output of run(command), remembered for cache_max_mtime seconds.
std::optional<std::string> cachedmcommand(const std::string& cache, int64_t cache_max_mtime,
                                          const std::vector<std::string>& command, const CommandRunner& run);

std::optional<int64_t> get_cache_mtime(const std::string& cache);
std::string command_key(const std::vector<std::string>& command);
std::string cache_file(const std::string& cache);

void clearcache();
// Sets the product configuration directory (default norvik::foundation::state_dir()).
void default_product_dir(const std::string& dir);

}  // namespace norvik::foundation
