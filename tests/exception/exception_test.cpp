#include "exception/exception.hpp"

#include <gtest/gtest.h>

namespace {
NORVIK_DECLARE_EXCEPTION(DisabledForTest)
}

TEST(Exception, ClassNameAndServiceFamily) {
    auto e = norvik::exception::create("Services::Disabled", {{"service", "exim"}});
    EXPECT_EQ(e->class_name(), "Norvik::Exception::Services::Disabled");
    EXPECT_TRUE(e->is_service_exception());
    EXPECT_FALSE(norvik::exception::create("IO::FileOpenError")->is_service_exception());
    EXPECT_FALSE(norvik::exception::create("ServicesX::Foo")->is_service_exception());
    EXPECT_TRUE(norvik::exception::create("Service::Foo")->is_service_exception());
}

TEST(Exception, TemplatesInterpolateAndIdsPrefix) {
    auto e = norvik::exception::create("Generic", "Cannot open “[_1]”: [_2]", {"/x", "No such file"});
    EXPECT_EQ(e->to_string_no_id(), "Cannot open “/x”: No such file");
    EXPECT_EQ(e->to_string(), "(XID " + e->id() + ") " + e->to_string_no_id());
    auto raw = norvik::exception::create_raw("Generic", "[_1] stays");
    EXPECT_EQ(raw->to_string_no_id(), "[_1] stays");
    EXPECT_EQ(norvik::exception::interpolate_variables("[asis,Norvik] [quant,_1,file] ~[x~]", {"3"}), "Norvik 3 [x]");
}

TEST(Exception, InvalidTypeCannotBeLoaded) {
    EXPECT_THROW(norvik::exception::create("../etc"), norvik::PlainError);
    EXPECT_THROW(norvik::exception::create(""), norvik::PlainError);
    EXPECT_THROW(norvik::exception::create("A::"), norvik::PlainError);
}

TEST(Exception, RegisteredClassIsThrownAsItsType) {
    norvik::exception::register_class<DisabledForTest>("Test::Disabled");
    try {
        norvik::exception::raise("Test::Disabled", {{"service", "x"}});
        FAIL() << "no throw";
    } catch (const DisabledForTest& e) {
        EXPECT_EQ(e.get_text("service"), "x");
    }
}

TEST(Exception, SuppressorDropsStackTrace) {
    EXPECT_FALSE(norvik::exception::create("Generic")->longmess().empty());
    auto guard = norvik::exception::get_stack_trace_suppressor();
    EXPECT_TRUE(norvik::exception::create("Generic")->longmess().empty());
}

TEST(Exception, GetStringOfAnyError) {
    EXPECT_EQ(norvik::exception::get_string(norvik::PlainError("boom")), "boom");
    auto ep = std::make_exception_ptr(std::runtime_error("rt"));
    EXPECT_EQ(norvik::exception::get_string(ep), "rt");
}
