// The enabled test on real files below a temporary root: order of the sources,
// disable files (shared, symlinked, unreadable), invalid names, mail protocols.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "config/nkconf_guard.hpp"
#include "foundation/global_cache.hpp"
#include "foundation/paths.hpp"
#include "server/server_type.hpp"
#include "server/profile.hpp"
#include "server/role.hpp"
#include "server/role_cache.hpp"
#include "services/enabled.hpp"
#include "support/test_support.hpp"

namespace {

namespace services = norvik::services;
namespace foundation = norvik::foundation;
using norvik::test::exists;
using norvik::test::read_file;
using norvik::test::write_file;

class Enabled : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::set_root_for_testing(tmp.path());
        norvik::test::make_dirs(foundation::etc_dir());
        norvik::test::make_dirs(foundation::servmon_d_dir());
        reset();
        norvik::server::set_DNSONLY_MODE(0);
    }
    void TearDown() override {
        norvik::server::set_DNSONLY_MODE(std::nullopt);
        reset();
    }
    static void reset() {
        norvik::config::NkConfGuard::set_memory_only(std::nullopt);
        norvik::config::NkConfGuard::clearcache();
        norvik::server::reset_cache();
        norvik::server::_reset_cache();
        norvik::server::_unset_all();
        norvik::foundation::clearcache();
    }
    // Each rewrite gets a later mtime, as it would between two real edits
    // (the loader's caches go by mtime in seconds).
    void main_config(const std::string& text) {
        write_file(foundation::main_config(), text);
        const time_t t = time(nullptr) + (++edits_) * 10;
        struct timespec ts[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, foundation::main_config().c_str(), ts, 0), 0);
        norvik::config::NkConfGuard::clearcache();
    }
    int edits_ = 0;
    // A service with no rule of its own, installed through its monitor file.
    void install(const std::string& service) { write_file(foundation::servmon_d_dir() + "/" + service, ""); }
    std::string etc(const std::string& name) { return foundation::etc_dir() + "/" + name; }

    norvik::test::TempDir tmp{"enabled"};
};

TEST_F(Enabled, NoServiceCannotBeJudged) {
    EXPECT_EQ(services::is_enabled(""), std::nullopt);
    // Callers that test truth take "cannot judge" as enabled.
    EXPECT_TRUE(services::are_enabled(std::string()));
}

TEST_F(Enabled, MailmanFollowsItsConfigKeyAndIgnoresDisableFiles) {
    // A disable file under the default naming must not matter for it.
    write_file(foundation::disable_file_plain("mailman"), "");
    write_file(foundation::disable_file_dotted("mailman"), "");
    main_config("skipmailman=1\n");
    EXPECT_EQ(services::is_enabled("mailman"), false);
    main_config("skipmailman=0\n");
    EXPECT_EQ(services::is_enabled("mailman"), true);
    main_config("skipmailman=\n");
    EXPECT_EQ(services::is_enabled("mailman"), true);
    main_config("otherkey=1\n");
    EXPECT_EQ(services::is_enabled("mailman"), true);

    // Judged by a key: it has no disable files at all.
    EXPECT_FALSE(services::service_has_files("mailman"));
    EXPECT_FALSE(services::get_files_for_service("mailman"));
    EXPECT_FALSE(services::remove_disable_files("mailman"));
    EXPECT_TRUE(exists(foundation::disable_file_plain("mailman")));

    // The key is read before the installed test: a DNS-only server (where
    // mailman is not installed) still answers from the key.
    norvik::server::set_DNSONLY_MODE(1);
    EXPECT_EQ(services::is_enabled("mailman"), true);
}

TEST_F(Enabled, InstalledTestComesBeforeDisableFiles) {
    // Not installed (no monitor file, no test of its own): disabled even
    // though no disable file exists.
    EXPECT_EQ(services::is_enabled("nkwidgetd"), false);
    install("nkwidgetd");
    EXPECT_EQ(services::is_enabled("nkwidgetd"), true);

    // Either default file disables it.
    write_file(foundation::disable_file_dotted("nkwidgetd"), "");
    EXPECT_EQ(services::is_enabled("nkwidgetd"), false);
    ASSERT_EQ(unlink(foundation::disable_file_dotted("nkwidgetd").c_str()), 0);
    write_file(foundation::disable_file_plain("nkwidgetd"), "");
    EXPECT_EQ(services::is_enabled("nkwidgetd"), false);
    ASSERT_EQ(services::remove_disable_files("nkwidgetd"), 1);
    EXPECT_FALSE(exists(foundation::disable_file_plain("nkwidgetd")));
    EXPECT_EQ(services::is_enabled("nkwidgetd"), true);
}

TEST_F(Enabled, InstalledExceptionsAreNeverReportedMissing) {
    // lmtp has no monitor file and no package test, yet is not "missing".
    EXPECT_EQ(services::is_enabled("lmtp"), true);
    write_file(foundation::disable_file_plain("lmtp"), "");
    EXPECT_EQ(services::is_enabled("lmtp"), false);
}

TEST_F(Enabled, AlwaysEnabledServicesIgnoreDisableFiles) {
    write_file(foundation::disable_file_plain("nksrvd"), "");
    write_file(foundation::disable_file_plain("nkqueued"), "");
    EXPECT_EQ(services::is_enabled("nksrvd"), true);
    EXPECT_EQ(services::is_enabled("nkqueued"), true);
}

TEST_F(Enabled, DnsBindPdnsAndNamedShareTheirDisableFiles) {
    const auto dns = services::get_files_for_service("dns");
    ASSERT_TRUE(dns);
    ASSERT_EQ(dns->size(), 3u);
    EXPECT_EQ(services::get_files_for_service("bind"), dns);
    EXPECT_EQ(services::get_files_for_service("pdns"), dns);
    // The daemon is DNS too, and keeps its own second file (named.disabled).
    auto named = *dns;
    named.push_back(norvik::foundation::disable_file_dotted("named"));
    EXPECT_EQ(services::get_files_for_service("named"), named);

    install("bind");
    EXPECT_EQ(services::is_enabled("dns"), true);
    EXPECT_EQ(services::is_enabled("bind"), true);
    EXPECT_EQ(services::is_enabled("named"), true);
    ASSERT_TRUE(services::touch_disable_file("dns"));
    EXPECT_TRUE(exists((*dns)[0]));
    EXPECT_FALSE(exists((*dns)[1]));
    EXPECT_EQ(services::is_enabled("dns"), false);
    EXPECT_EQ(services::is_enabled("bind"), false);
    EXPECT_EQ(services::is_enabled("named"), false);
    EXPECT_EQ(services::_check_for_disabled_file("pdns"), false);

    // Any one of the three disables all of them; removing through one name
    // clears the lot.
    write_file((*dns)[2], "");
    ASSERT_EQ(services::remove_disable_files("pdns"), 1);
    for (const auto& p : *dns) EXPECT_FALSE(exists(p)) << p;
    EXPECT_EQ(services::is_enabled("bind"), true);
    EXPECT_EQ(services::is_enabled("named"), true);

    // Disabling through the daemon's name disables DNS under every name.
    ASSERT_TRUE(services::touch_disable_file("named"));
    EXPECT_TRUE(exists((*dns)[0]));
    EXPECT_EQ(services::is_enabled("dns"), false);
    ASSERT_EQ(services::remove_disable_files("named"), 1);
    EXPECT_EQ(services::is_enabled("dns"), true);
    write_file(named.back(), "");
    EXPECT_EQ(services::is_enabled("named"), false);
    EXPECT_EQ(services::is_enabled("dns"), true);
}

TEST_F(Enabled, AliasesHaveTheFilesOfTheServiceTheyName) {
    const auto mysql = services::get_files_for_service("mysql");
    const auto postgresql = services::get_files_for_service("postgresql");
    ASSERT_TRUE(mysql && postgresql);
    EXPECT_EQ(services::get_files_for_service("mysqld"), mysql);
    EXPECT_EQ(services::get_files_for_service("postgres"), postgresql);

    write_file(mysql->back(), "");
    EXPECT_EQ(services::_check_for_disabled_file("mysqld"), false);
    write_file(postgresql->front(), "");
    ASSERT_EQ(services::remove_disable_files("postgres"), 1);
    EXPECT_FALSE(exists(postgresql->front()));
    EXPECT_EQ(services::_check_for_disabled_file("postgresql"), true);
}

TEST_F(Enabled, ImapAndMailShareTheirFirstTwoFiles) {
    const auto imap = services::get_files_for_service("imap");
    const auto mail = services::get_files_for_service("mail");
    ASSERT_TRUE(imap && mail);
    ASSERT_EQ(imap->size(), 3u);
    ASSERT_EQ(mail->size(), 2u);
    EXPECT_EQ((*imap)[0], (*mail)[0]);
    EXPECT_EQ((*imap)[1], (*mail)[1]);
    EXPECT_EQ(services::get_files_for_service("pop")->size(), 2u);
}

TEST_F(Enabled, TouchCreatesOnlyTheFirstFileAndNotTwice) {
    install("nkwidgetd");
    ASSERT_TRUE(services::touch_disable_file("nkwidgetd"));
    EXPECT_TRUE(exists(foundation::disable_file_plain("nkwidgetd")));
    EXPECT_FALSE(exists(foundation::disable_file_dotted("nkwidgetd")));

    // Already disabled (by the second file): success without touching anything.
    ASSERT_EQ(unlink(foundation::disable_file_plain("nkwidgetd").c_str()), 0);
    write_file(foundation::disable_file_dotted("nkwidgetd"), "keep");
    ASSERT_TRUE(services::touch_disable_file("nkwidgetd"));
    EXPECT_FALSE(exists(foundation::disable_file_plain("nkwidgetd")));
    EXPECT_EQ(read_file(foundation::disable_file_dotted("nkwidgetd")), "keep");
}

TEST_F(Enabled, SymlinkedDisableFilesAreNeverFollowedOrRemoved) {
    install("nkwidgetd");
    const std::string target = tmp / "victim";
    write_file(target, "precious");
    ASSERT_EQ(symlink(target.c_str(), foundation::disable_file_plain("nkwidgetd").c_str()), 0);
    write_file(foundation::disable_file_dotted("nkwidgetd"), "");

    EXPECT_EQ(services::is_enabled("nkwidgetd"), false);
    // The regular file goes, the link and its target stay.
    EXPECT_EQ(services::remove_disable_files("nkwidgetd"), 1);
    EXPECT_FALSE(exists(foundation::disable_file_dotted("nkwidgetd")));
    struct stat st {};
    ASSERT_EQ(lstat(foundation::disable_file_plain("nkwidgetd").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(target), "precious");

    // A dangling link in the first place: touching must not create its target.
    ASSERT_EQ(unlink(foundation::disable_file_plain("nkwidgetd").c_str()), 0);
    const std::string nowhere = tmp / "created-through-link";
    ASSERT_EQ(symlink(nowhere.c_str(), foundation::disable_file_plain("nkwidgetd").c_str()), 0);
    EXPECT_EQ(services::is_enabled("nkwidgetd"), true);
    EXPECT_FALSE(services::touch_disable_file("nkwidgetd"));
    EXPECT_FALSE(exists(nowhere));

    // A directory in a disable file's place is not removed either.
    ASSERT_EQ(unlink(foundation::disable_file_plain("nkwidgetd").c_str()), 0);
    norvik::test::make_dirs(foundation::disable_file_dotted("nkwidgetd"));
    EXPECT_EQ(services::remove_disable_files("nkwidgetd"), 1);
    EXPECT_TRUE(exists(foundation::disable_file_dotted("nkwidgetd")));
}

TEST_F(Enabled, UnexaminableDisableFileWarnsAndNextOneCounts) {
    install("nkwidgetd");
    // A link loop: the existence test fails with ELOOP, not ENOENT.
    const std::string a = foundation::disable_file_plain("nkwidgetd");
    const std::string b = tmp / "loop";
    ASSERT_EQ(symlink(b.c_str(), a.c_str()), 0);
    ASSERT_EQ(symlink(a.c_str(), b.c_str()), 0);

    testing::internal::CaptureStderr();
    const auto first = services::is_enabled("nkwidgetd");
    std::string logged = testing::internal::GetCapturedStderr();
    if (exists(foundation::error_log())) logged += read_file(foundation::error_log());
    EXPECT_EQ(first, true);
    EXPECT_NE(logged.find(a), std::string::npos) << logged;

    write_file(foundation::disable_file_dotted("nkwidgetd"), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(services::is_enabled("nkwidgetd"), false);
    testing::internal::GetCapturedStderr();
}

TEST_F(Enabled, InvalidNamesNeverBecomeFiles) {
    for (const std::string bad : {"../../x", "a/b", "x y", "-dash", "evil\n"}) {
        SCOPED_TRACE(bad);
        testing::internal::CaptureStderr();
        EXPECT_EQ(services::is_enabled(bad), false);
        services::touch_disable_file(bad);
        EXPECT_FALSE(services::get_files_for_service(bad));
        EXPECT_FALSE(services::remove_disable_files(bad));
        testing::internal::GetCapturedStderr();
    }
    // Nothing at all appeared below the root's /etc or above it.
    EXPECT_FALSE(exists(tmp / "x"));
    EXPECT_FALSE(exists(tmp / "xdisable"));
    EXPECT_FALSE(exists(foundation::etc_dir() + "/a"));
    EXPECT_FALSE(exists(foundation::etc_dir() + "/../../xdisable"));
}

TEST_F(Enabled, ProtocolListFromFileConfigOrDefault) {
    // Neither source: the default list.
    testing::internal::CaptureStderr();
    EXPECT_EQ(services::get_dovecot_enabled_protocols(), (std::set<std::string>{"imap", "pop3"}));
    testing::internal::GetCapturedStderr();

    write_file(services::DOVECOT_CONF_FILE(), "# mail server\nlisten = *\nprotocols:   imap\t \nssl = yes\n");
    EXPECT_EQ(services::get_dovecot_enabled_protocols(), (std::set<std::string>{"imap"}));
    EXPECT_EQ(services::is_enabled("imap"), true);
    EXPECT_EQ(services::is_enabled("pop"), false);

    // Only a line that starts with the key counts.
    write_file(services::DOVECOT_CONF_FILE(), "#protocols: lmtp\n  protocols: pop3\nother: 1\n");
    EXPECT_EQ(services::get_dovecot_enabled_protocols(), (std::set<std::string>{"imap", "pop3"}));

    write_file(services::DOVECOT_CONF_FILE(), "protocols: imap pop3 lmtp\n");
    EXPECT_EQ(services::get_dovecot_enabled_protocols(), (std::set<std::string>{"imap", "pop3", "lmtp"}));

    // The protocol file wins over the configuration.
    write_file(foundation::protocols_file(), "pop3 imap");
    EXPECT_EQ(services::get_dovecot_enabled_protocols(), (std::set<std::string>{"imap", "pop3"}));
    write_file(foundation::protocols_file(), "pop3\n");
    EXPECT_EQ(services::get_dovecot_enabled_protocols(), (std::set<std::string>{"pop3"}));
    EXPECT_EQ(services::is_enabled("imap"), false);
    EXPECT_EQ(services::is_enabled("pop"), true);
}

TEST_F(Enabled, AreEnabledCombinesAnyAndAll) {
    install("nkwidgetd");
    install("nkgadgetd");
    write_file(foundation::disable_file_plain("nkgadgetd"), "");
    EXPECT_TRUE(services::are_enabled(norvik::foundation::MatchRule{{"nkwidgetd", "nkgadgetd"}, "any"}));
    EXPECT_FALSE(services::are_enabled(norvik::foundation::MatchRule{{"nkwidgetd", "nkgadgetd"}, "all"}));
    EXPECT_FALSE(services::are_enabled("nkgadgetd"));
}

TEST_F(Enabled, ServicesWithRulesOfTheirOwn) {
    // Greylisting: its configuration key, never a disable file.
    write_file(foundation::disable_file_plain("nkgreylistd"), "");
    main_config("greylist_enabled=1\n");
    EXPECT_EQ(services::is_enabled("nkgreylistd"), true);
    if (geteuid() == 0) {
        // Disabling goes through the configuration, not through a file.
        ASSERT_EQ(unlink(foundation::disable_file_plain("nkgreylistd").c_str()), 0);
        EXPECT_TRUE(services::touch_disable_file("nkgreylistd"));
        EXPECT_NE(read_file(foundation::main_config()).find("greylist_enabled=0"), std::string::npos);
        EXPECT_FALSE(exists(foundation::disable_file_plain("nkgreylistd")));
    }

    // The catalogued second MTA service: only the service list's answer.
    write_file(foundation::disable_file_plain("exim-altport"), "");
    EXPECT_EQ(services::is_enabled("exim-altport"), false);
    install("exim-altport");
    EXPECT_EQ(services::is_enabled("exim-altport"), true);

    // No place on a DNS-only server, whatever the files say.
    EXPECT_EQ(services::is_enabled("norvik_php_fpm"), true);
    norvik::server::set_DNSONLY_MODE(1);
    EXPECT_EQ(services::is_enabled("norvik_php_fpm"), false);
    norvik::server::set_DNSONLY_MODE(0);
    write_file(foundation::disable_file_plain("norvik_php_fpm"), "");
    EXPECT_EQ(services::is_enabled("norvik_php_fpm"), false);

    // WebDAV: not wanted while both of its web roles are off; else the
    // ordinary tests follow.
    EXPECT_EQ(services::is_enabled("nkdavd"), true);
    write_file(foundation::disable_file_dotted("nkdavd"), "");
    EXPECT_EQ(services::is_enabled("nkdavd"), false);
    ASSERT_EQ(unlink(foundation::disable_file_dotted("nkdavd").c_str()), 0);
    const std::string roles = norvik::server::TouchFileRole::ROLES_TOUCHFILE_BASE_PATH();
    write_file(roles + "/WebDisk", "");
    write_file(roles + "/CalendarContact", "");
    norvik::server::_unset_all();
    EXPECT_EQ(services::is_enabled("nkdavd"), false);
    ASSERT_EQ(unlink((roles + "/WebDisk").c_str()), 0);
    norvik::server::_unset_all();
    EXPECT_EQ(services::is_enabled("nkdavd"), true);
}

TEST_F(Enabled, ConfigEntryMeanings) {
    main_config("k=skip\n");
    EXPECT_EQ(services::_process_service_status_from_nkconf("x", {"k", ""}), false);
    EXPECT_EQ(services::_process_service_status_from_nkconf("x", {"k", services::MEANING_INVERTING}), false);
    EXPECT_EQ(services::_process_service_status_from_nkconf("x", {"k", services::MEANING_DIRECT}), true);
    main_config("k=yes\n");
    EXPECT_EQ(services::_process_service_status_from_nkconf("x", {"k", ""}), std::nullopt);
    main_config("k=0\n");
    EXPECT_EQ(services::_process_service_status_from_nkconf("x", {"k", services::MEANING_DIRECT}), false);
    EXPECT_EQ(services::_process_service_status_from_nkconf("x", {"k", services::MEANING_INVERTING}), true);
    EXPECT_EQ(services::_process_service_status_from_nkconf("x", {"missing", ""}), std::nullopt);
}

TEST_F(Enabled, RemoteDatabaseCountsAsProvided) {
    // Off here either way: not installed, or switched off by its file.
    write_file(foundation::etc_dir() + "/mysqldisable", "");
    install("nkwidgetd");
    write_file(foundation::disable_file_plain("nkwidgetd"), "");
    ASSERT_EQ(services::is_enabled("mysql"), false);
    const std::string cache = foundation::global_cache_dir() + "/database.json";
    write_file(cache, "{\"data\":{\"has_remote_mysql\":0}}");
    norvik::foundation::clearcache();
    EXPECT_EQ(services::is_provided("mysql"), 0);
    write_file(cache, "{\"data\":{\"has_remote_mysql\":1}}");
    norvik::foundation::clearcache();
    EXPECT_EQ(services::is_provided("mysql"), 1);
    EXPECT_TRUE(services::are_provided("mysql"));
    // Only database services profit from a remote server.
    EXPECT_EQ(services::is_provided("nkwidgetd"), 0);
}

}  // namespace
