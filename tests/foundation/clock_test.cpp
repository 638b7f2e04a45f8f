#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "support/test_support.hpp"
#include "foundation/paths.hpp"
#include "foundation/clock.hpp"
#include "foundation/hires_clock.hpp"
#include "os/timezones.hpp"

namespace foundation = norvik::foundation;
using norvik::test::TempDir;

namespace {

// Runs with a TZ rule and fresh caches, restoring both afterwards.
class TzScope {
public:
    explicit TzScope(const char* tz) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (old) old_ = old;
        setenv("TZ", tz, 1);
        tzset();
        foundation::clear_clock_caches();
    }
    ~TzScope() {
        if (had_) setenv("TZ", old_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
        foundation::set_clock_for_testing(nullptr);
        foundation::clear_clock_caches();
    }

private:
    bool had_ = false;
    std::string old_;
};

void on_alarm(int) {}

}  // namespace

TEST(TimeLocal, OffsetTextsWholeAndHalfHourZones) {
    struct Case {
        const char* tz;
        const char* text;
        long seconds;
    };
    // POSIX TZ rules count west as positive: "X+5:30" is five and a half hours behind UTC.
    for (const Case& c : {Case{"UTC0", "+0000", 0}, Case{"XST+5:30", "-0530", -19800}, Case{"IST-5:30", "+0530", 19800},
                          Case{"NST+3:30", "-0330", -12600}, Case{"NPT-5:45", "+0545", 20700},
                          Case{"HST+10", "-1000", -36000}, Case{"ODD+0:30", "-0030", -1800}}) {
        TzScope tz(c.tz);
        EXPECT_EQ(foundation::get_server_offset_as_offset_string(), c.text) << c.tz;
        EXPECT_EQ(foundation::get_server_offset_in_seconds(), c.seconds) << c.tz;
    }
    EXPECT_EQ(foundation::offset_text_to_seconds("-0530"), -19800);
    EXPECT_EQ(foundation::offset_text_to_seconds("+1245"), 45900);
    EXPECT_EQ(foundation::offset_text_to_seconds("garbage"), 0);
}

TEST(TimeLocal, OffsetAcrossDayAndYearBoundaries) {
    {
        TzScope tz("XST+5:30");
        // 1970-01-01 00:00 UTC is still 1969 locally.
        EXPECT_EQ(foundation::get_server_offset_as_offset_string(0), "-0530");
        EXPECT_EQ(foundation::localtime2timestamp(0), "1969-12-31 18:30:00 -0530");
    }
    {
        TzScope tz("IST-5:30");
        std::time_t t = 1609444800;  // 2020-12-31 20:00:00 UTC -> 2021-01-01 01:30 local
        EXPECT_EQ(foundation::get_server_offset_as_offset_string(t), "+0530");
        EXPECT_EQ(foundation::localtime2timestamp(t, 'T'), "2021-01-01T01:30:00 +0530");
        // Mid-year day boundary (day of year differs, same year).
        EXPECT_EQ(foundation::get_server_offset_as_offset_string(1593627000), "+0530");  // 2020-07-01 18:10 UTC
    }
}

TEST(TimeLocal, StampCacheByTimeAndDelimiter) {
    TzScope tz("UTC0");
    foundation::set_clock_for_testing([] { return std::time_t{1000}; });
    std::string a = foundation::localtime2timestamp(86400);
    EXPECT_EQ(a, "1970-01-02 00:00:00 +0000");
    int after_first = foundation::computations_for_testing();
    EXPECT_EQ(foundation::localtime2timestamp(86400), a);
    EXPECT_EQ(foundation::computations_for_testing(), after_first)
        << "same time and delimiter must come from the cache";
    EXPECT_EQ(foundation::localtime2timestamp(86400, '_'), "1970-01-02_00:00:00 +0000");
    EXPECT_GT(foundation::computations_for_testing(), after_first);
}

TEST(TimeLocal, ClockMovingToAnotherSecondRepeatsTheComputation) {
    TzScope tz("UTC0");
    int calls = 0;
    // First reading 100, every later one 101: the first pass straddles a second.
    foundation::set_clock_for_testing([&calls] { return std::time_t{calls++ == 0 ? 100 : 101}; });
    EXPECT_EQ(foundation::get_server_offset_as_offset_string(), "+0000");
    EXPECT_EQ(foundation::computations_for_testing(), 2);
}

TEST(TimeLocal, ChangedLocaltimeLinkClearsTheCaches) {
    TempDir t;
    norvik::foundation::set_root_for_testing(t.path());
    norvik::test::make_dirs(t / "etc");
    ASSERT_EQ(symlink("/usr/share/zoneinfo/UTC", (t / "etc/localtime").c_str()), 0);
    {
        TzScope tz("UTC0");
        EXPECT_EQ(foundation::get_server_offset_as_offset_string(), "+0000");
        // The zone rule changes, but the file did not: the cached text stays.
        setenv("TZ", "IST-5:30", 1);
        EXPECT_EQ(foundation::get_server_offset_as_offset_string(), "+0000");
        std::string stamp = foundation::localtime2timestamp();
        EXPECT_NE(stamp.find("+0000"), std::string::npos);
        // Relinking the local-time file is noticed on the next call.
        ASSERT_EQ(unlink((t / "etc/localtime").c_str()), 0);
        ASSERT_EQ(symlink("/usr/share/zoneinfo/Asia/Kolkata", (t / "etc/localtime").c_str()), 0);
        EXPECT_EQ(foundation::get_server_offset_as_offset_string(), "+0530");
        EXPECT_EQ(foundation::get_server_offset_in_seconds(), 19800);
    }
    norvik::foundation::set_root_for_testing("");
}

TEST(TimeHiRes, ClockAndFractionalSleep) {
    double a = norvik::foundation::hires_time();
    EXPECT_NEAR(a, static_cast<double>(::time(nullptr)), 2.0);
    auto [s, ns] = norvik::foundation::hires_clock_gettime();
    EXPECT_GE(ns, 0);
    EXPECT_LT(ns, 1000000000);
    auto [s2, us] = norvik::foundation::hires_gettimeofday();
    EXPECT_LT(us, 1000000);
    EXPECT_LE(s, s2);
    EXPECT_DOUBLE_EQ(norvik::foundation::hires_sleep(0.05), 0.05);
    double b = norvik::foundation::hires_time();
    EXPECT_GE(b - a, 0.045);
    EXPECT_DOUBLE_EQ(norvik::foundation::hires_sleep(-1), -1);  // no sleep, no error
}

TEST(TimeHiRes, SignalEndsSleepEarlyWithoutError) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_alarm;  // no SA_RESTART
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    struct itimerval it {};
    it.it_value.tv_usec = 50000;
    setitimer(ITIMER_REAL, &it, nullptr);
    double a = norvik::foundation::hires_time();
    EXPECT_NO_THROW(norvik::foundation::hires_sleep(5));
    EXPECT_LT(norvik::foundation::hires_time() - a, 2.0);
    sigaction(SIGALRM, &old, nullptr);
}

// Time zones, in a sandbox tree with its own zone directory.
class TimezonesTest : public ::testing::Test {
protected:
    void SetUp() override {
        norvik::foundation::set_root_for_testing(t.path());
        norvik::os::clear_cache();
        zi = t / "usr/share/zoneinfo";
        norvik::test::write_file(zi + "/zone.tab",
                                 "# comment\nIN\t+2232+08822\tAsia/Kolkata\nUS\t+404251-0740023\tAmerica/New_York\n");
        norvik::test::write_file(zi + "/Asia/Kolkata", "TZif2 kolkata data");
        norvik::test::write_file(zi + "/America/New_York", "TZif2 new york data");
        norvik::test::write_file(zi + "/posix/Asia/Kolkata", "TZif2 kolkata data");
        norvik::test::write_file(zi + "/UTC", "TZif2 utc");
        norvik::test::make_dirs(t / "etc");
        norvik::test::make_dirs(t / "var/norvik");
    }
    void TearDown() override {
        norvik::os::clear_cache();
        norvik::foundation::set_root_for_testing("");
    }
    TempDir t;
    std::string zi;
};

TEST_F(TimezonesTest, ZoneFromLinkFromCopyAndWithoutPosixPrefix) {
    ASSERT_EQ(symlink((zi + "/Asia/Kolkata").c_str(), (t / "etc/localtime").c_str()), 0);
    EXPECT_EQ(norvik::os::calculate_TZ_env(), "Asia/Kolkata");

    unlink((t / "etc/localtime").c_str());
    ASSERT_EQ(symlink((zi + "/posix/Asia/Kolkata").c_str(), (t / "etc/localtime").c_str()), 0);
    EXPECT_EQ(norvik::os::get_current_timezone(false), "posix/Asia/Kolkata");
    EXPECT_EQ(norvik::os::calculate_TZ_env(), "Asia/Kolkata");

    // A copied file is recognised by its contents, in list order.
    unlink((t / "etc/localtime").c_str());
    norvik::test::write_file(t / "etc/localtime", "TZif2 new york data");
    EXPECT_EQ(norvik::os::calculate_TZ_env(), "America/New_York");

    // An unknown copy names no zone: the panel shows the default, but a
    // daemon's TZ is left unset rather than claiming it.
    norvik::test::write_file(t / "etc/localtime", "TZif2 somewhere else");
    EXPECT_EQ(norvik::os::calculate_TZ_env(), std::nullopt);
    EXPECT_EQ(norvik::os::get_current_timezone(), norvik::os::DEFAULT_TIMEZONE);
    // /etc/timezone names it when its zone file exists.
    norvik::test::write_file(t / "etc/timezone", "Asia/Kolkata\n");
    EXPECT_EQ(norvik::os::calculate_TZ_env(), "Asia/Kolkata");
    norvik::test::write_file(t / "etc/timezone", "Mars/Olympus\n");
    EXPECT_EQ(norvik::os::calculate_TZ_env(), std::nullopt);
}

TEST_F(TimezonesTest, ZoneListFromTableThenFromCacheFile) {
    const auto& list = norvik::os::gettimezones();
    EXPECT_EQ(list, (std::vector<std::string>{"Asia/Kolkata", "America/New_York", "UTC"}));
    EXPECT_TRUE(norvik::os::is_valid("America/New_York"));
    EXPECT_FALSE(norvik::os::is_valid("Mars/Olympus"));
    EXPECT_FALSE(norvik::os::set("Mars/Olympus"));
    if (geteuid() != 0) GTEST_SKIP() << "the cache file is written by root only";
    std::string cache = norvik::foundation::timezones_cache();
    EXPECT_EQ(norvik::test::read_file(cache), "Asia/Kolkata\nAmerica/New_York\nUTC\n");
    struct stat st;
    ASSERT_EQ(stat(cache.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // A fresh cache is trusted over the table.
    norvik::test::write_file(cache, "Europe/Paris\nUTC\n");
    norvik::os::clear_cache();
    EXPECT_EQ(norvik::os::gettimezones(), (std::vector<std::string>{"Europe/Paris", "UTC"}));

    // One older than 42 days is not.
    struct timespec old_times[2] = {{time(nullptr) - 43 * 86400, 0}, {time(nullptr) - 43 * 86400, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, cache.c_str(), old_times, 0), 0);
    norvik::os::clear_cache();
    EXPECT_EQ(norvik::os::gettimezones().front(), "Asia/Kolkata");
}

TEST_F(TimezonesTest, WithoutTableTheZoneDirectoryIsWalked) {
    unlink((zi + "/zone.tab").c_str());
    norvik::test::write_file(zi + "/README", "not a zone");
    const auto& list = norvik::os::gettimezones();
    EXPECT_NE(std::find(list.begin(), list.end(), "Asia/Kolkata"), list.end());
    EXPECT_NE(std::find(list.begin(), list.end(), "UTC"), list.end());
    EXPECT_EQ(std::find(list.begin(), list.end(), "README"), list.end());
}
