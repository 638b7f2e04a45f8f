// The Debian package: built from this build tree with cpack, installed with
// dpkg inside a real-systemd instance, and run from where it installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>

#include "RealHost.hpp"
#include "support/RealSystemd.hpp"

using namespace norvik::test;

namespace {
const std::string SCRIPTS = "/usr/local/norvik/scripts/";

class RealHostPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rs_ = realhost::boot_copied("nvk-pkg-", &why_);
        if (!rs_) return;
        out_ = std::make_unique<TempDir>("rhpkg");
        pack_ = run("/usr/bin/cpack", {"cpack", "-G", "DEB", "-B", out_->path(), "--config",
                                       std::string(NORVIK_BUILD_DIR) + "/CPackConfig.cmake"},
                    {}, 600);
        for (const auto& e : std::filesystem::directory_iterator(out_->path()))
            if (e.path().extension() == ".deb") deb_ = e.path().string();
        if (!deb_.empty()) rs_->copy_in(deb_);
        int status = -1;
        installed_ = rs_->exec({"dpkg", "-i", deb_}, &status, 120);
        install_status_ = status;
        rs_->exec({"systemctl", "start", "apache2"});
    }
    static void TearDownTestSuite() {
        rs_.reset();
        out_.reset();
    }
    void SetUp() override {
        NORVIK_SHARED_REAL_SYSTEMD_OR_SKIP(rs_, why_);
        ASSERT_EQ(pack_.exit_code, 0) << pack_.out << pack_.err;
        ASSERT_NE(deb_, "") << pack_.out;
        ASSERT_EQ(install_status_, 0) << installed_;
    }
    // `--status` through an installed program: the exit code, and whether it names apache2's main PID.
    static std::pair<int, std::string> status_of(const std::vector<std::string>& cmd) {
        std::string pid = rs_->exec({"systemctl", "show", "-p", "MainPID", "--value", "apache2"});
        while (!pid.empty() && pid.back() == '\n') pid.pop_back();
        int status = -1;
        std::string err;
        std::string shown = rs_->exec(cmd, &status, 60, &err);
        if (pid == "0" || shown.find(pid) == std::string::npos) shown += "\n(no main PID " + pid + " shown)";
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, shown + err};
    }
    static std::unique_ptr<RealSystemd> rs_;
    static std::unique_ptr<TempDir> out_;
    static RunResult pack_;
    static std::string why_, deb_, installed_;
    static int install_status_;
};
std::unique_ptr<RealSystemd> RealHostPackage::rs_;
std::unique_ptr<TempDir> RealHostPackage::out_;
RunResult RealHostPackage::pack_;
std::string RealHostPackage::why_, RealHostPackage::deb_, RealHostPackage::installed_;
int RealHostPackage::install_status_ = -1;
}  // namespace

TEST_F(RealHostPackage, HoldsTheProgramLinksDefinitionsManualAndCompletion) {
    std::string files = rs_->exec({"dpkg", "-L", "norvik-restartsrv"});
    for (const std::string& f :
         {SCRIPTS + "restartsrv_base", SCRIPTS + "make-restartsrv-links", std::string("/usr/local/share/man/man8/restartsrv_base.8"),
          std::string("/usr/local/share/bash-completion/completions/restartsrv_base")})
        EXPECT_NE(files.find(f + "\n"), std::string::npos) << f << " is not in the package:\n" << files;
    for (const auto& d : realhost::daemons())
        for (const std::string& link : {"restartsrv_" + d.panel, "start" + d.panel, "stop" + d.panel}) {
            std::error_code ec;
            EXPECT_EQ(std::filesystem::read_symlink(rs_->root() + SCRIPTS + link, ec).string(), "restartsrv_base") << link;
        }
    EXPECT_NE(files.find("/usr/local/norvik/etc/services/"), std::string::npos) << "no definitions:\n" << files;
    // The installed program runs and sees the unit.
    auto [code, shown] = status_of({SCRIPTS + "restartsrv_base", "apache2", "--status"});
    EXPECT_EQ(code, 0) << shown;
    EXPECT_EQ(shown.find("no main PID"), std::string::npos) << shown;
}

// httpd is the panel's name of apache2: the installed definition maps it.
TEST_F(RealHostPackage, HttpdLinkShowsTheWebServersStatus) {
    auto [code, shown] = status_of({SCRIPTS + "restartsrv_httpd", "--status"});
    EXPECT_EQ(code, 0) << shown;
    EXPECT_EQ(shown.find("no main PID"), std::string::npos) << shown;
}

TEST_F(RealHostPackage, RemovalTakesEverythingItInstalled) {
    int status = -1;
    std::string out = rs_->exec({"dpkg", "-r", "norvik-restartsrv"}, &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_FALSE(exists(rs_->root() + SCRIPTS + "restartsrv_httpd"));
    EXPECT_FALSE(exists(rs_->root() + SCRIPTS + "restartsrv_base"));
}
