// The database client configuration (an INI file): is the server remote?
#pragma once

#include <string>

namespace norvik::config {

// The "host" of the [client] section ("" when none or unreadable).
std::string client_host();
// True when that host is set and is not this machine.
bool is_remote_mysql();

}  // namespace norvik::config
