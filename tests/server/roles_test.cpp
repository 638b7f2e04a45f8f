// Roles: touch files, the per-process cache, profile rules, the service check
// and the required-role checks.
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "server_fixture.hpp"
#include "exception/exception.hpp"
#include "server/profile_constants.hpp"
#include "server/profile_roles.hpp"
#include "server/role_names.hpp"

namespace {

namespace server = norvik::server;
namespace foundation = norvik::foundation;
using norvik::test::write_file;

const std::string DNS_CLASS = "Norvik::Server::Type::Role::DNS";

class Roles : public norvik::test::ServerFixture {};

TEST_F(Roles, TouchFileIsReadOncePerClassUntilUnset) {
    EXPECT_EQ(server::is_role_enabled("DNS"), true);
    disable_role("DNS");
    EXPECT_EQ(server::is_role_enabled("DNS"), true);  // cached
    EXPECT_EQ(server::get(DNS_CLASS), true);
    server::unset(DNS_CLASS);
    EXPECT_EQ(server::is_role_enabled("DNS"), false);
    EXPECT_EQ(server::get_role(DNS_CLASS).is_enabled(), false);  // full or short name, one cache
    ASSERT_EQ(unlink(touchfile("DNS").c_str()), 0);
    EXPECT_EQ(server::is_role_enabled("DNS"), false);
    server::_unset_all();
    EXPECT_EQ(server::is_role_enabled("DNS"), true);
}

TEST_F(Roles, DnsOnlyServerHasEveryRole) {
    disable_role("DNS");
    disable_role("FTP");
    server::set(DNS_CLASS, false);
    write_file(foundation::dnsonly_marker(), "");
    EXPECT_EQ(server::is_role_enabled("DNS"), true);
    EXPECT_EQ(server::is_role_enabled("FTP"), true);
    EXPECT_EQ(server::is_role_enabled("Postgres"), true);  // even though unavailable
    EXPECT_EQ(server::is_service_allowed("httpd"), true);
}

TEST_F(Roles, NodeProfileRules) {
    server::set_NODE_MODE(std::string(server::MAILNODE));
    // Not in the profile at all: off without any touch file.
    EXPECT_EQ(server::is_role_enabled("FTP"), false);
    EXPECT_EQ(server::is_service_allowed("ftpd"), false);
    // In enabled_roles: on whatever its touch file says.
    disable_role("MailReceive");
    EXPECT_EQ(server::is_role_enabled("MailReceive"), true);
    // Optional: follows its touch file.
    EXPECT_EQ(server::is_role_enabled("DNS"), true);
    disable_role("DNS");
    server::unset(DNS_CLASS);
    EXPECT_EQ(server::is_role_enabled("DNS"), false);

    const auto opt = server::get_optional_roles_for_profile(server::MAILNODE);
    EXPECT_EQ(opt.size(), 4u);
    EXPECT_EQ(opt.at(DNS_CLASS), false);
    EXPECT_THROW(server::get_optional_roles_for_profile("NOSUCHNODE"), norvik::Exception);
}

TEST_F(Roles, PostgresNeedsItsAvailabilityFlag) {
    EXPECT_EQ(server::is_role_enabled("Postgres"), false);
    EXPECT_EQ(server::is_service_allowed(server::POSTGRESQL), false);

    reset();
    write_file(foundation::global_cache_dir() + "/" + server::DB_GLOBAL_CACHE + ".json",
               std::string("{\"data\":{\"") + server::DB_GLOBAL_CACHE_POSTGRES_KEY + "\":1}}");
    EXPECT_EQ(server::is_role_enabled("Postgres"), true);
    disable_role("Postgres");
    server::_unset_all();
    EXPECT_EQ(server::is_role_enabled("Postgres"), false);
}

TEST_F(Roles, ServiceWithoutRoleIsAlwaysAllowed) {
    EXPECT_TRUE(server::roles_of_service("nkwidgetd").empty());
    EXPECT_EQ(server::is_service_allowed("nkwidgetd"), true);
    server::set_NODE_MODE(std::string(server::DNSNODE));
    EXPECT_EQ(server::is_service_allowed("nkwidgetd"), true);
    EXPECT_EQ(server::is_service_allowed(server::NAMED), true);
    EXPECT_EQ(server::is_service_allowed(server::HTTPD), false);
    // Exact names only.
    EXPECT_EQ(server::is_service_allowed("httpd2"), true);
}

TEST_F(Roles, AliasesAreJudgedAsTheServiceTheyName) {
    // A DNS-only node with the database role off: the other names of the two
    // database services must be refused exactly like the services.
    server::set_NODE_MODE(std::string(server::DNSNODE));
    disable_role("MySQL");
    for (const auto& [alias, service] :
         {std::pair{server::MYSQL_ALIAS, server::MYSQL}, std::pair{server::POSTGRESQL_ALIAS, server::POSTGRESQL}}) {
        EXPECT_EQ(server::roles_of_service(alias), server::roles_of_service(service)) << alias;
        EXPECT_FALSE(server::roles_of_service(alias).empty()) << alias;
        EXPECT_EQ(server::is_service_allowed(service), false) << service;
        EXPECT_EQ(server::is_service_allowed(alias), false) << alias;
    }

    // A standard server with both roles on allows them under either name.
    server::set_NODE_MODE(std::nullopt);
    reset();
    std::filesystem::remove(touchfile("MySQL"));
    write_file(foundation::global_cache_dir() + "/" + server::DB_GLOBAL_CACHE + ".json",
               std::string("{\"data\":{\"") + server::DB_GLOBAL_CACHE_POSTGRES_KEY + "\":1}}");
    for (const char* name : {server::MYSQL, server::MYSQL_ALIAS, server::POSTGRESQL, server::POSTGRESQL_ALIAS})
        EXPECT_EQ(server::is_service_allowed(name), true) << name;
}

TEST_F(Roles, ServiceOfSeveralRolesNeedsOnlyOne) {
    EXPECT_EQ(server::roles_of_service(server::WEBDAV),
              (std::vector<std::string>{"CalendarContact", "MailReceive", "WebDisk"}));
    disable_role("CalendarContact");
    disable_role("WebDisk");
    EXPECT_EQ(server::is_service_allowed(server::WEBDAV), true);
    disable_role("MailReceive");
    server::_unset_all();
    EXPECT_EQ(server::is_service_allowed(server::WEBDAV), false);

    // lmtp belongs to MailLocal and MailReceive.
    EXPECT_EQ(server::roles_of_service(server::LMTP), (std::vector<std::string>{"MailLocal", "MailReceive"}));
    EXPECT_EQ(server::is_service_allowed(server::LMTP), true);
    disable_role("MailLocal");
    server::_unset_all();
    EXPECT_EQ(server::is_service_allowed(server::LMTP), false);
}

TEST_F(Roles, VerifyRolesEnabledModes) {
    disable_role("DNS");
    try {
        server::verify_roles_enabled(server::RolesSpec{{"DNS", "FTP"}});
        FAIL() << "no exception";
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::System::RequiredRoleDisabled");
        EXPECT_EQ(e.get("roles"), nlohmann::json::array({"DNS"}));
    }
    EXPECT_EQ(server::verify_roles_enabled(server::RolesSpec{{"DNS", "FTP"}, server::MATCH_ANY}), 1);
    EXPECT_TRUE(server::are_roles_enabled(std::vector<std::string>{"DNS", "FTP"}));
    EXPECT_FALSE(server::are_roles_enabled(server::RolesSpec{{"DNS", "FTP"}}));

    disable_role("FTP");
    server::_unset_all();
    EXPECT_THROW(server::verify_roles_enabled(server::RolesSpec{{"DNS", "FTP"}}), norvik::Exception);
    EXPECT_THROW(server::verify_roles_enabled(server::RolesSpec{{"DNS", "FTP"}, server::MATCH_ANY}), norvik::Exception);
    EXPECT_THROW(server::verify_roles_enabled(server::RolesSpec{{"DNS"}, "most"}), norvik::Exception);
    EXPECT_THROW(server::are_roles_enabled(server::RolesSpec{{"DNS"}, "most"}), norvik::Exception);

    try {
        server::verify_roles_enabled("DNS");
        FAIL() << "no exception";
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::System::RoleIsDisabled");
        EXPECT_EQ(e.get_text("role"), "DNS");
    }
    // One of the six always-on roles, named by class: on despite its file.
    disable_role("MailSend");
    EXPECT_EQ(server::verify_roles_enabled(std::string(server::ROLE_NAMESPACE) + server::ROLE_MAIL_SEND), 1);
    EXPECT_THROW(server::get_role("NoSuchRole"), norvik::PlainError);
}

TEST_F(Roles, TouchFileTestFailureRaises) {
    // The touch directory is a regular file: ENOTDIR, not ENOENT.
    const std::string base = server::TouchFileRole::ROLES_TOUCHFILE_BASE_PATH();
    ASSERT_EQ(rmdir(base.c_str()), 0);
    write_file(base, "");
    try {
        server::is_role_enabled("DNS");
        FAIL() << "no exception";
    } catch (const norvik::Exception& e) {
        EXPECT_EQ(e.class_name(), "Norvik::Exception::IO::FileAccessError");
    }
    // Nothing was cached from the failed test.
    EXPECT_FALSE(server::get(DNS_CLASS));
}

// The role check in a forked child, as an unprivileged user when this runs
// as root (root reads through any permission bits): 0 when it raised,
// 1 when it answered, 2 on anything else, 3 when privileges could not be dropped.
int role_check_in_child(const std::string& role) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        try {
            server::is_role_enabled(role);
            _exit(1);
        } catch (const norvik::Exception&) {
            _exit(0);
        } catch (...) {
            _exit(2);
        }
    }
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(Roles, TouchFilePermissionDeniedRaises) {
    // The unprivileged child must reach the touch-file directory itself.
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    const std::string base = server::TouchFileRole::ROLES_TOUCHFILE_BASE_PATH();
    EXPECT_EQ(role_check_in_child("DNS"), 1) << "a readable directory must give an answer";
    ASSERT_EQ(chmod(base.c_str(), 0), 0);
    EXPECT_EQ(role_check_in_child("DNS"), 0) << "an unreadable touch file must raise";
    chmod(base.c_str(), 0755);
}

TEST_F(Roles, EnabledCacheMisuseIsAProgrammingError) {
    EXPECT_FALSE(server::get(DNS_CLASS));
    EXPECT_EQ(server::set(DNS_CLASS, false), false);
    EXPECT_EQ(server::get(DNS_CLASS), false);
    server::unset(DNS_CLASS);
    EXPECT_FALSE(server::get(DNS_CLASS));
    EXPECT_THROW(server::set("", true), std::logic_error);
    EXPECT_THROW(server::get("HASH(0x55d0c0a1)"), std::logic_error);
    EXPECT_FALSE(server::get(DNS_CLASS));
}

TEST_F(Roles, ClassConstants) {
    const auto& dns = server::get_role("DNS");
    ASSERT_EQ(dns.SERVICES().size(), 5u);
    EXPECT_EQ(dns.RPM_TARGETS(), std::vector<std::string>{dns.SERVICES()[4]});
    EXPECT_EQ(dns.short_name(), "DNS");
    const auto& webdisk = server::get_role("WebDisk");
    EXPECT_EQ(webdisk.RESTART_SERVICES(), webdisk.SERVICES());
    const auto& receive = server::get_role("MailReceive");
    ASSERT_EQ(receive.SERVICES().size(), 7u);
    EXPECT_EQ(receive.SERVICES()[3], server::get_role("MailLocal").SERVICES()[1]);
    EXPECT_EQ(server::get_role("CalendarContact").SERVICE_SUBDOMAINS().size(), 2u);
    EXPECT_TRUE(server::get_role("FileStorage").SERVICES().empty());
}

}  // namespace
