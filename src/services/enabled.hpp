// Has the administrator switched a service off? Answers 1 (enabled),
// 0 (disabled) or -1 (cannot be judged), drawn in order from per-service rules,
// a main-configuration key, the installed test, the spam-filter daemon's own
// test and finally the disable files (touch files under /etc).
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/any_all_matcher.hpp"

namespace norvik::services {

// Meaning words of services_status_from_norvik_config.
inline constexpr const char* MEANING_INVERTING = "skip";  // a true key value disables
inline constexpr const char* MEANING_DIRECT = "enable";   // a true key value enables

struct NkConfStatus {
    std::string key;
    std::string meaning;  // MEANING_INVERTING, MEANING_DIRECT or ""
};

const std::map<std::string, NkConfStatus>& services_status_from_norvik_config();
const std::set<std::string>& installed_service_exceptions();
// Absolute paths (below the sandbox root), computed on each call since the
// root may change in tests.
std::map<std::string, std::vector<std::string>> disable_files_exceptions();

// The mail server's main configuration file.
std::string DOVECOT_CONF_FILE();
// Used when no protocol list can be found.
inline constexpr const char* DEFAULT_PROTOCOLS = "imap pop3";

// No answer (nullopt) when no service is given or no disable-file list
// names it; callers count that as enabled.
std::optional<bool> is_enabled(const std::string& service);
// The same test without the installed test: false only when the administrator
// (a disable file, the configuration) switched the service off.
std::optional<bool> is_enabled_apart_from_installed(const std::string& service);
bool are_enabled(const std::string& service);
bool are_enabled(const foundation::MatchRule& rule);

// Like is_enabled, but a database service that is off locally counts as
// provided when the server uses a remote database.
std::optional<bool> is_provided(const std::string& service);
bool are_provided(const std::string& service);
bool are_provided(const foundation::MatchRule& rule);

// Creates the first disable file (or disables greylisting through its
// configuration). True on success, also when already disabled.
bool touch_disable_file(const std::string& service);
// 1 when every existing disable file was removed, 0 when a removal failed,
// nullopt for no service / no file list. Symbolic links and non-regular files
// are never removed.
std::optional<int> remove_disable_files(const std::string& service);

bool service_has_files(const std::string& service);
std::optional<std::vector<std::string>> get_files_for_service(const std::string& service);

// Protocols the IMAP/POP3 server offers, e.g. {"imap", "pop3"}.
std::set<std::string> get_dovecot_enabled_protocols();

// Internals exposed for tests.
std::optional<bool> _process_service_status_from_nkconf(const std::string& service, const NkConfStatus& entry);
std::optional<bool> _check_for_disabled_file(const std::string& service);

}  // namespace norvik::services
