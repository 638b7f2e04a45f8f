// The entry driver's reading of its own program name.
#include <gtest/gtest.h>

#include "cli/driver.hpp"

namespace cli = norvik::cli;

TEST(ProgramName, ActionAndServiceFromTheLastComponent) {
    struct Case {
        const char* path;
        const char* action;
        const char* service;
    };
    for (const Case& c : {Case{"/usr/local/norvik/scripts/restartsrv_exim", "restartsrv_", "exim"},
                          Case{"stopnk-davd", "stop", "nk-davd"}, Case{"./startphp_fpm", "start", "php_fpm"},
                          // A directory named like a program does not count.
                          Case{"/opt/restartsrv_x/restartsrv_base", "restartsrv_", "base"}}) {
        auto p = cli::parse_program_name(c.path);
        ASSERT_TRUE(p) << c.path;
        EXPECT_EQ(p->action, c.action) << c.path;
        EXPECT_EQ(p->service, c.service) << c.path;
    }
}

TEST(ProgramName, NamesOfNeitherFormAreRefused) {
    for (const char* path : {"", "/", "restartsrv_", "/usr/bin/restartsrv_exim.pl", "restartsrv_ex im", "exim",
                             "/restartsrv_exim/", "xrestartsrv_exim/"})
        EXPECT_FALSE(cli::parse_program_name(path)) << path;
    // Longer than a file name can be: refused without running the matcher.
    EXPECT_FALSE(cli::parse_program_name("restartsrv_" + std::string(300, 'a')));
    EXPECT_TRUE(cli::parse_program_name("restartsrv_" + std::string(200, 'a')));
    EXPECT_FALSE(cli::parse_program_name("/x/restartsrv_" + std::string(100000, 'a')));
}
