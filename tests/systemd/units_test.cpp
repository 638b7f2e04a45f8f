// systemd queries: the parsers on outputs captured from a real systemd 252,
// the queries against a fake systemctl printing those outputs, and the same
// queries against a real systemd booted in private namespaces.
#include <gtest/gtest.h>

#include "exception/exception.hpp"

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/real_systemd.hpp"
#include "support/test_support.hpp"
#include "foundation/paths.hpp"
#include "initd/scripts.hpp"
#include "systemd/unit_facts.hpp"
#include "systemd/units.hpp"
#include "service/service.hpp"
#include "backend/systemd_backend.hpp"

namespace systemd = norvik::systemd;
using norvik::test::TempDir;

namespace {
// The check the program makes of a unit's service.
std::string check_unit(const std::string& service, const std::string& user = "") {
    norvik::proc::CheckServiceOptions o;
    o.service = service;
    o.user = user;
    o.unit = systemd::unit_facts(service);
    return norvik::proc::check_service(o);
}
}  // namespace

namespace {

std::string data_path(const std::string& name) {
    return std::string(NORVIK_SOURCE_DIR) + "/tests/systemd/data/" + name;
}

std::string data(const std::string& name) { return norvik::test::read_file(data_path(name)); }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

// A systemctl that prints captured outputs from <root>/fake-data.
void install_fake_systemctl(const TempDir& root) {
    norvik::test::make_dirs(root / "fake-data");
    for (const char* u : {"rs-simple", "rs-forking", "rs-oneshot", "rs-fail", "rs-killed", "rs-multi", "rs-nosuch"}) {
        norvik::test::write_file(root / ("fake-data/show-" + std::string(u) + ".txt"),
                                 data("show-" + std::string(u) + ".txt"));
        norvik::test::write_file(root / ("fake-data/status-" + std::string(u) + ".txt"),
                                 data("status-" + std::string(u) + ".txt"));
    }
    norvik::test::write_file(
        root / "usr/bin/systemctl",
        "#!/bin/sh\n"
        "D='" +
            root.path() +
            "/fake-data'\n"
            "for a; do u=$a; done\n"
            "u=${u%.service}\n"
            "case \"$1\" in\n"
            "  show)\n"
            "    [ -f \"$D/show-$u.txt\" ] || u=rs-nosuch\n"
            "    if [ \"$2\" = --property=MainPID ]; then grep '^MainPID=' \"$D/show-$u.txt\"; exit 0; fi\n"
            "    cat \"$D/show-$u.txt\"; exit 0;;\n"
            "  status)\n"
            "    [ -f \"$D/status-$u.txt\" ] || { echo \"Unit $u.service could not be found.\" >&2; exit 4; }\n"
            "    cat \"$D/status-$u.txt\"; exit 0;;\n"
            "esac\n"
            "exit 1\n",
        0755);
}

class FakeSystemctl : public ::testing::Test {
protected:
    void SetUp() override {
        install_fake_systemctl(root_);
        norvik::foundation::set_root_for_testing(root_.path());
        systemd::forget_service_info();
    }
    void TearDown() override {
        systemd::set_systemctl(nullptr);
        norvik::foundation::set_root_for_testing("");
    }
    TempDir root_{"sd"};
};

// ActiveState now, from a fresh `show`.
std::string active_state(const std::string& unit) { return systemd::refresh_service_info(unit)["ActiveState"]; }

// Notes each run's verb; answers with an active unit whose main pid changes.
struct CountingSystemctl : systemd::Systemctl {
    std::vector<std::string> verbs;
    systemd::SystemctlResult run(const systemd::SystemctlCall& call) override {
        verbs.push_back(call.args.front());
        return {0, false, false, "LoadState=loaded\nActiveState=active\nMainPID=" + std::to_string(100 + verbs.size()),
                ""};
    }
};

}  // namespace

TEST(SystemdNames, SuffixRule) {
    EXPECT_EQ(systemd::unit_name("exim"), "exim.service");
    EXPECT_EQ(systemd::unit_name("exim.service"), "exim.service");
    // Exactly the suffix is not a unit name yet.
    EXPECT_EQ(systemd::unit_name(".service"), ".service.service");
    EXPECT_EQ(systemd::unit_name("service"), "service.service");
}

TEST(SystemdParsers, ShowOutputOfRealUnits) {
    auto rec = systemd::parse_show_output(data("show-rs-forking.txt"));
    EXPECT_EQ(rec["Type"], "forking");
    EXPECT_EQ(rec["PIDFile"], "/run/rs-forking.pid");
    EXPECT_EQ(rec["LoadState"], "loaded");
    EXPECT_EQ(rec["FragmentPath"], "/etc/systemd/system/rs-forking.service");
    EXPECT_EQ(rec.size(), 11u);
    auto gone = systemd::parse_show_output(data("show-rs-nosuch.txt"));
    EXPECT_EQ(gone["LoadState"], "not-found");
    EXPECT_EQ(gone["FragmentPath"], "");
}

TEST(SystemdParsers, OddShowLines) {
    auto rec = systemd::parse_show_output(
        "Environment=A=1 B=2\nno equals here\n=value\nBad Name=x\nÄState=y\nSubState=running");
    EXPECT_EQ(rec["Environment"], "A");     // cut at the value's own "="
    EXPECT_EQ(rec["SubState"], "running");  // no final line end
    EXPECT_FALSE(rec.count("Bad Name"));
    EXPECT_FALSE(rec.count(""));
    EXPECT_EQ(rec.size(), 2u);
}

TEST(SystemdParsers, CodeAndSignal) {
    auto k = systemd::parse_code_and_signal(lines(data("status-rs-killed.txt")));
    EXPECT_EQ(k.active, "failed");
    EXPECT_EQ(k.code, "killed");
    EXPECT_EQ(k.signal, "SEGV");
    auto f = systemd::parse_code_and_signal(lines(data("status-rs-fail.txt")));
    EXPECT_EQ(f.code, "exited");
    EXPECT_EQ(f.signal, "");
    auto s = systemd::parse_code_and_signal(lines(data("status-rs-simple.txt")));
    EXPECT_EQ(s.active, "active");
    EXPECT_EQ(s.code, "");
    // Only the block before the first blank line counts.
    auto b = systemd::parse_code_and_signal(
        lines("   Active: active (running)\n\n   Main PID: 5 (code=killed, signal=KILL)\n"));
    EXPECT_EQ(b.code, "");
}

// With --full the display holds whole command lines; a matcher that
// recursed per character overflowed the stack on one (found by fuzzing).
TEST(SystemdParsers, LongStatusLinesAreScannedNotRecursed) {
    const std::string word(200000, 'a');
    auto c = systemd::parse_code_and_signal({"   Active: " + word, "   Main PID: 5 (code=" + word + ", signal=KILL)"});
    EXPECT_EQ(c.active, word);
    EXPECT_EQ(c.code, word);
    EXPECT_EQ(c.signal, "KILL");
}

TEST(SystemdParsers, MainPidDetailEdges) {
    // The detail runs from after the pid to ')'; an empty one keeps the last
    // blank or digit, and the first key with a value wins.
    EXPECT_EQ(systemd::parse_code_and_signal({"Main PID: 5 (code=, code=exited, signal=)"}).code, "exited");
    EXPECT_EQ(systemd::parse_code_and_signal({"Main PID: 5 (code=, code=exited, signal=)"}).signal, "");
    EXPECT_EQ(systemd::parse_code_and_signal({"Main PID: 5 )code=killed"}).code, "");
    EXPECT_EQ(systemd::parse_code_and_signal({"\tMain PID:\t51)code=x"}).code, "");
    EXPECT_EQ(systemd::parse_code_and_signal({"Main PID: x (code=killed)"}).code, "");
    EXPECT_EQ(systemd::parse_code_and_signal({"Active:\x0b failed"}).active, "");
    EXPECT_EQ(systemd::parse_code_and_signal({" \tActive:  failed (Result: signal)"}).active, "failed");
}

TEST_F(FakeSystemctl, UnitPresence) {
    auto rec = systemd::has_service_via_systemd("rs-simple");
    ASSERT_TRUE(rec);
    EXPECT_EQ((*rec)["Type"], "simple");
    EXPECT_FALSE(systemd::has_service_via_systemd("rs-nosuch"));
    EXPECT_FALSE(systemd::has_service_via_systemd(""));
    // Outside the four unit directories: not ours.
    norvik::test::write_file(
        root_ / "fake-data/show-elsewhere.txt",
        "LoadState=loaded\nActiveState=active\nFragmentPath=/home/u/.config/systemd/user/x.service\n");
    EXPECT_FALSE(systemd::has_service_via_systemd("elsewhere"));
    // No FragmentPath at all (a transient unit): present.
    norvik::test::write_file(root_ / "fake-data/show-transient.txt", "LoadState=loaded\nActiveState=active\n");
    EXPECT_TRUE(systemd::has_service_via_systemd("transient"));
    // Wherever systemd loads units from: generators' output and the local
    // folder included.
    for (const char* dir : {"/run/systemd/generator.late", "/run/systemd/generator", "/run/systemd/generator.early",
                            "/usr/local/lib/systemd/system", "/run/systemd/transient", "/lib/systemd/system"}) {
        const std::string name = "gen" + std::to_string(std::string(dir).size());
        norvik::test::write_file(root_ / ("fake-data/show-" + name + ".txt"),
                                 "LoadState=loaded\nActiveState=inactive\nFragmentPath=" + std::string(dir) + "/" +
                                     name + ".service\nSourcePath=/etc/init.d/" + name + "\n");
        EXPECT_TRUE(systemd::has_service_via_systemd(name)) << dir;
    }
    // A folder that only starts like one is not one.
    norvik::test::write_file(root_ / "fake-data/show-lookalike.txt",
                             "LoadState=loaded\nFragmentPath=/run/systemd/generator.later/lookalike.service\n");
    EXPECT_FALSE(systemd::has_service_via_systemd("lookalike"));
}

// The queries' fixed language and zone are systemctl's alone: daemons
// started later inherit the program's environment.
TEST_F(FakeSystemctl, QueriesLeaveTheProgramsLanguageAndZoneAlone) {
    ::setenv("LANG", "de_DE.UTF-8", 1);
    ::setenv("TZ", "Europe/Berlin", 1);
    norvik::test::write_file(root_ / "usr/bin/systemctl",
                             "#!/bin/sh\necho \"LoadState=loaded\"\necho \"ActiveState=$LANG/$TZ\"\n", 0755);
    EXPECT_EQ(active_state("x"), "C/UTC");
    EXPECT_STREQ(std::getenv("LANG"), "de_DE.UTF-8");
    EXPECT_STREQ(std::getenv("TZ"), "Europe/Berlin");
    ::unsetenv("LANG");
    ::unsetenv("TZ");
}

// One `show` per state change: a record is asked for once and asked for
// again only after a job or when a caller forgets it.
TEST_F(FakeSystemctl, OneShowPerStateChange) {
    CountingSystemctl counted;
    systemd::set_systemctl(&counted);
    auto rec = systemd::has_service_via_systemd("kept");
    ASSERT_TRUE(rec);
    pid_t first = systemd::get_pid_via_systemd("kept");
    EXPECT_EQ(systemd::get_pid_via_systemd("kept"), first);
    EXPECT_TRUE(systemd::get_service_info_via_systemd("kept.service").count("MainPID"));
    EXPECT_EQ(counted.verbs, (std::vector<std::string>{"show"}));
    norvik::backend::Systemd m("kept", *rec);
    norvik::service::Base srv(nlohmann::json{{"service", "kept"}});
    ASSERT_TRUE(m.start(srv));
    EXPECT_NE(systemd::get_pid_via_systemd("kept"), first);  // asked again after the job
    EXPECT_EQ(counted.verbs, (std::vector<std::string>{"show", "start", "show"}));
    systemd::forget_service_info();
    systemd::get_service_info_via_systemd("kept");
    systemd::get_service_info_via_systemd("other");
    EXPECT_EQ(counted.verbs.size(), 5u);
}

// A stopped unit is not running, whatever its PID file names; an active one
// without a main pid is found through its control group.
TEST_F(FakeSystemctl, PidsFollowTheUnitsStateNotItsPidFile) {
    const std::string pidfile = root_ / "run/stale.pid";
    norvik::test::write_file(pidfile, std::to_string(::getpid()) + "\n");
    systemd::UnitRecord stopped = {{"LoadState", "loaded"},
                                   {"ActiveState", "inactive"},
                                   {"Type", "forking"},
                                   {"PIDFile", pidfile},
                                   {"MainPID", "0"}};
    EXPECT_EQ(systemd::get_pid_via_systemd("stale", &stopped), 0);
    stopped["ActiveState"] = "failed";
    EXPECT_EQ(systemd::get_pid_via_systemd("stale", &stopped), 0);
    EXPECT_TRUE(systemd::get_pids_via_systemd("stale", &stopped).empty());

    // This test program's own group stands in for an active unit's.
    std::string group;
    for (const auto& l : lines(norvik::test::read_file("/proc/self/cgroup")))
        if (l.rfind("0::", 0) == 0) group = l.substr(3);
    if (group.empty()) GTEST_SKIP() << "no unified control-group tree here";
    systemd::UnitRecord active = {
        {"LoadState", "loaded"}, {"ActiveState", "active"}, {"MainPID", "0"}, {"ControlGroup", group}};
    auto pids = systemd::get_pids_via_systemd("grp", &active);
    EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end()) << group;
    EXPECT_GT(systemd::get_pid_via_systemd("grp", &active), 0);
    active["MainPID"] = "4242";
    EXPECT_EQ(systemd::get_pid_via_systemd("grp", &active), 4242);
    for (const char* bad : {"", "relative/x", "/../etc", "/a/../../b", "/a/.."})
        EXPECT_TRUE(systemd::read_control_group_pids(bad).empty()) << bad;
}

TEST_F(FakeSystemctl, MissingSystemctlMeansNoUnit) {
    ::unlink((root_ / "usr/bin/systemctl").c_str());
    EXPECT_TRUE(systemd::get_service_info_via_systemd("rs-simple").empty());
    EXPECT_FALSE(systemd::has_service_via_systemd("rs-simple"));
    EXPECT_EQ(systemd::get_pid_via_systemd("rs-simple"), 0);
    EXPECT_TRUE(systemd::get_pids_via_systemd("rs-multi").empty());
}

TEST_F(FakeSystemctl, PidsAndStates) {
    EXPECT_EQ(systemd::get_pid_via_systemd("rs-simple"), 179);
    auto k = systemd::get_code_and_signal_via_systemd("rs-killed");
    EXPECT_EQ(k.signal, "SEGV");
    EXPECT_EQ(active_state("rs-fail"), "failed");
}

// ---- the real systemd --------------------------------------------------

namespace {
const char* ONESHOT = "[Service]\nType=oneshot\nRemainAfterExit=yes\nExecStart=/bin/true\n";
const char* KILLED = "[Service]\nType=simple\nExecStart=/bin/sh -c 'sleep 0.2; kill -SEGV $$$$'\n";
const char* MULTI = "[Service]\nType=simple\nExecStart=/bin/sh -c '/bin/sleep 1000 & /bin/sleep 1001 & wait'\n";
// A start job that fails: systemctl itself reports it.
const char* BADSTART = "[Service]\nType=oneshot\nExecStart=/bin/sh -c 'exit 3'\n";

// Inside the instance: a sandbox root whose systemctl is the real one.
class Inner : public ::testing::Test {
protected:
    void SetUp() override {
        if (!norvik::test::inside_real_systemd()) GTEST_SKIP() << "runs inside the real systemd only";
        norvik::test::make_dirs(root_ / "usr/bin");
        ASSERT_EQ(::symlink("/usr/bin/systemctl", (root_ / "usr/bin/systemctl").c_str()), 0);
        norvik::foundation::set_root_for_testing(root_.path());
    }
    void TearDown() override { norvik::foundation::set_root_for_testing(""); }
    TempDir root_{"sdin"};
};

std::string comm_of(pid_t pid) {
    std::string c = norvik::test::read_file("/proc/" + std::to_string(pid) + "/comm");
    while (!c.empty() && c.back() == '\n') c.pop_back();
    return c;
}

// Gone or a zombie: systemd reaps its own children, give it a moment.
bool pid_gone(pid_t pid) {
    for (int i = 0; i < 40; ++i) {
        std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
        std::string all;
        if (!st || !std::getline(st, all)) return true;
        auto close = all.rfind(')');
        if (close != std::string::npos && close + 2 < all.size() && all[close + 2] == 'Z') return true;
        ::usleep(50000);
    }
    return false;
}

bool pid_alive(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0 && !comm_of(pid).empty(); }

// The back end built the way the service object builds it: unit name plus
// the record taken at that moment.
norvik::backend::Systemd backend(const std::string& unit) {
    auto rec = systemd::has_service_via_systemd(unit);
    return norvik::backend::Systemd(unit, rec ? *rec : norvik::backend::UnitRecord{});
}

// A start or stop job through the back end, as the program runs it.
bool job(const std::string& unit, bool start) {
    norvik::service::Base srv(nlohmann::json{{"service", unit}});
    auto m = backend(unit);
    return start ? m.start(srv) : m.stop(srv);
}

using InnerBackEnd = Inner;
}  // namespace

TEST_F(Inner, QueriesOfRealUnits) {
    ASSERT_TRUE(job("rs-simple", true));
    auto rec = systemd::has_service_via_systemd("rs-simple");
    ASSERT_TRUE(rec);
    EXPECT_EQ((*rec)["ActiveState"], "active");
    pid_t main = systemd::get_pid_via_systemd("rs-simple");
    ASSERT_GT(main, 0);
    EXPECT_EQ(comm_of(main), "sleep");
    EXPECT_FALSE(systemd::has_service_via_systemd("rs-nosuch"));

    job("rs-multi", true);
    // The shell starts its two sleepers after the start job has ended.
    auto pids = systemd::get_pids_via_systemd("rs-multi");
    for (int i = 0; i < 40 && pids.size() < 3; ++i, ::usleep(50000)) pids = systemd::get_pids_via_systemd("rs-multi");
    ASSERT_EQ(pids.size(), 3u);
    EXPECT_EQ(comm_of(pids[1]), "sleep");

    job("rs-forking", true);
    pid_t fpid = systemd::get_pid_via_systemd("rs-forking");
    EXPECT_GT(fpid, 0);
    EXPECT_EQ(norvik::test::read_file("/run/rs-forking.pid"), std::to_string(fpid) + "\n");

    job("rs-killed", true);
    ::usleep(800000);
    auto ks = systemd::get_code_and_signal_via_systemd("rs-killed");
    EXPECT_EQ(ks.active, "failed");
    EXPECT_EQ(ks.code, "killed");
    EXPECT_EQ(ks.signal, "SEGV");

    std::string report = check_unit("rs-simple", "root");
    EXPECT_NE(report.find(std::to_string(main)), std::string::npos) << report;
    EXPECT_NE(report.find("systemd"), std::string::npos) << report;
    job("rs-oneshot", true);
    EXPECT_NE(check_unit("rs-oneshot").find("oneshot"), std::string::npos);

    ASSERT_TRUE(job("rs-simple", false));
    EXPECT_EQ(active_state("rs-simple"), "inactive");
    EXPECT_EQ(check_unit("rs-simple"), "");
}

TEST_F(InnerBackEnd, StartStatusStopOfASimpleUnit) {
    using norvik::service::Base;
    job("rs-simple", false);
    // Record taken while stopped: status must follow the live state, not it.
    auto m = backend("rs-simple");
    ASSERT_EQ(m.service_via_systemd().at("ActiveState"), "inactive");
    Base srv(nlohmann::json{{"service", "rs-simple"}});
    EXPECT_EQ(m.status_helper(srv), "");

    ASSERT_TRUE(m.start(srv));
    EXPECT_EQ(active_state("rs-simple"), "active");
    pid_t main = systemd::get_pid_via_systemd("rs-simple");
    ASSERT_GT(main, 0);
    EXPECT_TRUE(pid_alive(main));
    EXPECT_EQ(comm_of(main), "sleep");
    std::string status = m.status_helper(srv);
    EXPECT_NE(status.find(std::to_string(main)), std::string::npos) << status;
    // Starting a running unit is no failure and keeps the process.
    EXPECT_TRUE(m.start(srv));
    EXPECT_EQ(systemd::get_pid_via_systemd("rs-simple"), main);

    ASSERT_TRUE(m.stop(srv));
    EXPECT_TRUE(pid_gone(main));
    EXPECT_EQ(active_state("rs-simple"), "inactive");
    EXPECT_EQ(m.status_helper(srv), "");
    // Reloading a unit that is not running is refused by systemd.
    EXPECT_FALSE(m.reload(srv));

    // Units systemd does not have: every job fails, none throws.
    auto none = backend("rs-nosuch");
    Base gone(nlohmann::json{{"service", "rs-nosuch"}});
    EXPECT_FALSE(none.start(gone));
    EXPECT_FALSE(none.stop(gone));
    EXPECT_FALSE(none.reload(gone));
    EXPECT_EQ(none.status_helper(gone), "");
}

TEST_F(InnerBackEnd, ForkingUnitReloadAndFailingUnits) {
    using norvik::service::Base;
    job("rs-forking", false);
    auto m = backend("rs-forking");
    ASSERT_EQ(m.service_via_systemd().at("Type"), "forking");
    Base srv(nlohmann::json{{"service", "rs-forking"}, {"pidfile", "/run/rs-forking.pid"}});
    ASSERT_TRUE(m.start(srv));
    pid_t pid = systemd::get_pid_via_systemd("rs-forking");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(pid_alive(pid));
    EXPECT_EQ(norvik::test::read_file("/run/rs-forking.pid"), std::to_string(pid) + "\n");
    // Forking units: the PID file decides.
    std::string status = m.status_helper(srv);
    EXPECT_NE(status.find(std::to_string(pid)), std::string::npos) << status;

    auto reloads = [] {
        return norvik::test::exists("/run/rs-forking.reloads")
                   ? lines(norvik::test::read_file("/run/rs-forking.reloads")).size()
                   : size_t{0};
    };
    size_t before = reloads();
    ASSERT_TRUE(m.reload(srv));
    for (int i = 0; i < 40 && reloads() == before; ++i) ::usleep(50000);
    EXPECT_EQ(reloads(), before + 1);  // the daemon got its HUP
    EXPECT_EQ(systemd::get_pid_via_systemd("rs-forking"), pid);
    EXPECT_TRUE(pid_alive(pid));

    ASSERT_TRUE(m.stop(srv));
    EXPECT_TRUE(pid_gone(pid));
    EXPECT_EQ(m.status_helper(srv), "");

    // A start job that fails is reported false.
    auto bad = backend("rs-badstart");
    Base badsrv(nlohmann::json{{"service", "rs-badstart"}});
    EXPECT_FALSE(bad.start(badsrv));
    EXPECT_EQ(active_state("rs-badstart"), "failed");
    EXPECT_EQ(bad.status_helper(badsrv), "");

    // A simple unit whose program exits 3 later: systemctl's start job is
    // done once the program runs, so start succeeds; the status then
    // shows it is not running.
    auto fail = backend("rs-fail");
    Base failsrv(nlohmann::json{{"service", "rs-fail"}});
    EXPECT_TRUE(fail.start(failsrv));
    for (int i = 0; i < 40 && active_state("rs-fail") != "failed"; ++i) ::usleep(50000);
    EXPECT_EQ(active_state("rs-fail"), "failed");
    EXPECT_EQ(fail.status_helper(failsrv), "");
    EXPECT_EQ(systemd::get_code_and_signal_via_systemd("rs-fail").code, "exited");
}

TEST(RealSystemd, QueriesRunAgainstARealSystemd) {
    if (norvik::test::inside_real_systemd()) GTEST_SKIP() << "outer driver";
    norvik::test::RealSystemd rs("nvk-rsq-" + std::to_string(::getpid()));
    NORVIK_BOOT_REAL_SYSTEMD_OR_SKIP(rs);
    rs.add_units({{"rs-oneshot.service", ONESHOT},
                  {"rs-killed.service", KILLED},
                  {"rs-multi.service", MULTI},
                  {"rs-badstart.service", BADSTART}});
    std::string out;
    int code = rs.run_inner("Inner.*:InnerBackEnd.*", &out);
    EXPECT_EQ(norvik::test::inner_run_problems(code, out,
                                               {"Inner.QueriesOfRealUnits", "InnerBackEnd.StartStatusStopOfASimpleUnit",
                                                "InnerBackEnd.ForkingUnitReloadAndFailingUnits"}),
              "")
        << out;
}
