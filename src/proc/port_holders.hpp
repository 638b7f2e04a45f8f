// Ends the programs that listen on given TCP ports (IPv4 and IPv6), sparing
// listeners bound to excluded addresses, the caller and its ancestors.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace norvik::proc {

struct Listener {
    pid_t pid = 0;
    int port = 0;
    std::string address;  // textual local address ("127.0.0.1", "::1", "0.0.0.0", "::")
    uid_t uid = 0;        // the process's owner
};

// Which listeners are the service's: those of root or its owner, and those
// on an address that keeps it from binding its own.
struct Service {
    std::string owner;                           // processowner ("" for none)
    std::map<int, std::set<std::string>> binds;  // port -> the addresses it binds
    // For a start that failed: a port whose bind is not known counts as
    // bound to the wildcards, which every address of the port blocks.
    bool unknown_bind_is_wildcard = false;
};

// True when a listener on `a` keeps a socket of the same port from binding
// `b`: the same family, and the same address or a wildcard on either side;
// "::" on either side (it may be dual-stack) conflicts with every address.
bool addresses_conflict(const std::string& a, const std::string& b);

// The addresses that root's and the owner's listeners in `all` hold, added
// to s.binds.
void learn_binds(const std::vector<Listener>& all, Service& s);

// Those of `all` that are the service's (see Service).
std::vector<Listener> service_listeners(const std::vector<Listener>& all, const Service& s);

struct Args {
    std::vector<int> ports;
    std::optional<bool> verbose;
    std::vector<std::string> exclude_ips;
    // When set, only the service's listeners are ended, and `warn` hears of
    // each one of another user.
    std::optional<Service> service = std::nullopt;
    std::function<void(const std::string&)> warn = {};
};

// The listeners on those ports that would be ended (exposed for tests).
std::vector<Listener> find_listeners(const std::vector<int>& ports, const std::vector<std::string>& exclude_ips);

// Ends them with the usual escalation. Returns the number of pids ended;
// callers may ignore it.
int kill_apps_on_ports(const Args& args);

}  // namespace norvik::proc
