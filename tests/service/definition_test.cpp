// Service definitions and the service object's attributes, in-process.
#include <gtest/gtest.h>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "service/factory.hpp"
#include "service/definition.hpp"
#include "service/hot.hpp"
#include "support/test_support.hpp"

using norvik::service::Base;
using norvik::service::Definition;
using norvik::service::Hot;

namespace {
std::string parse_error(const std::string& text) {
    try {
        Definition::parse(text, "x.json", "Norvik::ServiceManager::Services::X");
    } catch (const norvik::PlainError& e) {
        return e.text();
    }
    return "";
}
}  // namespace

TEST(Definition, ClassSuffixTransliterations) {
    using norvik::service::class_suffix_for_service;
    EXPECT_EQ(class_suffix_for_service("exim"), "Exim");
    EXPECT_EQ(class_suffix_for_service("NK-davd"), "Nk_davd");
    EXPECT_EQ(class_suffix_for_service("a.b"), "A_b");
}

TEST(Definition, RejectsWhatCannotBeLoaded) {
    EXPECT_NE(parse_error("{ nope"), "");
    EXPECT_NE(parse_error("[]"), "");
    EXPECT_NE(parse_error(R"({"base": "Cold"})").find("base"), std::string::npos);
    EXPECT_NE(parse_error(R"({"attributes": {"colour": "red"}})").find("colour"), std::string::npos);
    EXPECT_NE(parse_error(R"({"attributes": {"ports": [80, "x"]}})").find("ports"), std::string::npos);
    EXPECT_NE(parse_error(R"({"attributes": {"support_reload": 2}})").find("support_reload"), std::string::npos);
    EXPECT_NE(parse_error(R"({"hooks": {"start_check": ["true"]}})").find("absolute"), std::string::npos);
    EXPECT_NE(parse_error(R"({"hooks": {"before_lunch": ["/bin/true"]}})").find("before_lunch"), std::string::npos);
    EXPECT_NE(parse_error(R"({"actions": {"Up": ["/bin/true"]}})").find("Up"), std::string::npos);
    EXPECT_NE(parse_error(R"({"actions": {"up": []}})").find("up"), std::string::npos);
    EXPECT_NE(parse_error(R"({"attributes": {"is_graceful_restart_enabled": false}})"), "");
    EXPECT_EQ(parse_error(R"({"base": "Hot", "attributes": {"is_graceful_restart_enabled": false,
        "service_package": "x", "ports": [1], "support_reload": 1}})"),
              "");
}

TEST(Definition, RootPlaceholderAndLookupOrder) {
    norvik::test::TempDir t("def");
    norvik::foundation::set_root_for_testing(t.path());
    auto d = Definition::parse(R"({"attributes": {"pidfile": "${NORVIK_ROOT}/run/x.pid"},
                                   "actions": {"hi": ["${NORVIK_ROOT}/bin/hi", "a"]}})",
                               "f", "C");
    EXPECT_EQ(d.attributes["pidfile"], t.path() + "/run/x.pid");
    EXPECT_EQ(d.actions["hi"][0], t.path() + "/bin/hi");

    EXPECT_FALSE(Definition::find("Nosuch").has_value());
    norvik::test::write_file(norvik::foundation::builtin_services_dir() + "/Svc.json", R"({"base": "Base"})");
    EXPECT_EQ(Definition::find("Svc")->base, "Base");
    norvik::test::write_file(norvik::foundation::custom_services_dir() + "/Svc.json", R"({"base": "Hot"})");
    EXPECT_EQ(Definition::find("Svc")->base, "Hot");  // the custom directory wins
    norvik::test::write_file(norvik::foundation::custom_services_dir() + "/Svc.json", "{");
    try {
        Definition::find("Svc");
        ADD_FAILURE() << "no error";
    } catch (const norvik::PlainError& e) {
        EXPECT_NE(e.text().find(norvik::foundation::custom_services_dir() + "/Svc.json"), std::string::npos);
    }
    norvik::foundation::set_root_for_testing("");
}

TEST(Definition, FactoryRefusesEmptyAndInvalidNames) {
    EXPECT_THROW(norvik::service::create(""), norvik::PlainError);
    EXPECT_THROW(norvik::service::create("../etc"), norvik::Exception);
    EXPECT_THROW(norvik::service::create(std::string(256, 'a')), norvik::Exception);
}

TEST(BaseAttributes, DefaultsAndLazyValues) {
    Base b(nlohmann::json{{"service", "exim"}, {"unknown_thing", 1}});
    EXPECT_EQ(b.service_name(), "exim");
    EXPECT_EQ(b.service_to_suspend(), "exim");
    EXPECT_EQ(b.suspend_time(), 600);
    EXPECT_EQ(b.startup_timeout(), 10);
    EXPECT_TRUE(b.graceful_by_default());
    EXPECT_TRUE(b.has_single_pid());
    EXPECT_EQ(b.processowner(), "root");
    EXPECT_FALSE(b.restart_attempts().has_value());
    EXPECT_EQ(b._pid(), ::getpid());
    EXPECT_EQ(b.class_name(), "Norvik::ServiceManager::Base");

    Base o(nlohmann::json{{"service", "exim"}, {"service_override", "exim4"}});
    EXPECT_EQ(o.service_name(), "exim4");
    EXPECT_EQ(o.service_to_suspend(), "exim");
    o.service("other");  // computed once
    EXPECT_EQ(o.service_name(), "exim4");

    EXPECT_THROW(Base(nlohmann::json{{"ports", "80"}}), norvik::PlainError);

    Hot h(nlohmann::json{{"service", "x"}, {"is_graceful_restart_enabled", 0}});
    EXPECT_FALSE(h.is_graceful_restart_enabled());
    EXPECT_FALSE(h.restart_gracefully());
}

TEST(BaseAttributes, PretendFlagAnswersOneQuestion) {
    Base b(nlohmann::json{{"service", "x"}});
    EXPECT_FALSE(b._called_from_restart());
    Base::RestartContext in(b);
    EXPECT_TRUE(b._called_from_restart());
    b._pretend_not_called_from_restart(true);
    EXPECT_FALSE(b._called_from_restart());
    EXPECT_TRUE(b._called_from_restart());
}
