#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/any_all_matcher.hpp"
#include "foundation/service_name.hpp"
#include "exception/exception.hpp"

namespace {

using norvik::foundation::is_valid_service_name;

TEST(ValidateService, AcceptsServiceNames) {
    for (const char* ok : {"exim", "exim-altport", "apache_php_fpm", "nkdavd", "pdns", "A1", "_x", "postgresql"})
        EXPECT_EQ(is_valid_service_name(ok), true) << ok;
    EXPECT_EQ(is_valid_service_name(std::string(64, 'a')), true);
}

TEST(ValidateService, RefusesAnythingThatCouldLeaveADirectoryOrBeAnOption) {
    for (const std::string& bad :
         std::vector<std::string>{"", ".", "..", "...", "a/b", "/", "../x", "a.b", "-x", "a b", "a\tb", "tab\n",
                                  "caf\xc3\xa9", std::string("a\0b", 3), std::string(65, 'a'), "x;rm", "$(x)"})
        EXPECT_EQ(is_valid_service_name(bad), false) << bad;
}

TEST(AnyAllMatcher, CombinesAnswers) {
    namespace foundation = norvik::foundation;
    auto is_a = [](const std::string& s) { return s[0] == 'a'; };
    EXPECT_TRUE(foundation::match_any_all({{"ab", "ac"}, foundation::MATCH_ALL}, is_a));
    EXPECT_FALSE(foundation::match_any_all({{"ab", "bc"}, foundation::MATCH_ALL}, is_a));
    EXPECT_TRUE(foundation::match_any_all({{"bb", "ac"}, foundation::MATCH_ANY}, is_a));
    EXPECT_FALSE(foundation::match_any_all({{"bb", "bc"}, foundation::MATCH_ANY}, is_a));
    EXPECT_TRUE(foundation::match_any_all({{}, foundation::MATCH_ALL}, is_a));
    EXPECT_FALSE(foundation::match_any_all({{}, foundation::MATCH_ANY}, is_a));
    try {
        foundation::match_any_all({{"a"}, "some"}, is_a);
        ADD_FAILURE();
    } catch (const norvik::Exception& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("all"), std::string::npos);
        EXPECT_NE(text.find("any"), std::string::npos);
    }
}

}  // namespace
