#include "server/role_table.hpp"

#include "server/global_flag.hpp"
#include "server/role_names.hpp"

namespace norvik::server {
namespace {

// Only where the database setup says PostgreSQL can run here.
bool postgres_available() {
    return global_flag(server::DB_GLOBAL_CACHE, server::DB_GLOBAL_CACHE_POSTGRES_KEY).value_or(false);
}

}  // namespace

std::string TableRole::class_name() const { return std::string(server::ROLE_NAMESPACE) + r_.short_name; }
std::string TableRole::role_touchfile() const { return ROLES_TOUCHFILE_BASE_PATH() + "/" + r_.short_name; }

const std::vector<RoleRecord>& ROLE_TABLE() {
    static const std::vector<RoleRecord> t = {
        {.short_name = server::ROLE_BACKUP_AGENT,
         .name = "Backup Agent",
         .description = "Receives and stores backups sent by other servers."},
        {.short_name = server::ROLE_REGULAR_NORVIK,
         .name = "Panel Services",
         .description = "The panel's own interfaces for administrators and users."},
        {.short_name = server::ROLE_MAIL_LOCAL,
         .name = "Local Mail",
         .description = "Delivers mail between the accounts of this server.",
         .services = {server::MTA, server::LMTP}},
        {.short_name = server::ROLE_ALT_WEB_SERVER,
         .name = "Alternate Web Server",
         .description = "Serves web sites through an alternate web server."},
        {.short_name = server::ROLE_RESELLER,
         .name = "Resellers",
         .description = "Lets resellers create and manage their own accounts."},
        {.short_name = server::ROLE_MAIL_SEND,
         .name = "Send Mail",
         .description = "Sends mail from this server.",
         .services = {server::MTA, server::MTA_ALTPORT}},
        {.short_name = server::ROLE_CALENDAR_CONTACT,
         .name = "Calendars and Contacts",
         .description = "Shares calendars and address books.",
         .services = {server::WEBDAV},
         .restart_services = {server::WEBDAV},
         .service_subdomains = {"calendars", "contacts"}},
        {.short_name = server::ROLE_DNS,
         .name = "DNS",
         .description = "Serves the DNS zones of this server's domains.",
         .services = {server::DNS, server::NAMED, server::BIND, server::ZONECTL, server::PDNS},
         .rpm_targets = {server::PDNS}},
        {.short_name = server::ROLE_FTP,
         .name = "FTP",
         .description = "Gives users file transfer access.",
         .services = {server::FTPD, server::PURE_FTPD, server::PROFTPD}},
        {.short_name = server::ROLE_FILE_STORAGE,
         .name = "File Storage",
         .description = "Stores user files for other servers."},
        {.short_name = server::ROLE_MAIL_RECEIVE,
         .name = "Receive Mail",
         .description = "Accepts mail for this server's domains and serves mailboxes.",
         .services = {server::MAILSERVER, server::WEBDAV, server::GREYLIST, server::LMTP, server::IMAP, server::MAIL,
                      server::POP},
         .restart_services = {server::WEBDAV}},
        {.short_name = server::ROLE_MAIL_RELAY,
         .name = "Mail Relay",
         .description = "Relays outgoing mail through a smart host."},
        {.short_name = server::ROLE_MYSQL,
         .name = "MySQL/MariaDB",
         .description = "Runs the MySQL or MariaDB database server.",
         .services = {server::MYSQL}},
        {.short_name = server::ROLE_POSTGRES,
         .name = "PostgreSQL",
         .description = "Runs the PostgreSQL database server.",
         .services = {server::POSTGRESQL},
         .available = postgres_available},
        {.short_name = server::ROLE_SPAM_FILTER,
         .name = "Spam Filter",
         .description = "Scores incoming mail for spam.",
         .services = {server::SPAMD}},
        {.short_name = server::ROLE_WEB_DISK,
         .name = "Web Disk",
         .description = "Gives users file access over WebDAV.",
         .services = {server::WEBDAV},
         .restart_services = {server::WEBDAV},
         .service_subdomains = {"webdisk"}},
        {.short_name = server::ROLE_WEB_SERVER,
         .name = "Web Server",
         .description = "Serves web sites.",
         .services = {server::HTTPD, server::APACHE_PHP_FPM}},
        {.short_name = server::ROLE_WEBMAIL,
         .name = "Webmail",
         .description = "Lets users read mail in a browser.",
         .service_subdomains = {"webmail"}},
    };
    return t;
}

}  // namespace norvik::server
