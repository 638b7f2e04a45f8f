#include "services/installed.hpp"

#include <sys/stat.h>

#include <functional>
#include <map>
#include <set>

#include "config/httpd_hx4.hpp"
#include "foundation/find_bin.hpp"
#include "foundation/paths.hpp"
#include "foundation/service_name.hpp"
#include "log/debug.hpp"
#include "os/os.hpp"
#include "pkgr/binaries.hpp"
#include "server/server_type.hpp"
#include "server/role_names.hpp"
#include "services/db_utils.hpp"
#include "services/phpfpm.hpp"
#include "services/always_installed.hpp"
#include "servmon/config.hpp"

namespace norvik::services {
namespace {

using foundation::is_executable;

bool exe(const std::string& path) { return is_executable(path); }
bool not_dnsonly() { return !server::is_dnsonly(); }
bool found(const std::string& path) { return !path.empty(); }

const std::map<std::string, std::function<bool()>>& tests() {
    // Keyed by code name; the mail transfer agent's program has its service's name.
    static const std::map<std::string, std::function<bool()>> t = {
        {server::CLAMD, [] { return exe(pkgr::path(server::CLAMD)); }},
        {server::WEBDAV, [] { return not_dnsonly(); }},
        {server::MTA, [] { return exe(pkgr::path(server::MTA)); }},
        {code_name(server::MTA_ALTPORT), [] { return exe(pkgr::path(server::MTA)); }},
        {server::FTPD,
         [] {
             if (!not_dnsonly()) return false;
             return found(foundation::findbin(server::PURE_FTPD)) || found(foundation::findbin(server::PROFTPD));
         }},
        {server::HTTPD, [] { return config::is_hx4(); }},
        {server::IMAP, [] { return not_dnsonly(); }},
        {server::POP, [] { return not_dnsonly(); }},
        {server::MAILMAN, [] { return not_dnsonly(); }},
        {server::MYSQL, [] { return found(services::find_mysqld()); }},
        {server::POSTGRESQL, [] { return found(services::find_postmaster()); }},
        {server::NORVIKLOGD, [] { return false; }},
        {server::RSYSLOGD, [] { return found(foundation::findbin(server::RSYSLOGD)); }},
        {server::SPAMD, [] { return exe(pkgr::path(server::SPAMD)); }},
        {server::SSHD, [] { return exe(foundation::findbin(server::SSHD)); }},
        {server::CROND, [] { return exe(os::cron_bin_path()); }},
        {server::NSCD, [] { return found(foundation::findbin(server::NSCD)); }},
        {server::SYSLOGD, [] { return found(foundation::findbin(server::SYSLOGD)); }},
        {server::P0F,
         [] {
             struct stat st {};
             return ::stat(foundation::p0f_binary().c_str(), &st) == 0;
         }},
        {server::APACHE_PHP_FPM, [] { return !services::get_phpfpm_versions().empty(); }},
        {server::PDNS, [] { return exe(pkgr::path(server::PDNS_SERVER)); }},
    };
    return t;
}

BackendProbe& backend_probe() {
    // Test seam: replaces the unit / init-script probe.
    static BackendProbe probe;
    return probe;
}

}  // namespace

std::string code_name(const std::string& service) {
    std::string out = service;
    for (char& c : out)
        if (c == '-') c = '_';
    return out;
}

std::optional<bool> per_service_test(const std::string& code) {
    auto it = tests().find(code);
    if (it == tests().end()) return std::nullopt;
    return it->second();
}

bool is_excluded_by_server_type(const std::string& service) {
    static const std::set<std::string> not_on_dnsonly = {server::WEBDAV, server::FTPD, server::FTP, server::IMAP,
                                                         server::POP};
    return not_on_dnsonly.count(service) && server::is_dnsonly();
}

bool service_is_installed(const std::string& service) {
    if (!foundation::is_valid_service_name(service)) {
        log::log_warn("The service name “" + service + "” is not valid.");
        return false;
    }
    if (is_excluded_by_server_type(service)) return false;
    const std::string code = code_name(service);
    if (services::contains(code)) return true;
    if (auto r = per_service_test(code)) {
        if (*r) return true;
    } else {
        struct stat st {};
        if (::stat((servmon::servmon_dir() + "/" + service).c_str(), &st) == 0) return true;
    }
    // A unit or init script that is there is an installed service, whatever
    // the panel's own markers say.
    const BackendProbe& probe = backend_probe();
    return probe && probe(service);
}

ScopedBackendProbe::ScopedBackendProbe(BackendProbe probe) : saved_(std::move(backend_probe())) {
    backend_probe() = std::move(probe);
}
ScopedBackendProbe::~ScopedBackendProbe() { backend_probe() = std::move(saved_); }

}  // namespace norvik::services
