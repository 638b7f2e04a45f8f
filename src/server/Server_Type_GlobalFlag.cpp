#include "server/Server_Type_GlobalFlag.hpp"

// SHIM: answers "no value" until the global cache module is available; to
// be replaced by a call to norvik::globalcache::data(cache, key).

namespace norvik::server::type {

std::optional<bool> global_flag(const std::string& /*cache*/, const std::string& /*key*/) { return std::nullopt; }

}  // namespace norvik::server::type
