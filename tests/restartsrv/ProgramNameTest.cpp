// The entry driver's reading of its own program name.
#include <gtest/gtest.h>

#include "restartsrv/RestartSrv.hpp"

namespace rs = norvik::restartsrv;

TEST(ProgramName, ActionAndServiceFromTheLastComponent) {
    auto a = rs::parse_program_name("/usr/local/norvik/scripts/restartsrv_exim");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->action, "restartsrv_");
    EXPECT_EQ(a->service, "exim");
    auto b = rs::parse_program_name("stopnk-davd");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->action, "stop");
    EXPECT_EQ(b->service, "nk-davd");
    auto c = rs::parse_program_name("./startphp_fpm");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->action, "start");
    EXPECT_EQ(c->service, "php_fpm");
    // A directory named like a program does not count.
    auto d = rs::parse_program_name("/opt/restartsrv_x/restartsrv_base");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->service, "base");
}

TEST(ProgramName, NamesOfNeitherFormAreRefused) {
    for (const char* path : {"", "/", "restartsrv_", "/usr/bin/restartsrv_exim.pl", "restartsrv_ex im", "exim",
                             "/restartsrv_exim/", "xrestartsrv_exim/"})
        EXPECT_FALSE(rs::parse_program_name(path)) << path;
    // Longer than a file name can be: refused without running the matcher.
    EXPECT_FALSE(rs::parse_program_name("restartsrv_" + std::string(300, 'a')));
    EXPECT_TRUE(rs::parse_program_name("restartsrv_" + std::string(200, 'a')));
    EXPECT_FALSE(rs::parse_program_name("/x/restartsrv_" + std::string(100000, 'a')));
}
