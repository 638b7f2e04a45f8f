// Per-family parts and variants of definitions, and the built-in definitions
// of the standard services checked against the format and this host's
// packages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "exception/exception.hpp"
#include "server/role_names.hpp"
#include "service/factory.hpp"
#include "service/definition.hpp"
#include "support/test_support.hpp"

using norvik::service::Definition;

namespace {

const char* const STANDARD[] = {"httpd", "exim", "imap", "pop",   "dovecot",  "named",
                                "mysql", "ftpd", "sshd", "crond", "rsyslogd", "spamd"};
// The daemons that have a configuration test of their own.
const char* const WITH_CONFIG_TEST[] = {"httpd", "exim", "imap", "pop", "dovecot", "named", "sshd", "rsyslogd"};

bool executable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// What /proc/<pid>/exe shows for a daemon started from `bin`: a script's
// interpreter, else the program itself.
std::string running_program(const std::string& bin) {
    std::ifstream f(bin, std::ios::binary);
    std::string head(256, '\0');
    f.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(f.gcount()));
    if (head.rfind("#!", 0) != 0) return bin;
    size_t end = head.find_first_of(" \t\n", 2);
    return head.substr(2, end == std::string::npos ? std::string::npos : end - 2);
}

Definition builtin(const std::string& service, const std::string& family) {
    std::string suffix = norvik::service::class_suffix_for_service(service);
    std::string file = std::string(NORVIK_SOURCE_DIR) + "/data/services/" + suffix + ".json";
    return Definition::parse(norvik::test::read_file(file), file, "C", family);
}

std::string text(const Definition& d, const std::string& attr) {
    return d.attributes.contains(attr) ? d.attributes[attr].get<std::string>() : "";
}

std::string parse_error(const std::string& json, const std::string& family = "debian") {
    try {
        Definition::parse(json, "x.json", "C", family);
    } catch (const norvik::PlainError& e) {
        return e.text();
    }
    return "";
}

}  // namespace

TEST(DefinitionFamilies, LayersApplyInOrderLaterWinning) {
    // /bin/sh stands for an installed program, /nonexistent/... for a missing one.
    const std::string def = R"({
      "attributes": {"pidfile": "/top.pid", "pid_exe": "top", "ports": [1]},
      "hooks": {"restart_check": ["/bin/top-check"]},
      "variants": [
        {"when_installed": "/nonexistent/prog", "attributes": {"pid_exe": "missing"}},
        {"when_installed": "/bin/sh", "attributes": {"pid_exe": "variant", "startup_timeout": 7}},
        {"when_installed": "/bin/sh", "attributes": {"pid_exe": "second-match"}}
      ],
      "family": {
        "debian": {"attributes": {"pidfile": "/deb.pid"},
                   "variants": [{"when_installed": "/bin/sh", "hooks": {"restart_check": ["/bin/deb-check"]}}]},
        "rhel": {"attributes": {"pidfile": "/rhel.pid", "ports": [2]}}
      }})";
    auto deb = Definition::parse(def, "x", "C", "debian");
    EXPECT_EQ(deb.attributes["pidfile"], "/deb.pid");
    EXPECT_EQ(deb.attributes["pid_exe"], "variant");  // the first installed variant only
    EXPECT_EQ(deb.attributes["startup_timeout"], 7);
    EXPECT_EQ(deb.attributes["ports"], nlohmann::json::array({1}));
    EXPECT_EQ(deb.hooks["restart_check"][0], "/bin/deb-check");
    EXPECT_EQ(deb.family, "debian");
    EXPECT_EQ(deb.variant, "/bin/sh");

    auto rhel = Definition::parse(def, "x", "C", "rhel");
    EXPECT_EQ(rhel.attributes["pidfile"], "/rhel.pid");
    EXPECT_EQ(rhel.attributes["ports"], nlohmann::json::array({2}));
    EXPECT_EQ(rhel.hooks["restart_check"][0], "/bin/top-check");

    auto none = Definition::parse(def, "x", "C", "");
    EXPECT_EQ(none.attributes["pidfile"], "/top.pid");
    EXPECT_EQ(none.family, "");
}

TEST(DefinitionFamilies, EveryPartIsCheckedWhicheverFamilyApplies) {
    // A broken part for the other family still makes the file invalid.
    EXPECT_NE(parse_error(R"({"family": {"rhel": {"attributes": {"ports": "80"}}}})").find("family \"rhel\""),
              std::string::npos);
    EXPECT_NE(parse_error(R"({"family": {"suse": {}}})").find("suse"), std::string::npos);
    EXPECT_NE(parse_error(R"({"family": {"debian": {"base": "Hot"}}})").find("base"), std::string::npos);
    EXPECT_NE(parse_error(R"({"family": {"debian": {"family": {}}}})").find("family"), std::string::npos);
    EXPECT_NE(parse_error(R"({"family": []})"), "");
    EXPECT_NE(parse_error(R"({"variants": [{"attributes": {}}]})").find("when_installed"), std::string::npos);
    EXPECT_NE(parse_error(R"({"variants": [{"when_installed": "proftpd"}]})").find("absolute"), std::string::npos);
    EXPECT_NE(parse_error(R"({"variants": [{"when_installed": "/x", "variants": []}]})").find("variants"),
              std::string::npos);
    EXPECT_NE(parse_error(R"({"variants": {"when_installed": "/x"}})"), "");
    EXPECT_NE(parse_error(R"({"variants": [{"when_installed": "/x", "hooks": {"restart_check": ["rel"]}}]})")
                  .find("variant 1"),
              std::string::npos);
    // The graceful switch needs a Hot base, wherever it is set.
    EXPECT_NE(parse_error(R"({"family": {"debian": {"attributes": {"is_graceful_restart_enabled": true}}}})"), "");
}

TEST(StandardDefinitions, LoadForBothFamiliesWithTheirKeyValues) {
    for (const char* svc : STANDARD) {
        for (const std::string family : {"debian", "rhel"}) {
            SCOPED_TRACE(std::string(svc) + " / " + family);
            Definition d;
            ASSERT_NO_THROW(d = builtin(svc, family));
            EXPECT_EQ(d.family, family);
            EXPECT_FALSE(text(d, "pid_exe").empty());
            EXPECT_TRUE(d.attributes.contains("support_reload"));
            // Every PID file lies below the sandbox root on a test system.
            std::string pf = text(d, "pidfile");
            if (!pf.empty()) {
                EXPECT_EQ(pf.rfind("/run/", 0), 0u) << pf;
            }
        }
    }
    for (const char* svc : WITH_CONFIG_TEST) {
        for (const std::string family : {"debian", "rhel"}) {
            EXPECT_TRUE(builtin(svc, family).has_hook("restart_check")) << svc << " / " << family;
        }
    }
    // Apache restarts in place on USR1.
    EXPECT_EQ(builtin("httpd", "debian").base, "Hot");
    EXPECT_EQ(text(builtin("httpd", "debian"), "service_override"), "apache2");
    EXPECT_EQ(text(builtin("httpd", "rhel"), "service_override"), "httpd");
    EXPECT_EQ(text(builtin("exim", "debian"), "processowner"), "Debian-exim");
}

// The Debian values against the packages installed on this host: the unit or
// init script exists, the configuration test and the binary are there, and
// pid_exe matches the binary the unit runs.
TEST(StandardDefinitions, DebianValuesMatchTheInstalledPackages) {
    if (!executable("/usr/bin/dpkg")) GTEST_SKIP() << "not a Debian host";
    int checked = 0;
    for (const char* svc : STANDARD) {
        SCOPED_TRACE(svc);
        Definition d = builtin(svc, "debian");
        std::string bin = text(d, "service_binary");
        if (bin.empty() || !executable(bin)) continue;  // not installed here
        std::string unit = text(d, "service_override");
        if (unit.empty()) unit = svc;
        EXPECT_TRUE(norvik::test::exists("/lib/systemd/system/" + unit + ".service") ||
                    norvik::test::exists("/etc/init.d/" + unit))
            << unit;
        if (d.has_hook("restart_check")) {
            EXPECT_TRUE(executable(d.hooks.at("restart_check")[0]));
        }
        char real[PATH_MAX];
        ASSERT_NE(::realpath(running_program(bin).c_str(), real), nullptr);
        EXPECT_TRUE(std::regex_search(std::string(real), std::regex(text(d, "pid_exe")))) << real;
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "none of the standard services is installed here";
}

TEST(StandardDefinitions, UnitNameAliasesReachTheirService) {
    using norvik::server::canonical_service;
    EXPECT_EQ(canonical_service("apache2"), "httpd");
    EXPECT_EQ(canonical_service("bind9"), "named");
    EXPECT_EQ(canonical_service("httpd"), "httpd");
    EXPECT_EQ(canonical_service("nkdemo"), "nkdemo");
    // Each alias leads to a built-in definition, and where that definition
    // names a unit of its own the alias is one of its units.
    for (const auto& a : norvik::server::UNIT_NAME_ALIASES) {
        SCOPED_TRACE(a.unit);
        std::string svc = canonical_service(a.unit);
        EXPECT_EQ(svc, a.service);
        EXPECT_NE(svc, a.unit);
        EXPECT_EQ(canonical_service(svc), svc);  // no chains
        // The second database server has no built-in definition.
        if (svc == norvik::server::POSTGRESQL) continue;
        ASSERT_NO_THROW(builtin(svc, "debian"));
    }
    EXPECT_EQ(text(builtin("sshd", "debian"), "service_override"), "ssh");
    EXPECT_EQ(text(builtin("crond", "debian"), "service_override"), "cron");
    EXPECT_EQ(text(builtin("rsyslogd", "debian"), "service_override"), "rsyslog");
    EXPECT_EQ(text(builtin("exim", "debian"), "service_override"), "exim4");
}
