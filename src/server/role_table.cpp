#include "server/role_table.hpp"

#include "server/global_flag.hpp"
#include "server/role_names.hpp"

namespace norvik::server {
namespace {

namespace n = server;

// Only where the database setup says PostgreSQL can run here.
bool postgres_available() { return global_flag(n::DB_GLOBAL_CACHE, n::DB_GLOBAL_CACHE_POSTGRES_KEY).value_or(false); }

}  // namespace

std::string TableRole::class_name() const { return std::string(n::ROLE_NAMESPACE) + r_.short_name; }
std::string TableRole::role_touchfile() const { return ROLES_TOUCHFILE_BASE_PATH() + "/" + r_.short_name; }

const std::vector<RoleRecord>& ROLE_TABLE() {
    static const std::vector<RoleRecord> t = {
        {.short_name = n::ROLE_BACKUP_AGENT,
         .name = "Backup Agent",
         .description = "Receives and stores backups sent by other servers."},
        {.short_name = n::ROLE_REGULAR_NORVIK,
         .name = "Panel Services",
         .description = "The panel's own interfaces for administrators and users."},
        {.short_name = n::ROLE_MAIL_LOCAL,
         .name = "Local Mail",
         .description = "Delivers mail between the accounts of this server.",
         .services = {n::MTA, n::LMTP}},
        {.short_name = n::ROLE_ALT_WEB_SERVER,
         .name = "Alternate Web Server",
         .description = "Serves web sites through an alternate web server."},
        {.short_name = n::ROLE_RESELLER,
         .name = "Resellers",
         .description = "Lets resellers create and manage their own accounts."},
        {.short_name = n::ROLE_MAIL_SEND,
         .name = "Send Mail",
         .description = "Sends mail from this server.",
         .services = {n::MTA, n::MTA_ALTPORT}},
        {.short_name = n::ROLE_CALENDAR_CONTACT,
         .name = "Calendars and Contacts",
         .description = "Shares calendars and address books.",
         .services = {n::WEBDAV},
         .restart_services = {n::WEBDAV},
         .service_subdomains = {"calendars", "contacts"}},
        {.short_name = n::ROLE_DNS,
         .name = "DNS",
         .description = "Serves the DNS zones of this server's domains.",
         .services = {n::DNS, n::NAMED, n::BIND, n::ZONECTL, n::PDNS},
         .rpm_targets = {n::PDNS}},
        {.short_name = n::ROLE_FTP,
         .name = "FTP",
         .description = "Gives users file transfer access.",
         .services = {n::FTPD, n::PURE_FTPD, n::PROFTPD}},
        {.short_name = n::ROLE_FILE_STORAGE,
         .name = "File Storage",
         .description = "Stores user files for other servers."},
        {.short_name = n::ROLE_MAIL_RECEIVE,
         .name = "Receive Mail",
         .description = "Accepts mail for this server's domains and serves mailboxes.",
         .services = {n::MAILSERVER, n::WEBDAV, n::GREYLIST, n::LMTP, n::IMAP, n::MAIL, n::POP},
         .restart_services = {n::WEBDAV}},
        {.short_name = n::ROLE_MAIL_RELAY,
         .name = "Mail Relay",
         .description = "Relays outgoing mail through a smart host."},
        {.short_name = n::ROLE_MYSQL,
         .name = "MySQL/MariaDB",
         .description = "Runs the MySQL or MariaDB database server.",
         .services = {n::MYSQL}},
        {.short_name = n::ROLE_POSTGRES,
         .name = "PostgreSQL",
         .description = "Runs the PostgreSQL database server.",
         .services = {n::POSTGRESQL},
         .available = postgres_available},
        {.short_name = n::ROLE_SPAM_FILTER,
         .name = "Spam Filter",
         .description = "Scores incoming mail for spam.",
         .services = {n::SPAMD}},
        {.short_name = n::ROLE_WEB_DISK,
         .name = "Web Disk",
         .description = "Gives users file access over WebDAV.",
         .services = {n::WEBDAV},
         .restart_services = {n::WEBDAV},
         .service_subdomains = {"webdisk"}},
        {.short_name = n::ROLE_WEB_SERVER,
         .name = "Web Server",
         .description = "Serves web sites.",
         .services = {n::HTTPD, n::APACHE_PHP_FPM}},
        {.short_name = n::ROLE_WEBMAIL,
         .name = "Webmail",
         .description = "Lets users read mail in a browser.",
         .service_subdomains = {"webmail"}},
    };
    return t;
}

}  // namespace norvik::server
