// A true/false fact from the panel's global cache (e.g. whether the database
// server is remote), shared by the enabled test and the PostgreSQL role.
#pragma once

#include <optional>
#include <string>

namespace norvik::server {

// nullopt when the cache has no such value.
std::optional<bool> global_flag(const std::string& cache, const std::string& key);

}  // namespace norvik::server
