// A restart whose stop half has run always runs its start half, whatever the
// stop raised, and still reports the stop's failure. Driven through a back
// end that records what it was asked and fails where told to.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "exception/exception.hpp"
#include "foundation/paths.hpp"
#include "service/service.hpp"
#include "support/test_support.hpp"

namespace service = norvik::service;

namespace {

struct FakeState {
    bool up = true;
    std::vector<std::string> calls;
    bool stop_raises = false;
};

class FakeBackEnd : public norvik::backend::Manager {
public:
    explicit FakeBackEnd(FakeState& s) : s_(s) {}
    std::string kind() const override { return "Fake"; }
    std::string service() const override { return "halves"; }
    bool start(norvik::backend::ManagedService&) override {
        s_.calls.push_back("start");
        s_.up = true;
        return true;
    }
    bool stop(norvik::backend::ManagedService&) override {
        s_.calls.push_back("stop");
        s_.up = false;
        if (s_.stop_raises) throw norvik::PlainError("the stop broke after the service went down");
        return true;
    }
    bool reload(norvik::backend::ManagedService&) override { return true; }
    bool this_process_was_executed_by_systemd() const override { return false; }
    bool has_status_helper() const override { return true; }
    std::string status_helper(norvik::backend::ManagedService&) override { return s_.up ? "halves is running\n" : ""; }

private:
    FakeState& s_;
};

class Halves : public service::Base {
public:
    Halves(FakeState& s) : service::Base(nlohmann::json{{"service", "halves"}}), s_(s) {}
    std::unique_ptr<norvik::backend::Manager> _build_service_manager() override {
        return std::make_unique<FakeBackEnd>(s_);
    }

private:
    FakeState& s_;
};

class RestartHalves : public ::testing::Test {
protected:
    void SetUp() override { norvik::foundation::set_root_for_testing(root_.path()); }
    void TearDown() override { norvik::foundation::set_root_for_testing(""); }
    norvik::test::TempDir root_{"halves"};
};

}  // namespace

TEST_F(RestartHalves, StopThatRaisesIsFollowedByTheStartAndStillFailsTheRestart) {
    FakeState state;
    state.stop_raises = true;
    Halves srv(state);
    srv.is_enabled(1);
    try {
        srv.restart(false);
        ADD_FAILURE() << "the stop's failure was reported as success";
    } catch (const norvik::PlainError& e) {
        EXPECT_NE(e.text().find("the stop broke"), std::string::npos) << e.text();
    }
    EXPECT_EQ(state.calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_TRUE(state.up) << "the service was left down";
}

TEST_F(RestartHalves, MissingLogDirectoryNoLongerStopsTheStartHalf) {
    FakeState state;
    Halves srv(state);
    srv.is_enabled(1);
    ASSERT_FALSE(norvik::test::exists(norvik::foundation::logs_dir()));
    EXPECT_TRUE(srv.restart(false));
    EXPECT_EQ(state.calls, (std::vector<std::string>{"stop", "start"}));
    EXPECT_TRUE(state.up);
    struct stat st {};
    ASSERT_EQ(::stat(norvik::foundation::logs_dir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}
