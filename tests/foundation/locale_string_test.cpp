// Translatable messages: the untranslated fallback, freezing and thawing,
// and the JSON mode guard.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "exception/exception.hpp"
#include "exception/locale_string.hpp"

using norvik::LocaleString;
using json = nlohmann::json;

TEST(LocaleString, FallbackInterpolatesEveryPlaceholder) {
    LocaleString two("The role “[_1]” needs “[_2]”.", {"MailReceive", "exim"});
    EXPECT_EQ(two.to_string(), "The role “MailReceive” needs “exim”.");
    EXPECT_EQ(two.to_en_string(), two.to_string());
    // Repeated, reordered and missing arguments; extra arguments are unused.
    EXPECT_EQ(LocaleString("[_2]-[_1]-[_2]", {"a", "b"}).to_string(), "b-a-b");
    EXPECT_EQ(LocaleString("[_1] and [_3]", {"only"}).to_string(), "only and ");
    EXPECT_EQ(LocaleString("no placeholders", {"x", "y"}).to_string(), "no placeholders");
    EXPECT_EQ(LocaleString("[_1]").to_string(), "");
    // Escaped brackets stay literal; an argument's own brackets are not expanded.
    EXPECT_EQ(LocaleString("~[_1~] is [_1]", {"[_2]", "no"}).to_string(), "[_1] is [_2]");
    // Bracket forms reduce to their argument.
    EXPECT_EQ(LocaleString("[quant,_1,file] in [asis,Norvik]", {"3"}).to_string(), "3 in Norvik");
    // An unterminated bracket is kept as text.
    EXPECT_EQ(LocaleString("open [_1", {"x"}).to_string(), "open [_1");
}

TEST(LocaleString, OddPlaceholderNumbersNeverThrow) {
    // A frozen message can come from anywhere (another process, a file):
    // a placeholder number that does not fit is simply a missing argument.
    std::string huge = "[_" + std::string(40, '9') + "]";
    LocaleString s("value: " + huge + "[_0]", {"a"});
    std::string text;
    EXPECT_NO_THROW(text = s.to_string());
    EXPECT_EQ(text, "value: ");
    EXPECT_NO_THROW(LocaleString::thaw(json::array({LocaleString::CLASS_NAME, huge, "x"})).to_string());
}

TEST(LocaleString, ConstructionRules) {
    EXPECT_THROW(LocaleString(""), norvik::PlainError);
    EXPECT_THROW(LocaleString("Other::Class", "text", {}), norvik::PlainError);
    EXPECT_THROW(LocaleString("Norvik::LocaleStringX", "text", {}), norvik::PlainError);
    EXPECT_THROW(LocaleString("Norvik::LocaleString::", "text", {}), norvik::PlainError);
    LocaleString sub("Norvik::LocaleString::Role", "Role [_1]", {"x"});
    EXPECT_EQ(sub.class_name(), "Norvik::LocaleString::Role");
    auto clone = sub.clone_with_args({"y", "z"});
    EXPECT_EQ(clone.class_name(), sub.class_name());
    EXPECT_EQ(clone.to_string(), "Role y");
    EXPECT_EQ(clone.to_list(), (std::vector<std::string>{"Role [_1]", "y", "z"}));
    EXPECT_EQ(sub.to_string(), "Role x");  // the original keeps its arguments
}

TEST(LocaleString, FreezeThawRoundTrip) {
    for (const LocaleString& s : {LocaleString("plain"), LocaleString("[_1] of [_2]", {"one", "two"}),
                                  LocaleString("Norvik::LocaleString::Sub", "sub [_1]", {""})}) {
        json frozen = s.freeze();
        ASSERT_TRUE(frozen.is_array());
        EXPECT_EQ(frozen[0], s.class_name());
        EXPECT_EQ(frozen.size(), s.args().size() + 2);
        EXPECT_EQ(LocaleString::is_frozen(frozen), true);
        LocaleString back = LocaleString::thaw(frozen);
        EXPECT_TRUE(back == s) << frozen.dump();
        EXPECT_EQ(back.to_string(), s.to_string());
        // Through text, as it travels between processes.
        EXPECT_TRUE(LocaleString::thaw(json::parse(frozen.dump())) == s);
    }
    // Arguments that are not strings come back as their text.
    auto mixed = LocaleString::thaw(json::array({LocaleString::CLASS_NAME, "[_1]/[_2]/[_3]", 5, nullptr, true}));
    EXPECT_EQ(mixed.to_string(), "5//true");
}

TEST(LocaleString, ThawRefusesWhatIsNotAFrozenString) {
    auto message_of = [](const json& v) -> std::string {
        try {
            LocaleString::thaw(v);
        } catch (const norvik::PlainError& e) {
            return e.what();
        }
        return "";
    };
    EXPECT_NE(message_of(json::object()).find("object"), std::string::npos);
    EXPECT_NE(message_of(json("text")).find("string"), std::string::npos);
    EXPECT_NE(message_of(json(3)).find("number"), std::string::npos);
    for (const json& v : {json::array(), json::array({LocaleString::CLASS_NAME}), json::array({"Other", "t"}),
                          json::array({1, "t"}), json::array({LocaleString::CLASS_NAME, ""})})
        EXPECT_FALSE(message_of(v).empty()) << v.dump();
}

TEST(LocaleString, IsFrozenNeedsAClassHeadAndTwoElements) {
    EXPECT_EQ(LocaleString::is_frozen(json::array({"Norvik::LocaleString", "t"})), true);
    EXPECT_EQ(LocaleString::is_frozen(json::array({"Norvik::LocaleString::Deep::Er", "t", "a"})), true);
    EXPECT_EQ(LocaleString::is_frozen(json::array({"Norvik::LocaleString"})), false);
    EXPECT_EQ(LocaleString::is_frozen(json::array({"Norvik::LocaleStringy", "t"})), false);
    EXPECT_EQ(LocaleString::is_frozen(json::array({"Norvik::Exception", "t"})), false);
    EXPECT_EQ(LocaleString::is_frozen(json::array({json::array({"Norvik::LocaleString"}), "t"})), false);
    EXPECT_EQ(LocaleString::is_frozen(json("Norvik::LocaleString")), false);
    EXPECT_EQ(LocaleString::is_frozen(json::object({{"Norvik::LocaleString", "t"}})), false);
}

TEST(LocaleString, JsonModeGuard) {
    LocaleString s("[_1] is down", {"exim"});
    EXPECT_EQ(json(s), json("exim is down"));
    EXPECT_FALSE(LocaleString::json_freezes());
    {
        auto outer = LocaleString::set_json_to_freeze();
        EXPECT_EQ(json(s), s.freeze());
        {
            auto inner = LocaleString::set_json_to_freeze();
            EXPECT_TRUE(json(s).is_array());
        }
        // The outer guard still holds after the inner one ended.
        EXPECT_TRUE(LocaleString::json_freezes());
        json in_a_record = {{"role", s}, {"list", std::vector<LocaleString>{s, s}}};
        EXPECT_EQ(in_a_record["role"], s.freeze());
        EXPECT_EQ(in_a_record["list"][1], s.freeze());
        EXPECT_TRUE(LocaleString::thaw(in_a_record["role"]) == s);
    }
    EXPECT_FALSE(LocaleString::json_freezes());
    EXPECT_EQ(json(s), json("exim is down"));
}
