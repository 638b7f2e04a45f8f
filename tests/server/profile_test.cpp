// Product type, DNS-only test and detection of the current profile from the
// product-type file or from the role touch files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "server_fixture.hpp"
#include "exception/exception.hpp"
#include "server/profile_constants.hpp"

namespace {

namespace server = norvik::server;
namespace foundation = norvik::foundation;
using norvik::test::write_file;

class Profile : public norvik::test::ServerFixture {
protected:
    // Switches off every role the profile must not have.
    void shape_as(const std::string& p) {
        auto disabled = server::get_disabled_roles_for_profile(p);
        ASSERT_TRUE(disabled);
        for (const auto& r : *disabled) disable_role(r);
    }
    bool any_role_cached() {
        for (const auto& r : server::all_roles())
            if (server::get(r)) return true;
        return false;
    }
};

TEST_F(Profile, TableShape) {
    const auto& m = server::get_meta();
    EXPECT_EQ(m.size(), 4u);
    EXPECT_FALSE(m.count(server::DNSONLY));
    EXPECT_EQ(server::all_roles().size(), 18u);
    EXPECT_EQ(m.at(server::STANDARD).enabled_roles, server::all_roles());
    EXPECT_FALSE(server::get_disabled_roles_for_profile(server::STANDARD));
    EXPECT_EQ(m.at(server::DNSNODE).enabled_roles.size(), 7u);
    EXPECT_EQ(m.at(server::MAILNODE).enabled_roles.size(), 10u);
    EXPECT_EQ(m.at(server::MAILNODE).optional_roles.size(), 4u);
    EXPECT_EQ(m.at(server::DATABASENODE).experimental, 1);
    for (const auto& [name, meta] : m)
        for (const auto& r : server::ENABLED_IN_ALL_PROFILES())
            EXPECT_NE(std::find(meta.enabled_roles.begin(), meta.enabled_roles.end(), r), meta.enabled_roles.end())
                << name << " " << r;
    EXPECT_THROW(server::get_disabled_roles_for_profile("NOSUCHNODE"), std::exception);
    EXPECT_THROW(server::get_service_subdomains_for_profile("NOSUCHNODE"), std::exception);

    // Descriptions are merged on request and removed again by get_meta.
    EXPECT_TRUE(server::get_meta_with_descriptions().at(server::MAILNODE).description);
    EXPECT_FALSE(server::get_meta().at(server::MAILNODE).description);
}

TEST_F(Profile, PlainServerIsStandard) {
    EXPECT_EQ(server::is_dnsonly(), false);
    EXPECT_EQ(server::get_producttype(), server::STANDARD);
    EXPECT_EQ(server::get_current_profile(), server::STANDARD);
    EXPECT_TRUE(server::current_profile_matches(server::STANDARD));
    EXPECT_TRUE(server::current_profile_matches(std::vector<std::string>{server::MAILNODE, server::STANDARD}));
    EXPECT_FALSE(server::current_profile_matches(std::vector<std::string>{server::MAILNODE, server::DNSNODE}));
}

TEST_F(Profile, DetectedFromRoles) {
    for (const char* p : {server::DNSNODE, server::MAILNODE, server::DATABASENODE}) {
        SCOPED_TRACE(p);
        norvik::test::TempDir fresh{"profile"};
        foundation::set_root_for_testing(fresh.path());
        reset();
        shape_as(p);
        EXPECT_EQ(server::get_producttype(), server::STANDARD);
        EXPECT_EQ(server::get_current_profile(), p);
        EXPECT_TRUE(server::is_valid_for_profile(std::string(p)));
        EXPECT_TRUE(server::is_valid_for_profile(norvik::foundation::MatchRule{{server::STANDARD, p}, "any"}));
        EXPECT_FALSE(server::is_valid_for_profile(norvik::foundation::MatchRule{{server::STANDARD, p}, "all"}));
    }
}

TEST_F(Profile, DisabledProfileSpecificRoleMeansNoMatch) {
    // Shaped as a DNS node but its own role is off as well.
    shape_as(server::DNSNODE);
    disable_role("DNS");
    EXPECT_EQ(server::get_current_profile(), server::STANDARD);
}

TEST_F(Profile, ResultIsCachedUntilReset) {
    EXPECT_EQ(server::get_current_profile(), server::STANDARD);
    shape_as(server::MAILNODE);
    EXPECT_EQ(server::get_current_profile(), server::STANDARD);
    server::_reset_cache();
    server::_unset_all();
    EXPECT_EQ(server::get_current_profile(), server::MAILNODE);
}

TEST_F(Profile, ProductTypeFileConsultsNoRole) {
    for (const char* p : {server::DNSNODE, server::MAILNODE, server::DATABASENODE}) {
        SCOPED_TRACE(p);
        reset();
        write_file(foundation::product_type_file(), std::string(p) + "\n");
        EXPECT_EQ(server::get_producttype(), p);
        EXPECT_EQ(server::get_current_profile(), p);
        EXPECT_FALSE(any_role_cached());
    }
    // Garbage in the file is not a profile: back to role detection.
    reset();
    write_file(foundation::product_type_file(), "SUPERNODE\n");
    EXPECT_EQ(server::get_producttype(), server::STANDARD);
    EXPECT_EQ(server::get_current_profile(), server::STANDARD);
}

TEST_F(Profile, NodeModeOverridesEverything) {
    write_file(foundation::product_type_file(), "MAILNODE\n");
    server::set_NODE_MODE(std::string(server::DNSNODE));
    EXPECT_EQ(server::get_producttype(), server::DNSNODE);
    EXPECT_EQ(server::get_current_profile(), server::DNSNODE);
}

TEST_F(Profile, DnsOnlyMarkerAndOverride) {
    write_file(foundation::dnsonly_marker(), "");
    EXPECT_EQ(server::is_dnsonly(), true);
    EXPECT_EQ(server::get_producttype(), server::DNSONLY);
    EXPECT_EQ(server::get_current_profile(), server::DNSONLY);
    server::set_DNSONLY_MODE(0);
    EXPECT_EQ(server::is_dnsonly(), false);
    server::set_DNSONLY_MODE(std::nullopt);
    ASSERT_EQ(unlink(foundation::dnsonly_marker().c_str()), 0);
    EXPECT_EQ(server::is_dnsonly(), false);
    server::set_DNSONLY_MODE(1);
    EXPECT_EQ(server::is_dnsonly(), true);
}

TEST_F(Profile, DnsOnlyTestRaisesOnUnexpectedError) {
    // A regular file where a directory of the marker's path should be.
    norvik::test::TempDir fresh{"dnsonly"};
    foundation::set_root_for_testing(fresh.path());
    const std::string marker = foundation::dnsonly_marker();
    const std::string parent = marker.substr(0, marker.rfind('/'));
    write_file(parent, "not a directory");
    try {
        server::is_dnsonly();
        FAIL() << "no error";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find(marker), std::string::npos) << e.what();
    }
}

}  // namespace
