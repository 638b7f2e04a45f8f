// Parsers fed hostile input in a forked child, so that a crash (a stack
// overflow in a backtracking matcher, say) is reported and not fatal to the
// suite.
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/load_config.hpp"
#include "foundation/inotify.hpp"
#include "proc/process_table.hpp"
#include "systemd/units.hpp"

namespace {

// Wait status of fn() run in a child: exits 0 when fn returns.
int in_child(const std::function<void()>& fn) {
    pid_t p = ::fork();
    if (p == 0) {
        try {
            fn();
        } catch (...) {
            ::_exit(3);  // a clean error is fine: it is not a crash
        }
        ::_exit(0);
    }
    int st = 0;
    ::waitpid(p, &st, 0);
    return st;
}

bool clean(int st) { return WIFEXITED(st) && (WEXITSTATUS(st) == 0 || WEXITSTATUS(st) == 3); }

const std::string LONG(300000, 'x');

}  // namespace

TEST(ParserStress, SystemctlStatusWithHugeLinesDoesNotCrash) {
    namespace systemd = norvik::systemd;
    const std::vector<std::vector<std::string>> inputs = {
        {"   Active: " + LONG},
        {" Main PID: 12 (code=" + LONG + ")"},
        {"   CGroup: /x", "           |-12 " + LONG},
        {"   Loaded: " + LONG},
    };
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_TRUE(clean(in_child([&] { (void)systemd::parse_code_and_signal(inputs[i]); })))
            << "code_and_signal " << i;
    }
    EXPECT_TRUE(
        clean(in_child([&] { (void)systemd::parse_show_output("MainPID=" + LONG + "\nActiveState=" + LONG); })));
}

TEST(ParserStress, ConfigWithHugeAndBinaryLinesParses) {
    namespace config = norvik::config;
    norvik::config::NkConf c;
    config::parse("k=" + LONG + "\n" + std::string("\0\xff=\x01\n", 5) + "=v\nnoequals\nok=1", c);
    EXPECT_EQ(c["k"].size(), LONG.size());
    EXPECT_EQ(c["ok"], "1");
    EXPECT_EQ(c.count(""), 0u);
    EXPECT_EQ(c.count("noequals"), 0u);
}

TEST(ParserStress, ProcStatWithParenthesesAndSpacesInTheName) {
    std::string_view fields, head;
    const std::string rec = "4242 (a) b) (c S 7) R 1 4242 4242 0 -1 0 0 0 0 0 5 3 0 0 20 0 1 0 100 0 0\n";
    ASSERT_TRUE(norvik::proc::stat_fields_part(rec, fields, head));
    EXPECT_EQ(fields.substr(0, 4), "R 1 ");
    EXPECT_NE(head.find("a) b) (c S 7"), std::string_view::npos) << head;
    EXPECT_FALSE(norvik::proc::stat_fields_part("4242 (no closing S 1 2", fields, head));
}

TEST(ParserStress, InotifyRecordsTruncatedMidName) {
    char buf[16 + 4] = {};
    uint32_t len = 1000;  // claims more name than there is
    std::memcpy(buf + 12, &len, 4);
    std::memcpy(buf + 16, "ab\0\0", 4);
    auto ev = norvik::foundation::Inotify::decode(buf, sizeof buf);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].name, "ab");
    EXPECT_TRUE(norvik::foundation::Inotify::decode(buf, 15).empty());
}
