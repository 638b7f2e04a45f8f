// Ends the programs that listen on given TCP ports (IPv4 and IPv6), sparing
// listeners bound to excluded addresses, the caller and its ancestors.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace norvik::kill::appport {

// The package-wide verbosity flag (unset unless a caller sets it).
std::optional<bool> VERBOSE();
void set_VERBOSE(std::optional<bool> value);

struct Args {
    std::vector<int> ports;
    std::optional<bool> verbose;
    std::vector<std::string> exclude_ips;
};

struct Listener {
    pid_t pid = 0;
    int port = 0;
    std::string address;  // textual local address ("127.0.0.1", "::1", "0.0.0.0", "::")
};

// The listeners on those ports that would be ended (exposed for tests).
std::vector<Listener> find_listeners(const std::vector<int>& ports, const std::vector<std::string>& exclude_ips);

// Ends them with the usual escalation. Returns the number of pids ended;
// callers may ignore it.
int kill_apps_on_ports(const Args& args);

}  // namespace norvik::kill::appport
