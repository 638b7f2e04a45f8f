// Shared set-up of the server tests: a fresh root and every process cache of
// the profile and role modules forgotten.
#pragma once

#include <gtest/gtest.h>

#include "foundation/global_cache.hpp"
#include "foundation/paths.hpp"
#include "server/server_type.hpp"
#include "server/profile.hpp"
#include "server/role.hpp"
#include "server/role_cache.hpp"
#include "support/test_support.hpp"

namespace norvik::test {

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        foundation::set_root_for_testing(tmp.path());
        make_dirs(server::TouchFileRole::ROLES_TOUCHFILE_BASE_PATH());
        reset();
    }
    void TearDown() override {
        server::set_NODE_MODE(std::nullopt);
        server::set_DNSONLY_MODE(std::nullopt);
        reset();
    }
    static void reset() {
        server::reset_cache();
        server::_reset_cache();
        server::_unset_all();
        server::reset_available_cache();
        foundation::clearcache();
    }
    // Touch file of a role by short or full name.
    std::string touchfile(const std::string& role) {
        const auto& r = server::get_role(role);
        return dynamic_cast<const server::TouchFileRole&>(r).role_touchfile();
    }
    void disable_role(const std::string& role) { write_file(touchfile(role), ""); }

    TempDir tmp{"server"};
};

}  // namespace norvik::test
