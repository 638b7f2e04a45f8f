// Is the software behind a service present on this server?
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace norvik::services {

// true = installed: the service's own test says so, or (for services without
// one) its monitor file exists, or else the back-end probe knows it. An
// invalid name is not installed (warning logged).
bool service_is_installed(const std::string& service);

// "Does systemd or an init script know this service?", answered from above
// (the service object knows its back end). Set for the life of the object.
using BackendProbe = std::function<bool(const std::string& service)>;
class ScopedBackendProbe {
public:
    explicit ScopedBackendProbe(BackendProbe probe);
    ~ScopedBackendProbe();
    ScopedBackendProbe(const ScopedBackendProbe&) = delete;
    ScopedBackendProbe& operator=(const ScopedBackendProbe&) = delete;

private:
    BackendProbe saved_;
};

// The service name as used in the per-service test names ('-' -> '_').
std::string code_name(const std::string& service);

// Not on this server by its type (IMAP, POP, FTP and WebDAV on a DNS-only server):
// final, whatever unit or init script is there.
bool is_excluded_by_server_type(const std::string& service);

// The per-service test for a code name, when there is one.
std::optional<bool> per_service_test(const std::string& code_name);

}  // namespace norvik::services
