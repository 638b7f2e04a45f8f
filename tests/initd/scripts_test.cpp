// init scripts, installed/disabled tests, check_service, doomedprocess.
#include <gtest/gtest.h>

#include "exception/exception.hpp"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.hpp"
#include "foundation/paths.hpp"
#include "initd/scripts.hpp"

using norvik::test::TempDir;
namespace initd = norvik::initd;

namespace {
class Initd : public ::testing::Test {
protected:
    void SetUp() override {
        norvik::foundation::set_root_for_testing(root_.path());  // no systemctl here: not a unit
        norvik::test::make_dirs(dir());
    }
    void TearDown() override { norvik::foundation::set_root_for_testing(""); }
    std::string dir() { return root_ / "etc/init.d"; }
    void script(const std::string& name, mode_t mode = 0755) {
        norvik::test::write_file(dir() + "/" + name, "#!/bin/sh\n", mode);
    }
    std::vector<std::string> dir_order() {
        std::vector<std::string> v;
        DIR* d = ::opendir(dir().c_str());
        while (auto* e = ::readdir(d)) v.push_back(e->d_name);
        ::closedir(d);
        return v;
    }
    TempDir root_{"initd"};
};
}  // namespace

TEST_F(Initd, ScriptPreferenceOrder) {
    // ".sshd" would be a partial match and "sshd.rpmnew" an exact one for its
    // own name: both are skipped, so the numeric match is all there is.
    script("S10sshd");
    script(".sshd");
    script("sshd.rpmnew");
    EXPECT_EQ(initd::getinitfile("sshd").value_or(""), dir() + "/S10sshd");
    EXPECT_FALSE(initd::getinitfile("sshd.rpmnew"));
    script("xsshd");
    script("ysshd");
    // Of two partial matches the first in directory order wins.
    std::string first_partial;
    for (const auto& n : dir_order())
        if (n == "xsshd" || n == "ysshd") {
            first_partial = n;
            break;
        }
    EXPECT_EQ(initd::getinitfile("sshd").value_or(""), dir() + "/" + first_partial);
    // An exact match, in any case, beats partial matches found earlier.
    script("SSHD");
    EXPECT_EQ(initd::getinitfile("sshd").value_or(""), dir() + "/SSHD");
}

TEST_F(Initd, OnlyExecutablePlainEntries) {
    script("named", 0644);
    norvik::test::make_dirs(dir() + "/nsd");
    script("named.rpmsave");
    EXPECT_FALSE(initd::getinitfile("named"));
    EXPECT_FALSE(initd::getinitfile("nsd"));
    script("50named");
    EXPECT_EQ(initd::getinitfile("named").value_or(""), dir() + "/50named");
    EXPECT_FALSE(initd::has_service_via_initd("named"));
    script("crond");
    EXPECT_TRUE(initd::has_service_via_initd("crond"));
    EXPECT_FALSE(initd::has_service_via_initd(""));
    EXPECT_THROW(initd::has_service_via_initd("../x"), norvik::PlainError);
    EXPECT_FALSE(initd::getinitfile("norvik"));
}

TEST_F(Initd, InstalledAndDisabled) {
    EXPECT_EQ(initd::_is_installed("named"), false);
    EXPECT_TRUE(initd::is_service_disabled("named"));
    script("bind9");
    EXPECT_EQ(initd::_is_installed("named"), true);
    EXPECT_FALSE(initd::is_service_disabled("exim"));
    norvik::test::write_file(root_ / "etc/eximdisable", "");
    EXPECT_TRUE(initd::is_service_disabled("exim"));
}

TEST_F(Initd, DoomedProcessNeverTouchesTheTestRunner) {
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    std::string me(self, static_cast<size_t>(n));
    // A rule naming this program would also end the copies of it that the
    // test driver runs in parallel: run the test from a copy with its own name.
    if (!std::getenv("NVK_DOOMED_INNER")) {
        std::string runner = root_ / ("nvkrunner" + std::to_string(::getpid()));
        norvik::test::write_file(runner, norvik::test::read_file(me), 0755);
        pid_t inner = ::fork();
        if (inner == 0) {
            ::setenv("NVK_DOOMED_INNER", "1", 1);
            ::execl(runner.c_str(), runner.c_str(), "--gtest_filter=Initd.DoomedProcessNeverTouchesTheTestRunner",
                    nullptr);
            ::_exit(127);
        }
        int st = 0;
        ASSERT_EQ(::waitpid(inner, &st, 0), inner);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "inner run status " << st;
        return;
    }
    norvik::test::become_subreaper();
    me = me.substr(me.rfind('/') + 1);
    // A left-over process with a name of its own.
    std::string doomed = "nvkdoom" + std::to_string(::getpid());
    std::string copy = root_ / doomed;
    norvik::test::write_file(copy, norvik::test::read_file("/bin/sleep"), 0755);
    pid_t child = ::fork();
    if (child == 0) {
        ::execl(copy.c_str(), doomed.c_str(), "30", nullptr);
        ::_exit(127);
    }
    ::usleep(200000);
    // Rules naming this very program and the left-over: only the left-over goes.
    EXPECT_EQ(initd::doomedprocess(std::vector<std::string>{me, doomed}, false, 5), 1);
    // The escalation may already have reaped the left-over (it is our child);
    // either way it must be gone, not merely dying.
    int st = 0;
    pid_t w = ::waitpid(child, &st, WNOHANG);
    if (w == child) {
        EXPECT_TRUE(WIFSIGNALED(st));
    } else {
        EXPECT_EQ(w, -1) << "the left-over is still running";
        EXPECT_EQ(errno, ECHILD);
        EXPECT_NE(::access(("/proc/" + std::to_string(child)).c_str(), F_OK), 0);
    }
    EXPECT_EQ(::kill(::getpid(), 0), 0);
}
