#include "services/enabled.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "config/nkconf.hpp"
#include "config/shield.hpp"
#include "config/greylist.hpp"
#include "config/mycnf.hpp"
#include "exception/exception.hpp"
#include "foundation/touch_file.hpp"
#include "foundation/load_file.hpp"
#include "foundation/paths.hpp"
#include "foundation/service_name.hpp"
#include "log/debug.hpp"
#include "server/server_type.hpp"
#include "server/global_flag.hpp"
#include "server/role_names.hpp"
#include "services/dovecot.hpp"
#include "services/nkdavd.hpp"
#include "services/spamd.hpp"
#include "services/installed.hpp"
#include "services/list.hpp"

namespace norvik::services {
namespace {

std::string etc(const std::string& name) { return foundation::etc_dir() + "/" + name; }

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

const std::map<std::string, NkConfStatus>& services_status_from_norvik_config() {
    static const std::map<std::string, NkConfStatus> t = {{server::MAILMAN, {server::MAILMAN_KEY, MEANING_INVERTING}}};
    return t;
}

const std::set<std::string>& installed_service_exceptions() {
    static const std::set<std::string> s = {
        server::FTP,     server::NKIPV6,    server::LMTP,       server::NAMED, server::NKSRVD,         server::MAIL,
        server::FTPD,    server::IPALIASES, server::NKLOGTAILD, server::DNS,   server::NORVIK_PHP_FPM, server::SHIELD,
        server::ZONECTL, server::GREYLIST,  server::NKQUEUED,
    };
    return s;
}

std::map<std::string, std::vector<std::string>> disable_files_exceptions() {
    const auto plain = [](const std::string& name) { return foundation::disable_file_plain(name); };
    const auto dotted = [](const std::string& name) { return foundation::disable_file_dotted(name); };
    // bind, dns, pdns and named are one DNS service seen under four names.
    const std::vector<std::string> dns = {plain(server::BIND), plain(server::DNS), plain(server::NAMED)};
    const std::vector<std::string> mail = {plain(server::MAILSERVER), dotted(server::MAILSERVER)};
    // named keeps both of its own files besides the shared ones.
    std::vector<std::string> named = dns;
    named.push_back(dotted(server::NAMED));
    std::vector<std::string> imap = mail;
    imap.push_back(plain(server::IMAP));
    return {
        {server::BIND, dns},
        {server::DNS, dns},
        {server::PDNS, dns},
        {server::NAMED, named},
        {server::IMAP, imap},
        {server::MAIL, mail},
        {server::POP, {plain(server::POP), etc("pop3disable")}},
        {server::FTP, {plain(server::FTPD), etc("ftpserverdisable")}},
        {server::MYSQL, {plain(server::MYSQL), dotted(server::MYSQL_ALIAS)}},
        {server::POSTGRESQL, {plain(server::POSTGRESQL), dotted(server::POSTGRESQL_ALIAS)}},
        {server::RSYSLOGD, {etc("rsyslogdisable"), dotted(server::RSYSLOGD)}},
        {server::HTTPD, {plain(server::HTTPD), etc("apachedisable"), etc("webserverdisable")}},
        {server::NKLOGTAILD, {etc("nklogtaildisable"), dotted(server::NKLOGTAILD)}},
    };
}

std::string DOVECOT_CONF_FILE() { return foundation::mailserver_conf(); }

std::optional<bool> _process_service_status_from_nkconf(const std::string& /*service*/, const NkConfStatus& entry) {
    auto conf = config::loadnkconf_not_copy();
    // Without a configuration the service counts as enabled.
    if (!conf) return true;
    std::string value;
    if (auto it = conf->find(entry.key); it != conf->end()) value = it->second;
    const bool truthy = config::is_true(value);
    if (entry.meaning == MEANING_INVERTING) return !truthy;
    if (entry.meaning == MEANING_DIRECT) return truthy;
    if (!value.empty() && value == MEANING_INVERTING) return false;
    return std::nullopt;
}

bool service_has_files(const std::string& service) {
    if (service.empty()) return false;
    static const std::regex imap_or_pop("^imap|pop$");
    if (!std::regex_search(service, imap_or_pop) && services_status_from_norvik_config().count(service)) return false;
    return true;
}

std::optional<std::vector<std::string>> get_files_for_service(const std::string& service_in) {
    // A name that fails validation never becomes part of a path.
    if (service_in.empty() || !foundation::is_valid_service_name(service_in)) return std::nullopt;
    // An alias has the files of the service it names, which the enabled test reads.
    const std::string service = server::canonical_service(service_in);
    if (!service_has_files(service)) return std::nullopt;
    auto ex = disable_files_exceptions();
    if (auto it = ex.find(service); it != ex.end()) return it->second;
    return std::vector<std::string>{foundation::disable_file_plain(service), foundation::disable_file_dotted(service)};
}

std::optional<bool> _check_for_disabled_file(const std::string& service) {
    auto files = get_files_for_service(service);
    if (!files) return std::nullopt;
    for (const auto& path : *files) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) return false;
        if (errno != ENOENT)
            log::log_warn("The system failed to check for the disable file “" + path + "”: " + std::strerror(errno));
    }
    return true;
}

std::set<std::string> get_dovecot_enabled_protocols() {
    std::string list;
    const int saved_errno = errno;
    try {
        const std::string pf = services::PROTOCOLS_FILE();
        if (file_exists(pf)) {
            list = foundation::load(pf);
        } else {
            const std::string conf = foundation::load(DOVECOT_CONF_FILE());
            if (!conf.empty()) {
                // "^protocols:[ \t]*([^\n]+)" in multi-line mode.
                size_t pos = 0;
                while (pos < conf.size()) {
                    size_t nl = conf.find('\n', pos);
                    std::string_view line(conf.data() + pos, (nl == std::string::npos ? conf.size() : nl) - pos);
                    if (line.rfind("protocols:", 0) == 0) {
                        line.remove_prefix(10);
                        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
                        if (!line.empty()) {
                            list = std::string(line);
                            break;
                        }
                    }
                    if (nl == std::string::npos) break;
                    pos = nl + 1;
                }
            }
        }
    } catch (const std::exception& e) {
        const char* base = std::getenv("NORVIK_BASE_INSTALL");
        if (!base || !*base)
            log::log_warn("Failed to read the mail server's protocol list: " + exception::get_string(e));
    }
    errno = saved_errno;
    while (!list.empty() && (list.back() == ' ' || list.back() == '\t' || list.back() == '\n' || list.back() == '\r'))
        list.pop_back();
    if (list.empty()) list = DEFAULT_PROTOCOLS;
    std::set<std::string> out;
    size_t pos = 0;
    while (pos < list.size()) {
        size_t end = list.find_first_of(" \t\r\n", pos);
        if (end == std::string::npos) end = list.size();
        if (end > pos) out.insert(list.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

namespace {
std::optional<bool> enabled_test(const std::string& service_in, bool consult_installed);
}  // namespace

std::optional<bool> is_enabled(const std::string& service) { return enabled_test(service, true); }
std::optional<bool> is_enabled_apart_from_installed(const std::string& service) { return enabled_test(service, false); }

namespace {
std::optional<bool> enabled_test(const std::string& service_in, bool consult_installed) {
    if (service_in.empty()) return std::nullopt;
    std::string service = server::canonical_service(service_in);
    if (consult_installed && services::is_excluded_by_server_type(service)) return false;

    if (service == server::GREYLIST) return config::is_greylist_enabled();
    if (service == server::SHIELD) return config::is_shield_enabled();
    if (service == server::IMAP) return get_dovecot_enabled_protocols().count("imap") != 0;
    if (service == server::POP) return get_dovecot_enabled_protocols().count("pop3") != 0;
    if (service == server::SPAMD) {
        if (!is_enabled(server::MTA).value_or(true)) return false;
    } else if (service == server::MTA_ALTPORT) {
        return services::canonicalize_service(service, 1, {}).enabled;
    } else if (service == server::WEBDAV) {
        if (!services::is_needed()) return false;
    } else if (service == server::NORVIK_PHP_FPM) {
        if (server::is_dnsonly()) return false;
    }

    if (service == server::NKSRVD || service == server::NKQUEUED) return true;

    const auto& table = services_status_from_norvik_config();
    if (auto it = table.find(service); it != table.end()) {
        if (auto v = _process_service_status_from_nkconf(service, it->second)) return *v;
    }

    if (consult_installed && !installed_service_exceptions().count(service)) {
        if (!services::service_is_installed(service)) return false;
    }

    if (service == server::SPAMD) {
        try {
            if (auto v = services::is_spamd_enabled()) return *v;
            log::log_warn("The spam filter's enabled test gave no answer; treating it as enabled.");
        } catch (const std::exception& e) {
            log::log_warn("The spam filter's enabled test failed (" + exception::get_string(e) +
                          "); treating it as enabled.");
        }
        return true;
    }

    return _check_for_disabled_file(service);
}
}  // namespace

bool are_enabled(const std::string& service) { return is_enabled(service).value_or(true); }

bool are_enabled(const foundation::MatchRule& rule) {
    return foundation::match_any_all(rule, [](const std::string& s) { return is_enabled(s).value_or(true); });
}

std::optional<bool> is_provided(const std::string& service) {
    const auto e = is_enabled(service);
    if (service.rfind(server::MYSQL, 0) != 0 || e != false) return e;
    if (auto flag = server::global_flag(server::DB_GLOBAL_CACHE, server::DB_GLOBAL_CACHE_REMOTE_KEY)) return *flag;
    return config::is_remote_mysql();
}

bool are_provided(const std::string& service) { return is_provided(service).value_or(true); }

bool are_provided(const foundation::MatchRule& rule) {
    return foundation::match_any_all(rule, [](const std::string& s) { return is_provided(s).value_or(true); });
}

bool touch_disable_file(const std::string& service) {
    if (service.empty()) return false;
    if (is_enabled(service) == false) return true;
    if (service == server::GREYLIST) return config::disable();
    if (!service_has_files(service)) return true;
    auto files = get_files_for_service(service);
    if (!files || files->empty() || (*files)[0].empty()) return false;
    return foundation::touchfile((*files)[0]);
}

std::optional<int> remove_disable_files(const std::string& service) {
    if (service.empty()) return std::nullopt;
    auto files = get_files_for_service(service);
    if (!files) return std::nullopt;
    int result = 1;
    for (const auto& path : *files) {
        struct stat st {};
        // lstat: a symbolic link is never followed nor removed.
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlink(path.c_str()) != 0) result = 0;
    }
    return result;
}

}  // namespace norvik::services
