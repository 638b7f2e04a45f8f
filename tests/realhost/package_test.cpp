// The Debian package: built from this build tree by scripts/make-deb,
// checked by lintian, installed with dpkg inside a real-systemd instance,
// and run from where it installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>

#include "real_host.hpp"
#include "support/real_systemd.hpp"

using namespace norvik::test;

namespace {
const std::string SCRIPTS = "/usr/local/norvik/scripts/";

class RealHostPackage : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rs_ = realhost::boot_copied("nvk-pkg-", &why_);
        if (!rs_) return;
        out_ = std::make_unique<TempDir>("rhpkg");
        const std::string make_deb = std::string(NORVIK_SOURCE_DIR) + "/scripts/make-deb";
        pack_ = run(make_deb, {make_deb, NORVIK_BUILD_DIR, out_->path()}, {}, 600);
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

// lintian finds nothing beyond the documented overrides (hardening included:
// its info tags are shown too); Depends and Installed-Size are what the
// program needs and what it unpacks to.
TEST_F(RealHostPackage, PassesLintianWithTrueDependsAndSize) {
    if (!exists("/usr/bin/lintian")) {
        if (real_systemd_required()) FAIL() << "lintian is not installed (scripts/install-deps installs it)";
        GTEST_SKIP() << "lintian is not installed (scripts/install-deps installs it)";
    }
    RunResult lint = run("/usr/bin/lintian", {"lintian", "--display-info", "--show-overrides", deb_}, {}, 600);
    std::istringstream lines(lint.out + lint.err);
    std::string line, overridden;
    for (int n = 0; std::getline(lines, line); ++n) {
        if (line.rfind("O: ", 0) == 0) overridden += line + "\n";
        EXPECT_FALSE(line.rfind("E: ", 0) == 0 || line.rfind("W: ", 0) == 0) << line;
        EXPECT_EQ(line.find("hardening-"), std::string::npos) << line;
    }
    EXPECT_NE(overridden.find("file-in-usr-local"), std::string::npos) << lint.out << lint.err;

    TempDir x("rhpkgx");
    ASSERT_EQ(run("/usr/bin/dpkg-deb", {"dpkg-deb", "-x", deb_, x.path()}).exit_code, 0);
    long kib = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(x.path())) {
        std::error_code ec;
        kib += e.is_regular_file(ec) && !e.is_symlink(ec) ? (long)(e.file_size() + 1023) / 1024 : 1;
    }
    auto field = [](const std::string& name) {
        RunResult r = run("/usr/bin/dpkg-deb", {"dpkg-deb", "-f", deb_, name});
        return r.out.substr(0, r.out.find('\n'));
    };
    long declared = std::stol("0" + field("Installed-Size"));
    EXPECT_GE(declared, kib * 9 / 10) << "unpacked: " << kib << " KiB";
    EXPECT_LE(declared, kib * 11 / 10 + 8) << "unpacked: " << kib << " KiB";
    std::string depends = field("Depends");
    EXPECT_EQ(depends.rfind("libc6 (>= ", 0), 0) << depends;
    EXPECT_EQ(depends.find("libstdc++"), std::string::npos) << depends;
}

TEST_F(RealHostPackage, HoldsTheProgramLinksDefinitionsManualAndCompletion) {
    std::string files = rs_->exec({"dpkg", "-L", "norvik-restartsrv"});
    for (const std::string& f : {SCRIPTS + "restartsrv_base", SCRIPTS + "make-restartsrv-links",
                                 std::string("/usr/share/man/man8/restartsrv_base.8.gz"),
                                 std::string("/usr/share/bash-completion/completions/restartsrv_base"),
                                 std::string("/usr/share/doc/norvik-restartsrv/copyright"),
                                 std::string("/usr/share/doc/norvik-restartsrv/changelog.gz"),
                                 std::string("/etc/logrotate.d/norvik-restartsrv")})
        EXPECT_NE(files.find(f + "\n"), std::string::npos) << f << " is not in the package:\n" << files;
    for (const auto& d : realhost::daemons())
        for (const std::string& link : {"restartsrv_" + d.panel, "start" + d.panel, "stop" + d.panel}) {
            std::error_code ec;
            EXPECT_EQ(std::filesystem::read_symlink(rs_->root() + SCRIPTS + link, ec).string(), "restartsrv_base")
                << link;
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

// Every link name completes in a bash with bash-completion, as typed first
// in a new shell (the loader finds the completion under the name), and has
// its manual page; so do the links make-restartsrv-links adds.
TEST_F(RealHostPackage, EveryLinkNameCompletesAndHasItsManualPage) {
    int status = -1;
    std::string made = rs_->exec({SCRIPTS + "make-restartsrv-links", "pkgtest"}, &status);
    ASSERT_EQ(status, 0) << made;
    const std::string script = R"sh(
        . /usr/share/bash-completion/bash_completion
        c() {
            local cmd=$1 reg f; shift
            _completion_loader "$cmd"
            reg=$(complete -p "$cmd" 2>/dev/null) || { echo "$cmd $*: (none)"; return; }
            f=${reg#*-F }; f=${f%% *}
            COMP_WORDS=("$cmd" "$@"); COMP_CWORD=$#; COMPREPLY=()
            "$f" "$cmd" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
            echo "$cmd $*: ${COMPREPLY[*]}"
        }
        for cmd in "restartsrv_httpd --sta" "stopexim --verb" "startmysql --che" "restartsrv_pkgtest --no-st"                    "restartsrv_base ht" "restartsrv_base pkgt" "restartsrv_httpd ha"; do
            ( c $cmd )
        done)sh";
    std::string err;
    std::string out = rs_->exec({"bash", "--norc", "--noprofile", "-c", script}, &status, 60, &err);
    EXPECT_EQ(status, 0) << err;
    for (const std::string want :
         {"restartsrv_httpd --sta: --status\n", "stopexim --verb: --verbose\n", "startmysql --che: --check\n",
          "restartsrv_pkgtest --no-st: --no-stop --no-status\n", "restartsrv_base ht: httpd\n",
          "restartsrv_base pkgt: pkgtest\n", "restartsrv_httpd ha: hard\n"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "in:\n" << out;
    for (const std::string page : {"restartsrv_httpd", "stopexim", "restartsrv_pkgtest"}) {
        std::string where = rs_->exec({"man", "-w", "8", page}, &status);
        EXPECT_EQ(status, 0) << page << ": " << where;
        EXPECT_NE(where.find("/usr/share/man/man8/"), std::string::npos) << where;
    }
}

// The snippet rotates the standard log in place: the old lines move to
// error_log.1, and error_log stays the same file (a daemon holding it keeps
// writing to the log), emptied.
TEST_F(RealHostPackage, LogrotateRotatesTheStandardLogInPlace) {
    const std::string log = rs_->root() + "/usr/local/norvik/logs/error_log";
    make_dirs(rs_->root() + "/usr/local/norvik/logs", 0700);
    write_file(log, "[2026-12-10 00:00:00 +0000] info [restartsrv_base] a line to rotate\n", 0600);
    struct stat before {};
    ASSERT_EQ(::stat(log.c_str(), &before), 0);
    int status = -1;
    std::string out =
        rs_->exec({"logrotate", "-f", "-s", "/run/pkg-logrotate.state", "/etc/logrotate.d/norvik-restartsrv"}, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(read_file(log + ".1").find("a line to rotate"), std::string::npos);
    struct stat after {};
    ASSERT_EQ(::stat(log.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, 0);
}

// Removal takes what the package installed and the links that
// make-restartsrv-links made and that now point nowhere; an administrator's
// own link stays.
TEST_F(RealHostPackage, RemovalTakesEverythingItInstalled) {
    int status = -1;
    rs_->exec({SCRIPTS + "make-restartsrv-links", "pkgtest2"}, &status);
    ASSERT_EQ(status, 0);
    std::error_code ec;
    std::filesystem::create_symlink("/bin/true", rs_->root() + SCRIPTS + "startmine", ec);
    ASSERT_FALSE(ec) << ec.message();
    std::string out = rs_->exec({"dpkg", "-r", "norvik-restartsrv"}, &status);
    EXPECT_EQ(status, 0) << out;
    for (const std::string& gone :
         {SCRIPTS + "restartsrv_httpd", SCRIPTS + "restartsrv_base", SCRIPTS + "restartsrv_pkgtest2",
          SCRIPTS + "stoppkgtest2", std::string("/usr/share/bash-completion/completions/restartsrv_pkgtest2"),
          std::string("/usr/share/man/man8/startpkgtest2.8.gz")})
        EXPECT_FALSE(std::filesystem::is_symlink(rs_->root() + gone) || exists(rs_->root() + gone)) << gone;
    EXPECT_TRUE(std::filesystem::is_symlink(rs_->root() + SCRIPTS + "startmine"));
}
