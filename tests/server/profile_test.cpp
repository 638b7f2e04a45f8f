// Product type, DNS-only test and detection of the current profile from the
// product-type file or from the role touch files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "server_fixture.hpp"
#include "exception/exception.hpp"
#include "server/profile_constants.hpp"

namespace {

namespace type = norvik::server;
namespace profile = norvik::server;
namespace c = norvik::server;
namespace ec = norvik::server;
namespace paths = norvik::paths;
using norvik::test::write_file;

class Profile : public norvik::test::ServerFixture {
protected:
    // Switches off every role the profile must not have.
    void shape_as(const std::string& p) {
        auto disabled = profile::get_disabled_roles_for_profile(p);
        ASSERT_TRUE(disabled);
        for (const auto& r : *disabled) disable_role(r);
    }
    bool any_role_cached() {
        for (const auto& r : profile::all_roles())
            if (ec::get(r)) return true;
        return false;
    }
};

TEST_F(Profile, TableShape) {
    const auto& m = profile::get_meta();
    EXPECT_EQ(m.size(), 4u);
    EXPECT_FALSE(m.count(c::DNSONLY));
    EXPECT_EQ(profile::all_roles().size(), 18u);
    EXPECT_EQ(m.at(c::STANDARD).enabled_roles, profile::all_roles());
    EXPECT_FALSE(profile::get_disabled_roles_for_profile(c::STANDARD));
    EXPECT_EQ(m.at(c::DNSNODE).enabled_roles.size(), 7u);
    EXPECT_EQ(m.at(c::MAILNODE).enabled_roles.size(), 10u);
    EXPECT_EQ(m.at(c::MAILNODE).optional_roles.size(), 4u);
    EXPECT_EQ(m.at(c::DATABASENODE).experimental, 1);
    for (const auto& [name, meta] : m)
        for (const auto& r : profile::ENABLED_IN_ALL_PROFILES())
            EXPECT_NE(std::find(meta.enabled_roles.begin(), meta.enabled_roles.end(), r), meta.enabled_roles.end())
                << name << " " << r;
    EXPECT_THROW(profile::get_disabled_roles_for_profile("NOSUCHNODE"), std::exception);
    EXPECT_THROW(profile::get_service_subdomains_for_profile("NOSUCHNODE"), std::exception);

    // Descriptions are merged on request and removed again by get_meta.
    EXPECT_TRUE(profile::get_meta_with_descriptions().at(c::MAILNODE).description);
    EXPECT_FALSE(profile::get_meta().at(c::MAILNODE).description);
}

TEST_F(Profile, PlainServerIsStandard) {
    EXPECT_EQ(type::is_dnsonly(), false);
    EXPECT_EQ(type::get_producttype(), c::STANDARD);
    EXPECT_EQ(profile::get_current_profile(), c::STANDARD);
    EXPECT_TRUE(profile::current_profile_matches(c::STANDARD));
    EXPECT_TRUE(profile::current_profile_matches(std::vector<std::string>{c::MAILNODE, c::STANDARD}));
    EXPECT_FALSE(profile::current_profile_matches(std::vector<std::string>{c::MAILNODE, c::DNSNODE}));
}

TEST_F(Profile, DetectedFromRoles) {
    for (const char* p : {c::DNSNODE, c::MAILNODE, c::DATABASENODE}) {
        SCOPED_TRACE(p);
        norvik::test::TempDir fresh{"profile"};
        paths::set_root_for_testing(fresh.path());
        reset();
        shape_as(p);
        EXPECT_EQ(type::get_producttype(), c::STANDARD);
        EXPECT_EQ(profile::get_current_profile(), p);
        EXPECT_TRUE(profile::is_valid_for_profile(std::string(p)));
        EXPECT_TRUE(profile::is_valid_for_profile(norvik::validate::anyallmatcher::MatchRule{{c::STANDARD, p}, "any"}));
        EXPECT_FALSE(
            profile::is_valid_for_profile(norvik::validate::anyallmatcher::MatchRule{{c::STANDARD, p}, "all"}));
    }
}

TEST_F(Profile, DisabledProfileSpecificRoleMeansNoMatch) {
    // Shaped as a DNS node but its own role is off as well.
    shape_as(c::DNSNODE);
    disable_role("DNS");
    EXPECT_EQ(profile::get_current_profile(), c::STANDARD);
}

TEST_F(Profile, ResultIsCachedUntilReset) {
    EXPECT_EQ(profile::get_current_profile(), c::STANDARD);
    shape_as(c::MAILNODE);
    EXPECT_EQ(profile::get_current_profile(), c::STANDARD);
    profile::_reset_cache();
    ec::_unset_all();
    EXPECT_EQ(profile::get_current_profile(), c::MAILNODE);
}

TEST_F(Profile, ProductTypeFileConsultsNoRole) {
    for (const char* p : {c::DNSNODE, c::MAILNODE, c::DATABASENODE}) {
        SCOPED_TRACE(p);
        reset();
        write_file(paths::product_type_file(), std::string(p) + "\n");
        EXPECT_EQ(type::get_producttype(), p);
        EXPECT_EQ(profile::get_current_profile(), p);
        EXPECT_FALSE(any_role_cached());
    }
    // Garbage in the file is not a profile: back to role detection.
    reset();
    write_file(paths::product_type_file(), "SUPERNODE\n");
    EXPECT_EQ(type::get_producttype(), c::STANDARD);
    EXPECT_EQ(profile::get_current_profile(), c::STANDARD);
}

TEST_F(Profile, NodeModeOverridesEverything) {
    write_file(paths::product_type_file(), "MAILNODE\n");
    type::set_NODE_MODE(std::string(c::DNSNODE));
    EXPECT_EQ(type::get_producttype(), c::DNSNODE);
    EXPECT_EQ(profile::get_current_profile(), c::DNSNODE);
}

TEST_F(Profile, DnsOnlyMarkerAndOverride) {
    write_file(paths::dnsonly_marker(), "");
    EXPECT_EQ(type::is_dnsonly(), true);
    EXPECT_EQ(type::get_producttype(), c::DNSONLY);
    EXPECT_EQ(profile::get_current_profile(), c::DNSONLY);
    type::set_DNSONLY_MODE(0);
    EXPECT_EQ(type::is_dnsonly(), false);
    type::set_DNSONLY_MODE(std::nullopt);
    ASSERT_EQ(unlink(paths::dnsonly_marker().c_str()), 0);
    EXPECT_EQ(type::is_dnsonly(), false);
    type::set_DNSONLY_MODE(1);
    EXPECT_EQ(type::is_dnsonly(), true);
}

TEST_F(Profile, DnsOnlyTestRaisesOnUnexpectedError) {
    // A regular file where a directory of the marker's path should be.
    norvik::test::TempDir fresh{"dnsonly"};
    paths::set_root_for_testing(fresh.path());
    const std::string marker = paths::dnsonly_marker();
    const std::string parent = marker.substr(0, marker.rfind('/'));
    write_file(parent, "not a directory");
    try {
        type::is_dnsonly();
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find(marker), std::string::npos) << e.what();
    }
}

}  // namespace
