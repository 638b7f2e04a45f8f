// Dormant settings, the command-line filter of the process search, and the
// daemon start environment.
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "proc/ignored_commands.hpp"
#include "services/dormant.hpp"
#include "services/env.hpp"
#include "support/test_support.hpp"

extern char** environ;

namespace {

using norvik::services::Dormant;
using norvik::test::write_file;
namespace foundation = norvik::foundation;

class DormantT : public ::testing::Test {
protected:
    void SetUp() override { foundation::set_root_for_testing(tmp.path()); }
    void TearDown() override { foundation::set_root_for_testing(""); }
    std::string enable(const std::string& s) {
        return Dormant::DORMANT_SERVICES_DIR() + "/" + s + Dormant::ENABLE_SUFFIX;
    }
    norvik::test::TempDir tmp{"dormant"};
};

TEST_F(DormantT, EnableFileSetsTheDelay) {
    {
        Dormant d("nkdavd");
        EXPECT_EQ(d.is_enabled(), false);
        EXPECT_FALSE(d.should_go_dormant());
        EXPECT_DOUBLE_EQ(d.go_dormant_in_n_minutes(), 10);
    }
    write_file(enable("nkdavd"), "10\n");
    {
        Dormant d("nkdavd");
        EXPECT_EQ(d.is_enabled(), true);
        EXPECT_EQ(d.enable_file(), enable("nkdavd"));
        EXPECT_DOUBLE_EQ(d.go_dormant_in_n_minutes(), 9);
        // Just connected: far from the delay.
        EXPECT_FALSE(d.should_go_dormant());
        EXPECT_LE(std::abs(d.get_last_connection() - static_cast<int64_t>(time(nullptr))), 2);
    }
    for (const char* text : {"1\n", "", "0\n"}) {
        write_file(enable("nkdavd"), text);
        Dormant d("nkdavd");
        EXPECT_DOUBLE_EQ(d.go_dormant_in_n_minutes(), 10) << '"' << text << '"';
    }
}

TEST_F(DormantT, MinimumIdleTimeoutRaisesTheDelay) {
    testing::internal::CaptureStderr();
    Dormant d("nkdavd", 1800);  // 30 minutes > the 10-minute default
    testing::internal::GetCapturedStderr();
    EXPECT_DOUBLE_EQ(d.go_dormant_in_n_minutes(), 30);
    EXPECT_EQ(d.reconcile(600), true);
    Dormant e("nkdavd", 60);
    EXPECT_DOUBLE_EQ(e.go_dormant_in_n_minutes(), 10);
}

TEST_F(DormantT, TestModeShortensEverything) {
    write_file(Dormant::DORMANT_SERVICES_DIR() + "/" + Dormant::TEST_MODE_FILE, "");
    Dormant d("nkdavd");
    EXPECT_EQ(d.idle_timeout(), 5);
    EXPECT_DOUBLE_EQ(d.go_dormant_in_n_minutes(), 0.25);
}

TEST_F(DormantT, ServiceIsRequiredAndValidated) {
    EXPECT_THROW(Dormant(""), norvik::PlainError);
    EXPECT_THROW(Dormant("../x"), norvik::PlainError);
}

TEST(ShouldIgnoreThisCommand, Rules) {
    using norvik::proc::should_ignore_this_command;
    // Retitled workers of the log tailer and the mail server's helpers.
    EXPECT_EQ(should_ignore_this_command("nklogtaild - Tailing access_log"), true);
    EXPECT_EQ(should_ignore_this_command("/usr/local/norvik/bin/nklogtaild"), false);
    EXPECT_EQ(should_ignore_this_command("dovecot/auth"), true);
    EXPECT_EQ(should_ignore_this_command("/usr/sbin/dovecot -F"), false);
    // The panel's own start/stop commands.
    EXPECT_EQ(should_ignore_this_command("stopexim"), true);
    EXPECT_EQ(should_ignore_this_command("/usr/local/norvik/scripts/restartsrv_exim"), true);
    EXPECT_EQ(should_ignore_this_command("/usr/local/norvik/scripts/startmysql --force"), true);
    // Interpreter running a panel script vs the shipped spam filter daemon.
    EXPECT_EQ(should_ignore_this_command("/usr/bin/perl -w /usr/local/norvik/bin/nkqueued"), true);
    EXPECT_EQ(should_ignore_this_command("/usr/local/norvik/3rdparty/perl/536/bin/perl -T -w "
                                         "/usr/local/norvik/3rdparty/perl/536/bin/spamd -d"),
              false);
    // Real daemons.
    EXPECT_EQ(should_ignore_this_command("/usr/sbin/exim -bd -q1h"), false);
    EXPECT_EQ(should_ignore_this_command("/usr/sbin/mysqld --basedir=/usr"), false);
    EXPECT_EQ(should_ignore_this_command(""), false);
    // Daemons below folders whose names begin like the panel's commands.
    EXPECT_EQ(should_ignore_this_command("/opt/stopwatch/bin/stopwatchd -f"), true);
    EXPECT_EQ(should_ignore_this_command("/opt/stopwatch/bin/watchd -f"), false);
    EXPECT_EQ(should_ignore_this_command("/srv/startup/sbin/daemon --pid /run/d.pid"), false);
    EXPECT_EQ(should_ignore_this_command("startup/daemon"), false);
}

// Command lines as long as the kernel allows (a long class path, a script
// given many arguments): a matcher that recursed per character overflowed
// the stack on them (found by fuzzing).
TEST(ShouldIgnoreThisCommand, LongCommandLines) {
    using norvik::proc::should_ignore_this_command;
    const std::string cp(300000, 'a');
    EXPECT_EQ(should_ignore_this_command("/opt/app/bin/startapp" + cp + " Main"), true);
    EXPECT_EQ(should_ignore_this_command("/usr/bin/java -cp /opt/app/startup/" + cp + " Main"), false);
    EXPECT_EQ(should_ignore_this_command("/usr/bin/java -cp /opt/app/" + cp + " Main"), false);
    EXPECT_EQ(should_ignore_this_command("stop" + cp), true);
    EXPECT_EQ(should_ignore_this_command("/usr/bin/perl " + cp + " /usr/local/norvik/bin/x"), true);
    EXPECT_EQ(should_ignore_this_command("/usr/bin/perl " + cp), false);
    EXPECT_EQ(should_ignore_this_command("/x/3rdparty/perl/" + std::string(300000, '5') + "/bin/spamd perl /scripts"),
              0);
}

TEST(ShouldIgnoreThisCommand, WordEdges) {
    using norvik::proc::should_ignore_this_command;
    // A start or stop word needs something after it and, inside the line, a '/'.
    EXPECT_EQ(should_ignore_this_command("start"), false);
    EXPECT_EQ(should_ignore_this_command("/usr/bin/start x"), false);
    EXPECT_EQ(should_ignore_this_command("/usr/bin/x --stop=now"), false);
    EXPECT_EQ(should_ignore_this_command("/usr/bin/stop-it"), true);
    // The script path must follow the interpreter's blank on the same line.
    EXPECT_EQ(should_ignore_this_command("perl\n/scripts/x"), true);
    EXPECT_EQ(should_ignore_this_command("perl x\n/scripts/x"), false);
    EXPECT_EQ(should_ignore_this_command("perl/scripts/x"), false);
    EXPECT_EQ(should_ignore_this_command("perl -x /opt/scripts/x"), true);
    // The spam filter exception needs its exact layout.
    EXPECT_EQ(should_ignore_this_command("perl /x/3rdparty/bin/spamd"), false);
    EXPECT_EQ(should_ignore_this_command("perl /x/3rdparty/perl//bin/spamd /scripts"), true);
}

// Restores the whole environment and working directory afterwards.
class DaemonEnv : public ::testing::Test {
protected:
    void SetUp() override {
        for (char** e = environ; *e; ++e) saved_.emplace_back(*e);
        char buf[PATH_MAX];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        cwd_ = buf;
    }
    void TearDown() override {
        clearenv();
        for (const auto& kv : saved_) {
            const auto eq = kv.find('=');
            setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
        }
        ASSERT_EQ(chdir(cwd_.c_str()), 0);
    }
    std::vector<std::string> saved_;
    std::string cwd_;
};

TEST_F(DaemonEnv, CleanedEnvironmentWithMarker) {
    setenv("NK_SECRET_TOKEN", "x", 1);
    setenv("LD_PRELOAD", "/tmp/evil.so", 1);
    setenv("TMP", "/tmp/a", 1);
    setenv("TEMP", "/tmp/b", 1);
    setenv("HOME", "/home/someone", 1);
    setenv("USER", "someone", 1);
    setenv("NOTIFY_SOCKET", "/run/notify", 1);
    ASSERT_EQ(chdir("/tmp"), 0);

    norvik::services::setup_env_for_starting_a_daemon();

    for (const char* gone : {"NK_SECRET_TOKEN", "LD_PRELOAD", "TMP", "TEMP"}) EXPECT_EQ(getenv(gone), nullptr) << gone;
    ASSERT_NE(getenv("RESTARTSRV"), nullptr);
    EXPECT_STREQ(getenv("RESTARTSRV"), "1");
    EXPECT_STREQ(getenv("HOME"), "/root");
    EXPECT_STREQ(getenv("USER"), "root");
    ASSERT_NE(getenv("NOTIFY_SOCKET"), nullptr);
    EXPECT_STREQ(getenv("NOTIFY_SOCKET"), "/run/notify");
    EXPECT_NE(getenv("TZ"), nullptr);
    char buf[PATH_MAX];
    ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
    EXPECT_STREQ(buf, "/");
}

}  // namespace
