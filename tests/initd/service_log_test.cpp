// Reading the tail of service logs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "support/test_support.hpp"
#include "foundation/paths.hpp"
#include "os/os.hpp"
#include "output/formatted_plain.hpp"
#include "initd/service_log.hpp"
#include "cli/log_display.hpp"

using norvik::test::TempDir;
namespace initd = norvik::initd;

TEST(ServicesLog, TailReadDropsTheCutLineAndShowsNewestFirst) {
    TempDir d("log");
    // The line cut by the tail read matches the filter in its cut-off part
    // too, so only dropping it keeps it out.
    std::string cut = "mysqld: head of the cut line " + std::string(9000, 'x') + " mysqld: tail of the cut line";
    std::string text = cut + "\nmysqld: one\nother\nmysqld[12]: two\n(mysqld) three\nmysqld: four\nlast\n";
    norvik::test::write_file(d / "big.log", text);
    std::string msgs;
    initd::ReadLogOptions o;
    o.path = d / "big.log";
    o.log_regex = "mysqld";
    o.read_bytes = 4096;
    o.max_messages = 100;
    auto [n, errs] = initd::_read_log(msgs, o);
    EXPECT_EQ(n, 1);
    EXPECT_TRUE(errs.empty());
    // Matching lines, newest first, without the cut one.
    EXPECT_EQ(msgs, "mysqld: four\n(mysqld) three\nmysqld[12]: two\nmysqld: one");
    // Only the newest lines are kept (before the filter).
    std::string newest;
    o.max_messages = 3;
    initd::_read_log(newest, o);
    EXPECT_EQ(newest, "mysqld: four\n(mysqld) three");
    // A short log keeps its first line.
    norvik::test::write_file(d / "short.log", "first\nsecond\n");
    std::string s;
    initd::ReadLogOptions so;
    so.path = d / "short.log";
    initd::_read_log(s, so);
    EXPECT_EQ(s, "second\nfirst");
    std::string e;
    initd::ReadLogOptions eo;
    eo.path = d / "missing.log";
    auto [n2, errs2] = initd::_read_log(e, eo);
    EXPECT_EQ(n2, 0);
    ASSERT_EQ(errs2.size(), 1u);
    EXPECT_EQ(errs2[0].op, "open");
}

TEST(ServicesLog, MessagesForAServiceAndStartupLog) {
    TempDir root("logroot");
    norvik::foundation::set_root_for_testing(root.path());
    norvik::os::make_instance({"linux", "debian", "12", "0", "0"});
    norvik::test::write_file(root / "var/log/syslog", "Dec 1 host proftpd[3]: up\nDec 1 host cron[1]: x\n");
    auto [ok, text] = initd::fetch_service_log_messages("proftpd");
    EXPECT_TRUE(ok);
    EXPECT_EQ(text, "Dec 1 host proftpd[3]: up");
    auto none = initd::fetch_service_log_messages("nkdavd");
    EXPECT_TRUE(none.first);
    EXPECT_EQ(none.second, "");
    auto [sok, reason] = initd::fetch_service_startup_log("nkdavd");
    EXPECT_FALSE(sok);
    norvik::test::write_file(root / "var/norvik/restartsrv/startup_logs/nkdavd", "hello\n");
    EXPECT_EQ(initd::fetch_service_startup_log("nkdavd").second, "hello\n");
    EXPECT_FALSE(initd::fetch_service_startup_log("../x").first);
    // The cleaning of a long web-server log.
    std::string longlog(9000, 'a');
    longlog += "\n  Warning: drop me\nkeep\nhttpd: Warning: drop too\n[Mon] [warn] drop\n";
    EXPECT_EQ(initd::_decruft_log_for_service("httpd", longlog), std::string(9000, 'a') + "\nkeep\n");
    EXPECT_EQ(initd::_decruft_log_for_service("exim", longlog), longlog);
    norvik::os::clear_cache_after_distro_conversion();
    norvik::foundation::set_root_for_testing("");
}

// A syslog line any local user can write, shown in a verbose report.
TEST(ServicesLog, DisplayShowsEscapeSequencesOfAServiceLogInert) {
    TempDir root("logesc");
    norvik::foundation::set_root_for_testing(root.path());
    norvik::os::make_instance({"linux", "debian", "12", "0", "0"});
    norvik::test::write_file(root / "var/log/syslog",
                             "Dec 1 host proftpd[3]: \x1b]0;owned\x07\x1b[2J\x1b[3J cleared\n");
    norvik::test::write_file(root / "var/norvik/restartsrv/startup_logs/ftpd", "start \x1b[31mred\x1b[0m\n");
    char* buf = nullptr;
    size_t len = 0;
    FILE* mem = open_memstream(&buf, &len);
    auto out = std::make_shared<norvik::output::Plain>(norvik::output::OutputOptions{.filehandle = mem});
    norvik::cli::Display("proftpd", out).show_startup_log();
    std::fflush(mem);
    const std::string shown(buf, len);
    std::fclose(mem);
    std::free(buf);
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_EQ(shown.find('\x07'), std::string::npos) << shown;
    EXPECT_NE(shown.find("proftpd[3]: \\x1b]0;owned\\x07\\x1b[2J\\x1b[3J cleared"), std::string::npos) << shown;
    EXPECT_NE(shown.find("start \\x1b[31mred\\x1b[0m"), std::string::npos) << shown;
    norvik::os::clear_cache_after_distro_conversion();
    norvik::foundation::set_root_for_testing("");
}
