#include <gtest/gtest.h>

#include "cli/arguments.hpp"
#include "output/medium.hpp"
#include "services/search_path.hpp"

using namespace norvik::cli;

namespace {
ParsedArgs parse(std::vector<std::string> args, std::vector<std::string>* rest = nullptr) {
    auto r = parseargv(args);
    if (rest) *rest = args;
    return r;
}
}  // namespace

TEST(ParseArgv, DefaultsAndPassThrough) {
    std::vector<std::string> rest;
    auto r = parse({"exim", "--hard", "--unknown=1", "--verbose", "force"}, &rest);
    EXPECT_EQ(r.restart, RESTART);
    EXPECT_FALSE(r.check);
    EXPECT_FALSE(r.status);
    EXPECT_EQ(r.verbose, 1);
    EXPECT_EQ(rest, (std::vector<std::string>{"exim", "--hard", "--unknown=1", "force"}));
}

TEST(ParseArgv, StatusPrecedenceFollowsArgumentOrder) {
    auto a = parse({"--status", "--stop"});
    EXPECT_EQ(a.restart, STOP);
    EXPECT_FALSE(a.status);
    auto b = parse({"--stop", "--status"});
    EXPECT_EQ(b.restart, 0);
    EXPECT_TRUE(b.status);
    auto c = parse({"--stop", "--reload"});
    EXPECT_EQ(c.restart, RELOAD);
    auto d = parse({"--reload", "--no-reload"});
    EXPECT_EQ(d.restart, RESTART);
}

TEST(ParseArgv, NegatedRestartGivesStatus) {
    auto r = parse({"--no-restart", "--graceful=1", "--restart-attempt", "3"});
    EXPECT_EQ(r.restart, 0);
    EXPECT_TRUE(r.status);
    EXPECT_FALSE(r.graceful);
    EXPECT_FALSE(r.restart_attempts);
}

TEST(ParseArgv, ValuesDebugAbbreviationsAndTerminator) {
    std::vector<std::string> rest;
    auto r = parse({"-restart-attempt=3", "--graceful", "0", "--debug", "--re", "--", "--stop"}, &rest);
    EXPECT_EQ(r.restart_attempts.value_or(""), "3");
    EXPECT_EQ(r.graceful.value_or(""), "0");
    EXPECT_EQ(r.verbose, 2);
    EXPECT_EQ(r.restart, RESTART);                                        // "--stop" after "--" is not parsed
    EXPECT_EQ(rest, (std::vector<std::string>{"--re", "--", "--stop"}));  // "--re" is ambiguous
    auto v = parse({"--verb", "--no-debug"});
    EXPECT_EQ(v.verbose, 0);
    auto s = parse({"--STOP=1"});  // a flag given a value is not ours
    EXPECT_EQ(s.restart, RESTART);
}

TEST(ParseArgv, CheckModeHeaderOnlyWhenTrue) {
    setenv("RESTARTSRV_CHECKMODE_HEADER", "1", 1);
    auto r = parse({"--check"});
    testing::internal::CaptureStdout();
    print_check_mode_header(false);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(r.check);
    EXPECT_EQ(r.restart, 0);
    EXPECT_EQ(out, std::string(CHECKMODE_HEADER_LINE) + "\n");
    setenv("RESTARTSRV_CHECKMODE_HEADER", "0", 1);
    testing::internal::CaptureStdout();
    print_check_mode_header(false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    unsetenv("RESTARTSRV_CHECKMODE_HEADER");
}

TEST(ParseArgv, FormatterChoiceIsCaseSensitive) {
    auto medium = [](std::vector<std::string> args) {
        return norvik::output::output_for(false, make_request(args, false, false).html)->class_name();
    };
    EXPECT_EQ(medium({"x", "output=html"}), "Norvik::Output::Formatted::HTML");
    EXPECT_EQ(medium({"HTML"}), "Norvik::Output::Formatted::Terminal");
    EXPECT_EQ(norvik::output::output_for(true, true)->class_name(), "Norvik::Output");
}

TEST(ParseArgv, SetupPathKeepsExistingDirectoriesInOrder) {
    norvik::services::setuppath();
    std::string path = getenv("PATH");
    EXPECT_NE(path.find("/usr/bin"), std::string::npos);
    EXPECT_LT(path.find("/usr/bin"), path.rfind("/bin"));
    EXPECT_EQ(path.find("::"), std::string::npos);
}

TEST(ParseArgv, GracefulIsASwitchThatCanBeNegated) {
    struct Case {
        std::vector<std::string> args;
        std::optional<std::string> graceful;
        std::vector<std::string> rest;
    };
    const std::vector<Case> cases = {
        {{"--no-graceful"}, "0", {}},
        {{"--nograceful", "--stop"}, "0", {}},
        {{"--graceful"}, "1", {}},
        {{"--graceful", "--no-graceful"}, "0", {}},
        {{"--no-graceful", "--graceful=1"}, "1", {}},
        {{"--graceful", "no"}, "no", {}},
        // Only a yes/no word is taken as the value; another word stays.
        {{"--graceful", "nkdemo"}, "1", {"nkdemo"}},
        // The negated form takes no value.
        {{"--no-graceful=1"}, std::nullopt, {"--no-graceful=1"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> rest;
        auto r = parse(c.args, &rest);
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        EXPECT_EQ(r.graceful, c.graceful) << shown;
        EXPECT_EQ(rest, c.rest) << shown;
    }
}

// The request carries what the service object used to look up in the
// command line: the hard and forced words, the back-end switches, the attempt.
TEST(ParseArgv, RequestHoldsWhatTheServiceObjectActsOn) {
    using Action = norvik::service::Request::Action;
    auto hard = make_request(
        {"nkdemo", "--hard", "--graceful", "--restart-attempt=3", "force", "--initd", "--ignore-systemd"}, true, true);
    EXPECT_EQ(hard.action, Action::Restart);
    EXPECT_EQ(hard.graceful, false) << "--hard wins over --graceful";
    EXPECT_EQ(hard.restart_attempt, 3);
    EXPECT_TRUE(hard.force && hard.use_initd && hard.ignore_systemd && hard.started_by_init && hard.json_lines);
    EXPECT_FALSE(hard.html);
    EXPECT_FALSE(hard.absent_ok);
    EXPECT_TRUE(hard.fpm_status);
    // Bare words and --words of letters only may be the service's own actions.
    EXPECT_EQ(hard.custom_action_words, (std::vector<std::string>{"nkdemo", "hard", "graceful", "force", "initd"}));
    auto graceful = make_request({"--graceful=yes", "--restart-attempt=123456789", "--stop"}, false, false);
    EXPECT_EQ(graceful.action, Action::Stop);
    EXPECT_EQ(graceful.graceful, true);
    EXPECT_FALSE(graceful.restart_attempt) << "nine digits are no attempt number";
    EXPECT_FALSE(graceful.force || graceful.use_initd || graceful.started_by_init);
    auto extras = make_request({"--absent-ok", "--no-fpm-status-please", "--", "events", "x1"}, false, false);
    EXPECT_TRUE(extras.absent_ok);
    EXPECT_FALSE(extras.fpm_status);
    EXPECT_EQ(extras.custom_action_words, std::vector<std::string>{"events"});
    auto query = make_request({"--graceful", "--check", "--status"}, false, false);
    EXPECT_EQ(query.action, Action::Check);
    EXPECT_FALSE(query.graceful) << "a query takes no restart settings";
    EXPECT_TRUE(query.is_query());
}

// Only a run that changes nothing may answer without the restart lock.
TEST(ParseArgv, QueryRequestsAreStatusAndCheckOnly) {
    EXPECT_TRUE(is_query_request({"--status"}));
    EXPECT_TRUE(is_query_request({"--interactive", "--check", "--verbose"}));
    EXPECT_TRUE(is_query_request({"--no-restart"}));
    EXPECT_TRUE(is_query_request({"--stop", "--status"}));
    EXPECT_FALSE(is_query_request({"--status", "--stop"}));
    EXPECT_FALSE(is_query_request({}));
    EXPECT_FALSE(is_query_request({"--reload"}));
    EXPECT_FALSE(is_query_request({"events"}));
}
