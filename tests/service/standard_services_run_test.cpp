// Whole runs of the program in a private NORVIK_ROOT for what the standard
// services need: unit names as service names, a configuration test that
// refuses a restart, the installed test that never stops a running daemon,
// and the journal asked for the system's unit name.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/test_support.hpp"

using namespace norvik::test;

namespace {

bool alive(pid_t pid) { return norvik::test::running(pid); }

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// The demo daemon, served under whatever service and init-script names a
// test gives it.
class Sandbox : public ::testing::Test {
protected:
    void SetUp() override {
        become_subreaper();
        write_demo_service(root(), pidfile(), "--events " + events());
        // Only what each test sets up makes the service "installed".
        ::unlink((root() + "/etc/servmon.d/nkdemo").c_str());
    }
    void TearDown() override {
        if (alive(pid())) ::kill(pid(), SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        reap_zombies();
    }
    std::string root() const { return dir.path(); }
    std::string pidfile() const { return dir / "var/run/nkdemo.pid"; }
    std::string events() const { return dir / "var/log/nkdemo.events"; }
    pid_t pid() const { return read_pid_file(pidfile()); }
    int count(const std::string& what) const {
        int n = 0;
        for (const auto& e : read_demo_events(events())) n += e.what == what;
        return n;
    }
    // A custom definition for `suffix` (Nkdemo, Httpd...) running the demo daemon.
    void define(const std::string& suffix, nlohmann::json attrs, const nlohmann::json& hooks = nullptr) {
        attrs["pidfile"] = "${NORVIK_ROOT}/var/run/nkdemo.pid";
        attrs["service_binary"] = demod_path();
        attrs["pid_exe"] = "norvik_demod";
        nlohmann::json def{{"base", "Base"}, {"attributes", attrs}};
        if (!hooks.is_null()) def["hooks"] = hooks;
        write_file(dir / ("var/norvik/custom/services/" + suffix + ".json"), def.dump());
    }
    // The daemon started outside the program; its pid.
    pid_t start_by_hand() {
        auto r = run(demod_path(), {demod_path(), "--daemon", "--pidfile", pidfile(), "--events", events()});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        for (int i = 0; i < 200 && !alive(pid()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return pid();
    }
    RunResult rs(const std::string& name, std::vector<std::string> args = {}) {
        std::string link = link_binary(dir / "bin", name);
        args.insert(args.begin(), link);
        auto r = run(link, args, {{"NORVIK_ROOT", root()}, {"NO_COLOR", "1"}}, 60);
        reap_zombies();
        return r;
    }

    TempDir dir{"stdsvc"};
};

}  // namespace

TEST_F(Sandbox, UnitNameActsOnThePanelServiceItsLockDisableFilesAndSuspension) {
    // httpd's own installed test says no here; its init script is enough.
    ::rename((dir / "etc/init.d/nkdemo").c_str(), (dir / "etc/init.d/apache2").c_str());
    define("Httpd", {{"service_override", "apache2"}});

    auto start = rs("restartsrv_apache2");
    ASSERT_EQ(start.exit_code, 0) << start.out << start.err;
    pid_t first = pid();
    ASSERT_TRUE(alive(first));
    auto restart = rs("restartsrv_apache2");
    ASSERT_EQ(restart.exit_code, 0) << restart.out << restart.err;
    EXPECT_NE(pid(), first);
    EXPECT_EQ(count("start"), 2);
    EXPECT_TRUE(exists(dir / "var/norvik/restartsrv/locks/httpd"));
    EXPECT_FALSE(exists(dir / "var/norvik/restartsrv/locks/apache2"));
    EXPECT_TRUE(exists(dir / "var/norvik/servmon/suspended/httpd"));
    EXPECT_FALSE(exists(dir / "var/norvik/servmon/suspended/apache2"));

    // The panel's name and the unit name report the same service.
    auto by_panel = rs("restartsrv_httpd", {"--status"});
    auto by_unit = rs("restartsrv_apache2", {"--status"});
    EXPECT_EQ(by_panel.exit_code, 0) << by_panel.err;
    EXPECT_EQ(by_unit.out, by_panel.out);

    // The panel's disable file stops it under the unit name too.
    write_file(dir / "etc/apachedisable", "");
    auto disabled = rs("restartsrv_apache2");
    EXPECT_EQ(disabled.exit_code, 255);
    EXPECT_TRUE(has(disabled.err, "\"httpd\" is disabled")) << disabled.err;
    EXPECT_FALSE(alive(pid()));
}

TEST_F(Sandbox, FailingConfigTestRefusesTheRestartAndShowsItsOutput) {
    write_file(dir / "etc/servmon.d/nkdemo", "");
    const std::string conf = dir / "etc/nkdemo.conf";
    define("Nkdemo", {}, {{"restart_check", {"/bin/cat", conf}}});
    ASSERT_EQ(rs("startnkdemo").exit_code, 0);
    pid_t before = pid();
    ASSERT_TRUE(alive(before));

    auto plain = rs("restartsrv_nkdemo");
    EXPECT_EQ(plain.exit_code, 255);
    EXPECT_TRUE(has(plain.err, "configuration test of the service \"nkdemo\" failed")) << plain.err;
    EXPECT_TRUE(has(plain.err, conf + ": No such file or directory")) << plain.err;  // the check's own words
    auto verbose = rs("restartsrv_nkdemo", {"--verbose"});
    EXPECT_EQ(verbose.exit_code, 255);
    EXPECT_TRUE(has(verbose.out + verbose.err, conf + ": No such file or directory")) << verbose.out;
    // Untouched: same process, never stopped.
    EXPECT_EQ(pid(), before);
    EXPECT_TRUE(alive(before));
    EXPECT_EQ(count("stop"), 0);
    EXPECT_EQ(count("start"), 1);

    // A check that cannot run refuses too, and says why.
    define("Nkdemo", {}, {{"restart_check", {dir / "nonexistent-check"}}});
    auto missing = rs("restartsrv_nkdemo");
    EXPECT_EQ(missing.exit_code, 255);
    EXPECT_TRUE(has(missing.err, dir / "nonexistent-check")) << missing.err;  // the reason names it
    EXPECT_EQ(pid(), before);

    // A check that passes lets the restart through.
    define("Nkdemo", {}, {{"restart_check", {"/bin/cat", conf}}});
    write_file(conf, "listen 1\n");
    auto ok = rs("restartsrv_nkdemo");
    EXPECT_EQ(ok.exit_code, 0) << ok.out << ok.err;
    EXPECT_NE(pid(), before);
    EXPECT_TRUE(alive(pid()));
}

TEST_F(Sandbox, NotInstalledNeverStopsARunningDaemonButADisableFileDoes) {
    define("Nkdemo", {});
    // Neither a monitor file nor an init script: only the running daemon.
    const std::string script = dir / "etc/init.d/nkdemo";
    ::chmod(script.c_str(), 0644);
    pid_t running = start_by_hand();
    ASSERT_TRUE(alive(running));

    auto refused = rs("restartsrv_nkdemo");
    EXPECT_EQ(refused.exit_code, 255);
    EXPECT_TRUE(has(refused.err, "not installed")) << refused.err;
    EXPECT_EQ(pid(), running);
    EXPECT_TRUE(alive(running));
    EXPECT_EQ(count("stop"), 0);

    // An executable init script makes it installed without a monitor file.
    ::chmod(script.c_str(), 0755);
    auto restarted = rs("restartsrv_nkdemo");
    EXPECT_EQ(restarted.exit_code, 0) << restarted.out << restarted.err;
    EXPECT_NE(pid(), running);
    EXPECT_TRUE(alive(pid()));

    write_file(dir / "etc/nkdemodisable", "");
    pid_t last = pid();
    auto disabled = rs("restartsrv_nkdemo");
    EXPECT_EQ(disabled.exit_code, 255);
    EXPECT_TRUE(has(disabled.err, "disabled")) << disabled.err;
    EXPECT_FALSE(alive(last));
}

TEST_F(Sandbox, DisabledProtocolLeavesTheSharedMailDaemonToTheOther) {
    ::rename((dir / "etc/init.d/nkdemo").c_str(), (dir / "etc/init.d/dovecot").c_str());
    define("Imap", {{"service_override", "dovecot"}, {"shares_daemon_with", {"pop"}}});
    define("Pop", {{"service_override", "dovecot"}, {"shares_daemon_with", {"imap"}}});
    write_file(dir / "etc/mailserver/protocols", "imap");
    ASSERT_EQ(rs("restartsrv_imap").exit_code, 0);
    pid_t serving = pid();
    ASSERT_TRUE(alive(serving));

    // POP3 is off, IMAP on: the daemon keeps serving IMAP.
    auto pop = rs("restartsrv_pop");
    EXPECT_EQ(pop.exit_code, 255);
    EXPECT_TRUE(has(pop.err, "\"pop\" is disabled")) << pop.err;
    EXPECT_EQ(pid(), serving);
    EXPECT_TRUE(alive(serving));
    EXPECT_EQ(count("stop"), 0);

    // Both off: nothing needs it any more.
    write_file(dir / "etc/mailserver/protocols", "lmtp");
    EXPECT_EQ(rs("restartsrv_pop").exit_code, 255);
    EXPECT_FALSE(alive(serving));
}

// crond is cron.service on Debian: the factory, the back end and the
// startup-log display all ask systemd for cron.
TEST_F(Sandbox, JournalIsAskedForTheSystemsUnitName) {
    write_file(dir / "etc/os-release", "ID=debian\nVERSION_ID=\"12\"\n");
    write_file(dir / "etc/servmon.d/crond", "");
    pid_t sleeper = start_by_hand();  // the unit's main process
    ASSERT_TRUE(alive(sleeper));
    const std::string fake = dir / "fake";
    const std::string unit =
        "Type=simple\nLoadState=loaded\nFragmentPath=/lib/systemd/system/cron.service\n"
        "Result=success\nExecMainCode=0\nExecMainStatus=0\nUnitFileState=enabled\nPIDFile=\n";
    write_file(fake + "/show-inactive", unit + "ActiveState=inactive\nSubState=dead\nMainPID=0\n");
    write_file(fake + "/show-active",
               unit + "ActiveState=active\nSubState=running\nMainPID=" + std::to_string(sleeper) + "\n");
    write_file(fake + "/status",
               "* cron.service - Regular background program processing daemon\n"
               "     Active: active (running)\n\n"
               "Dec 09 10:00:00 host cron[1]: JOURNAL-LINE-OF-CRON\n");
    write_file(dir / "usr/bin/systemctl",
               "#!/bin/sh\n"
               "D='" +
                   fake +
                   "'\n"
                   "echo \"$*\" >> \"$D/calls\"\n"
                   "c=; for a; do case $a in -*) ;; *) [ -z \"$c\" ] && c=$a; u=$a;; esac; done\n"
                   "u=${u%.service}\n"
                   "S=show-inactive; [ -f \"$D/started\" ] && S=show-active\n"
                   "case \"$c\" in\n"
                   "  show) [ \"$u\" = cron ] || { printf 'LoadState=not-found\\nActiveState=inactive\\n'; exit 0; }\n"
                   "    if [ \"$2\" = --property=MainPID ]; then grep '^MainPID=' \"$D/$S\"; exit 0; fi\n"
                   "    cat \"$D/$S\"; exit 0;;\n"
                   "  start) [ \"$u\" = cron ] && touch \"$D/started\" && exit 0; exit 5;;\n"
                   "  stop) [ \"$u\" = cron ] && rm -f \"$D/started\" && exit 0; exit 5;;\n"
                   "  is-active) [ \"$u\" = cron ] && [ -f \"$D/started\" ] && { echo active; exit 0; }; echo "
                   "inactive; exit 3;;\n"
                   "  status) [ \"$u\" = cron ] || { echo \"Unit $u.service could not be found.\" >&2; exit 4; }\n"
                   "    cat \"$D/status\"; exit 0;;\n"
                   "esac\n"
                   "exit 1\n",
               0755);

    write_file(fake + "/started", "");

    // No definition: the factory finds the unit through the system's map.
    auto status = rs("restartsrv_crond", {"--status"});
    EXPECT_EQ(status.exit_code, 0) << status.out << status.err;
    auto r = rs("restartsrv_crond", {"--verbose"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "JOURNAL-LINE-OF-CRON")) << r.out;
    std::string calls = read_file(fake + "/calls");
    EXPECT_TRUE(has(calls, "status --no-pager --full cron.service")) << calls;
    EXPECT_FALSE(has(calls, "status --no-pager --full crond")) << calls;
    EXPECT_TRUE(has(calls, "start cron.service")) << calls;
}

TEST_F(Sandbox, NamedIsDisabledByTheSharedDnsFiles) {
    ::rename((dir / "etc/init.d/nkdemo").c_str(), (dir / "etc/init.d/named").c_str());
    define("Named", {});
    // Disabling DNS under any of its names creates this file first.
    write_file(dir / "etc/binddisable", "");
    auto disabled = rs("restartsrv_named");
    EXPECT_EQ(disabled.exit_code, 255);
    EXPECT_TRUE(has(disabled.err, "\"named\" is disabled")) << disabled.err;
    EXPECT_FALSE(alive(pid()));
    EXPECT_EQ(count("start"), 0);

    // named's own second file counts as well as the shared ones.
    ::unlink((dir / "etc/binddisable").c_str());
    write_file(dir / "etc/named.disabled", "");
    auto own_file = rs("restartsrv_named");
    EXPECT_EQ(own_file.exit_code, 255);
    EXPECT_TRUE(has(own_file.err, "\"named\" is disabled")) << own_file.err;
    EXPECT_EQ(count("start"), 0);

    ::unlink((dir / "etc/named.disabled").c_str());
    auto start = rs("restartsrv_named");
    EXPECT_EQ(start.exit_code, 0) << start.out << start.err;
    EXPECT_TRUE(alive(pid()));
}

TEST_F(Sandbox, TheDatabaseAliasIsRefusedLikeTheServiceWhenItsRoleIsOff) {
    ::rename((dir / "etc/init.d/nkdemo").c_str(), (dir / "etc/init.d/mysql").c_str());
    define("Mysql", {});
    write_file(dir / "var/norvik/roles/disabled/MySQL", "");
    auto by_service = rs("restartsrv_mysql");
    auto by_alias = rs("restartsrv_mysqld");
    EXPECT_EQ(by_service.exit_code, 255);
    EXPECT_EQ(by_alias.exit_code, 255);
    const std::string refusal = "The service \"mysql\" is not allowed by the roles of this server.";
    EXPECT_TRUE(has(by_service.err, refusal)) << by_service.err;
    EXPECT_TRUE(has(by_alias.err, refusal)) << by_alias.err;
    EXPECT_FALSE(alive(pid()));
    EXPECT_EQ(count("start"), 0);
}

TEST_F(Sandbox, CaseVariantsAndExclusionsAreTheServiceOrNothing) {
    // Every spelling that reaches mysql's definition is mysql throughout.
    ::rename((dir / "etc/init.d/nkdemo").c_str(), (dir / "etc/init.d/mysql").c_str());
    define("Mysql", {});
    write_file(dir / "etc/mysqldisable", "");
    for (const char* name : {"MySQL", "MYSQL", "Mysqld", "MariaDB", "MARIADB"}) {
        auto r = rs(std::string("restartsrv_") + name);
        EXPECT_EQ(r.exit_code, 255) << name << "\n" << r.out << r.err;
        EXPECT_TRUE(has(r.err, "\"mysql\" is disabled")) << name << "\n" << r.err;
    }
    EXPECT_EQ(count("start"), 0);
    EXPECT_FALSE(alive(pid()));
    ::unlink((dir / "etc/mysqldisable").c_str());
    for (int i = 0; i < 2; ++i) {  // a start, then a restart that stops it first
        auto r = rs("restartsrv_MySQL");
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    EXPECT_EQ(dir_entries(dir / "var/norvik/servmon/suspended"), std::vector<std::string>{"mysql"})
        << "a case variant wrote suspension files of its own";
    EXPECT_EQ(rs("stopmysql").exit_code, 0);

    // On a DNS-only server FTP is excluded, whatever init script is there.
    ::rename((dir / "etc/init.d/mysql").c_str(), (dir / "etc/init.d/ftpd").c_str());
    define("Ftpd", {});
    write_file(dir / "var/norvik/dnsonly", "");
    const int starts = count("start");
    auto ftp = rs("restartsrv_ftpd");
    EXPECT_EQ(ftp.exit_code, 255) << ftp.out << ftp.err;
    EXPECT_EQ(count("start"), starts) << "an excluded service was started";
    ::unlink((dir / "var/norvik/dnsonly").c_str());

    // A status that cannot be checked: the stop trusts the PID file, and a
    // disable file is reported as such.
    ::rename((dir / "etc/init.d/ftpd").c_str(), (dir / "etc/init.d/nkdemo").c_str());
    write_file(dir / "etc/servmon.d/nkdemo", "");
    define("Nkdemo", {{"can_check_service_status", false}});
    ASSERT_EQ(rs("startnkdemo").exit_code, 0);
    ASSERT_TRUE(alive(pid()));
    const int stops = count("stop");
    auto stop = rs("stopnkdemo");
    EXPECT_EQ(stop.exit_code, 0) << stop.out << stop.err;
    EXPECT_EQ(count("stop"), stops + 1);
    EXPECT_FALSE(alive(pid()));
    ASSERT_EQ(rs("startnkdemo").exit_code, 0);
    write_file(dir / "etc/nkdemodisable", "");
    auto disabled = rs("restartsrv_nkdemo");
    EXPECT_EQ(disabled.exit_code, 255);
    EXPECT_TRUE(has(disabled.err, "\"nkdemo\" is disabled")) << disabled.err;

    // One argument longer than the matcher's stack allows.
    auto long_word = rs("restartsrv_nkdemo", {"--status", std::string(40000, 'x')});
    EXPECT_EQ(long_word.signal, 0) << "crashed on a long argument";
}
