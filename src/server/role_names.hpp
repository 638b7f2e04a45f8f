// The one list of service and role names that the enabled test, the installed
// tests and the role classes share. Change a name here and nowhere else.
#pragma once

#include <string>

namespace norvik::server {

// --- services -------------------------------------------------------------
inline constexpr const char* MTA = "exim";                  // mail transfer agent
inline constexpr const char* MTA_ALTPORT = "exim-altport";  // catalogued (MailSend's second)
inline constexpr const char* LMTP = "lmtp";                 // MailLocal's second, also MailReceive
inline constexpr const char* MAILSERVER = "mailserver";     // MailReceive's first own service
inline constexpr const char* MAIL = "mail";                 // MailReceive's second own service
inline constexpr const char* IMAP = "imap";
inline constexpr const char* POP = "pop";
inline constexpr const char* GREYLIST = "nkgreylistd";
inline constexpr const char* SHIELD = "nkshieldd";  // brute-force protection
inline constexpr const char* SPAMD = "spamd";       // spam-filter daemon
inline constexpr const char* WEBDAV = "nkdavd";
inline constexpr const char* MYSQL = "mysql";
inline constexpr const char* MYSQL_ALIAS = "mysqld";
inline constexpr const char* POSTGRESQL = "postgresql";
inline constexpr const char* POSTGRESQL_ALIAS = "postgres";
inline constexpr const char* HTTPD = "httpd";
inline constexpr const char* APACHE_PHP_FPM = "apache_php_fpm";
inline constexpr const char* NORVIK_PHP_FPM = "norvik_php_fpm";  // no place on a DNS-only server
inline constexpr const char* FTPD = "ftpd";
inline constexpr const char* PURE_FTPD = "pure-ftpd";
inline constexpr const char* PROFTPD = "proftpd";
inline constexpr const char* DNS = "dns";
inline constexpr const char* NAMED = "named";
inline constexpr const char* BIND = "bind";
inline constexpr const char* ZONECTL = "nkzonectl";
inline constexpr const char* PDNS = "pdns";
inline constexpr const char* MAILMAN = "mailman";
inline constexpr const char* NKSRVD = "nksrvd";      // always enabled
inline constexpr const char* NKQUEUED = "nkqueued";  // always enabled
inline constexpr const char* NORVIKLOGD = "norviklogd";
inline constexpr const char* NKLOGTAILD = "nklogtaild";
inline constexpr const char* SSHD = "sshd";
inline constexpr const char* CROND = "crond";
inline constexpr const char* RSYSLOGD = "rsyslogd";
inline constexpr const char* FTP = "ftp";  // the FTP server under its generic name
inline constexpr const char* NKIPV6 = "nkipv6";
inline constexpr const char* IPALIASES = "ipaliases";
inline constexpr const char* NKDNSADMIN = "nkdnsadmin";
inline constexpr const char* CLAMD = "clamd";
inline constexpr const char* NSCD = "nscd";
inline constexpr const char* SYSLOGD = "syslogd";
inline constexpr const char* P0F = "p0f";
inline constexpr const char* PDNS_SERVER = "pdns_server";  // the program behind pdns

// The one table of other names of a panel service: the distribution's unit
// names and the database servers' own names. A run under such a name acts on
// the panel's service (its definition, restart lock, disable files and
// monitor suspension), and the enabled test and the role check judge it as
// that service.
struct UnitNameAlias {
    const char* unit;
    const char* service;
};
inline constexpr UnitNameAlias UNIT_NAME_ALIASES[] = {
    {"apache2", HTTPD}, {"exim4", MTA},          {"mariadb", MYSQL},   {"ssh", SSHD},
    {"cron", CROND},    {"rsyslog", RSYSLOGD},   {"proftpd", FTPD},    {"pure-ftpd", FTPD},
    {"bind9", NAMED},   {"spamassassin", SPAMD}, {MYSQL_ALIAS, MYSQL}, {POSTGRESQL_ALIAS, POSTGRESQL},
};

// The panel's name for any name of the table; any other name unchanged.
inline std::string canonical_service(const std::string& name) {
    for (const auto& a : UNIT_NAME_ALIASES)
        if (name == a.unit) return a.service;
    return name;
}

// The mailman configuration key (a true value disables it).
inline constexpr const char* MAILMAN_KEY = "skipmailman";

// --- roles (short names below Norvik::Server::Type::Role::) ----------------
inline constexpr const char* ROLE_NAMESPACE = "Norvik::Server::Type::Role::";
inline constexpr const char* ROLE_BACKUP_AGENT = "BackupAgent";
inline constexpr const char* ROLE_REGULAR_NORVIK = "RegularNorvik";
inline constexpr const char* ROLE_MAIL_LOCAL = "MailLocal";
inline constexpr const char* ROLE_ALT_WEB_SERVER = "AltWebServer";
inline constexpr const char* ROLE_RESELLER = "Reseller";
inline constexpr const char* ROLE_MAIL_SEND = "MailSend";
inline constexpr const char* ROLE_CALENDAR_CONTACT = "CalendarContact";
inline constexpr const char* ROLE_DNS = "DNS";
inline constexpr const char* ROLE_FTP = "FTP";
inline constexpr const char* ROLE_FILE_STORAGE = "FileStorage";
inline constexpr const char* ROLE_MAIL_RECEIVE = "MailReceive";
inline constexpr const char* ROLE_MYSQL = "MySQL";
inline constexpr const char* ROLE_POSTGRES = "Postgres";
inline constexpr const char* ROLE_SPAM_FILTER = "SpamFilter";
inline constexpr const char* ROLE_WEB_DISK = "WebDisk";
inline constexpr const char* ROLE_WEB_SERVER = "WebServer";
inline constexpr const char* ROLE_WEBMAIL = "Webmail";
inline constexpr const char* ROLE_MAIL_RELAY = "MailRelay";

// Global-cache name and keys shared by the remote-database and PostgreSQL tests.
inline constexpr const char* DB_GLOBAL_CACHE = "database";
inline constexpr const char* DB_GLOBAL_CACHE_REMOTE_KEY = "has_remote_mysql";
inline constexpr const char* DB_GLOBAL_CACHE_POSTGRES_KEY = "has_postgres";

}  // namespace norvik::server
