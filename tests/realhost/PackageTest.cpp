// The Debian package: built from this build tree with cpack, installed with
// dpkg inside a real-systemd instance, and run from where it installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "RealHost.hpp"
#include "support/RealSystemd.hpp"

using namespace norvik::test;

namespace {
std::string built_deb(const std::string& dir) {
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().extension() == ".deb") return e.path().string();
    return "";
}
}  // namespace

TEST(RealHostPackage, InstalledPackageRunsTheStandardServices) {
    if (inside_real_systemd()) GTEST_SKIP() << "outer driver";
    RealSystemd rs("nvk-pkg-" + std::to_string(::getpid()));
    rs.copy_programs(true);
    NORVIK_BOOT_REAL_SYSTEMD_OR_SKIP(rs);

    TempDir out{"rhpkg"};
    RunResult pack = run("/usr/bin/cpack", {"cpack", "-G", "DEB", "-B", out.path(), "--config",
                                            std::string(NORVIK_BUILD_DIR) + "/CPackConfig.cmake"},
                         {}, 600);
    ASSERT_EQ(pack.exit_code, 0) << pack.out << pack.err;
    const std::string deb = built_deb(out.path());
    ASSERT_NE(deb, "") << pack.out;
    rs.copy_in(deb);

    int status = -1;
    std::string inst = rs.exec({"dpkg", "-i", deb}, &status, 120);
    ASSERT_EQ(status, 0) << inst;
    std::string files = rs.exec({"dpkg", "-L", "norvik-restartsrv"});
    const std::string scripts = "/usr/local/norvik/scripts/";
    for (const std::string& f :
         {scripts + "restartsrv_base", scripts + "restartsrv_httpd", scripts + "starthttpd", scripts + "stopexim",
          scripts + "restartsrv_rsyslogd", scripts + "make-restartsrv-links", std::string("/usr/local/share/man/man8/restartsrv_base.8"),
          std::string("/usr/local/share/bash-completion/completions/restartsrv_base")})
        EXPECT_NE(files.find(f + "\n"), std::string::npos) << f << " is not in the package:\n" << files;
    for (const auto& d : realhost::daemons())
        EXPECT_NE(files.find("/usr/local/norvik/scripts/restartsrv_" + d.panel + "\n"), std::string::npos) << d.panel;
    EXPECT_NE(files.find("/usr/local/norvik/etc/services/"), std::string::npos) << "no definitions:\n" << files;

    rs.exec({"systemctl", "start", "apache2"}, &status);
    ASSERT_EQ(status, 0) << "apache2 does not start in the instance";
    std::string pid = rs.exec({"systemctl", "show", "-p", "MainPID", "--value", "apache2"});
    while (!pid.empty() && pid.back() == '\n') pid.pop_back();
    std::string err;
    std::string shown = rs.exec({scripts + "restartsrv_httpd", "--status"}, &status, 60, &err);
    EXPECT_EQ(status, 0) << shown << err;
    EXPECT_NE(shown.find(pid), std::string::npos) << "the status does not name the main PID " << pid << ":\n" << shown;
    // Removal takes everything it installed.
    rs.exec({"dpkg", "-r", "norvik-restartsrv"}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(exists(rs.root() + scripts + "restartsrv_httpd"));
}
