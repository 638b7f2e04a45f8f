// Stops that must really stop, starts that must clean up after themselves,
// and init scripts that must not hold a run without bound. Each case drives
// the real binary in a private root with real daemons and real scripts.
#include <filesystem>

#include <gtest/gtest.h>

#include "rel_sandbox.hpp"

using namespace norvik::reltest;

namespace {

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Live processes whose command line contains `text`.
std::vector<pid_t> running_with(const std::string& text) {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc");
    while (auto* e = d ? ::readdir(d) : nullptr) {
        pid_t p = static_cast<pid_t>(std::atoi(e->d_name));
        if (p > 0 && p != ::getpid() && alive(p) && cmdline_of(p).find(text) != std::string::npos) out.push_back(p);
    }
    if (d) ::closedir(d);
    return out;
}

void end_all(const std::string& text) {
    for (pid_t p : running_with(text)) ::kill(p, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    norvik::test::reap_zombies();
}

// A plain init.d service of its own (no definition, no PID file the tool
// knows): its script keeps the worker's pid in a private state file and
// answers `status` the LSB way. `stop_body` replaces the stop action.
struct ScriptService {
    std::string name, script, worker, state, calls;
    ScriptService(const Sandbox& s, const std::string& svc, const std::string& stop_body = "",
                  const std::string& status_body = "") {
        name = svc;
        script = s.root() + "/etc/init.d/" + svc;
        worker = s.dir() + "/bin/" + svc + "-worker";
        state = s.root() + "/var/run/" + svc + ".state";
        calls = s.dir() + "/" + svc + ".calls";
        std::filesystem::copy_file("/bin/sleep", worker, std::filesystem::copy_options::overwrite_existing);
        ::chmod(worker.c_str(), 0755);
        const std::string alive_fn = "alive() { [ -s '" + state + "' ] || return 1; p=$(cat '" + state +
                                     "');"
                                     " st=$(sed -n 's/^State:[[:space:]]*\\(.\\).*/\\1/p' /proc/$p/status 2>/dev/null);"
                                     " [ -n \"$st\" ] && [ \"$st\" != Z ]; }\n";
        norvik::test::write_file(
            script,
            "#!/bin/sh\n" + alive_fn + "echo \"$1\" >> '" + calls + "'\n" +
                "case \"$1\" in\n"
                "start) alive && exit 0; setsid '" +
                worker + "' 300 </dev/null >/dev/null 2>&1 & echo $! > '" + state +
                "'; exit 0 ;;\n"
                "stop) " +
                (stop_body.empty() ? "alive && kill $p; rm -f '" + state + "'; exit 0" : stop_body) +
                " ;;\n"
                "status) " +
                (status_body.empty()
                     ? "alive && { echo " + svc + " is running; exit 0; }; echo " + svc + " is not running; exit 3"
                     : status_body) +
                " ;;\n"
                "*) exit 2 ;;\n"
                "esac\n",
            0755);
        norvik::test::write_file(s.root() + "/etc/servmon.d/" + svc, "");
    }
    std::string run_as(const Sandbox& s) const {
        return norvik::test::link_binary(s.dir() + "/bin", "restartsrv_" + name);
    }
};

RunResult run_link(const Sandbox& s, const std::string& link, std::vector<std::string> args, double timeout = 60) {
    args.insert(args.begin(), link);
    auto r = norvik::test::run(link, args, {{"NORVIK_ROOT", s.root()}}, timeout);
    norvik::test::reap_zombies();
    return r;
}

}  // namespace

TEST(StopStart, StopOfADaemonIgnoringTermWithoutPortsEndsItAndSaysSo) {
    // The daemon drops its PID file on TERM and lives on: only the pid taken
    // before the stop shows that it is still there.
    Sandbox s("--hang-on-term");
    auto r = s.rs({});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    const pid_t old = s.pid();
    ASSERT_TRUE(alive(old));

    r = s.rs({"--stop"}, false, 100);
    EXPECT_EQ(r.exit_code, 0) << all(r);
    int st = 0;
    for (int i = 0; i < 100 && ::waitpid(old, &st, WNOHANG) != old; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL) << "wait status " << st << "; " << all(r);
    EXPECT_FALSE(alive(old));
    EXPECT_NE(s.error_log().find("still running after its stop; ending"), std::string::npos) << s.error_log();
    norvik::test::reap_zombies();
}

TEST(StopStart, PlainInitdServiceIsJudgedByItsScriptsStatusThroughRestartAndStop) {
    Sandbox s;
    ScriptService svc(s, "lsbsvc");
    const std::string link = svc.run_as(s);

    auto r = run_link(s, link, {"--status"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    r = run_link(s, link, {});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    auto workers = running_with(svc.worker);
    ASSERT_EQ(workers.size(), 1u) << all(r);
    r = run_link(s, link, {"--status"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_NE(r.out.find("lsbsvc is running"), std::string::npos) << all(r);

    // A restart stops the running worker and starts one new one.
    r = run_link(s, link, {});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    auto after = running_with(svc.worker);
    ASSERT_EQ(after.size(), 1u) << all(r);
    EXPECT_NE(after[0], workers[0]);

    r = run_link(s, link, {"--stop"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_TRUE(running_with(svc.worker).empty());
    r = run_link(s, link, {"--status"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    end_all(svc.worker);
}

TEST(StopStart, StopThatLeavesAPlainInitdServiceRunningFailsWith255) {
    Sandbox s;
    // A stop that does nothing; the script's status keeps saying "running".
    ScriptService svc(s, "stuck", "exit 0");
    const std::string link = svc.run_as(s);
    ASSERT_EQ(run_link(s, link, {}).exit_code, 0);
    ASSERT_EQ(running_with(svc.worker).size(), 1u);

    auto r = run_link(s, link, {"--stop"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_NE(all(r).find("still running"), std::string::npos) << all(r);
    EXPECT_EQ(all(r).find("was stopped"), std::string::npos) << all(r);
    // A script whose status cannot tell (LSB 4) is not taken for running.
    ScriptService unknown(s, "unsure", "", "exit 4");
    r = run_link(s, unknown.run_as(s), {"--status"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    end_all(s.dir() + "/bin/");
}

TEST(StopStart, FailedStartEndsWhatItLeftBehindSoARetryNeverMakesTwoDaemons) {
    // The daemon double-forks away from the script and never writes the PID
    // file that the definition names.
    Sandbox s;
    ScriptService svc(s, "nkdemo");
    s.write_definition({{"startup_timeout", 1}});
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        auto r = s.rs({});
        EXPECT_EQ(r.exit_code, 255) << all(r);
        EXPECT_TRUE(running_with(svc.worker).empty()) << all(r);
    }
    // Each run did start one, and none is left.
    EXPECT_EQ(norvik::test::read_file(svc.calls), "start\nstart\n");
    end_all(svc.worker);
}

TEST(StopStart, HangingInitScriptIsEndedAtTheServicesTimeLimit) {
    Sandbox s;
    const std::string worker = s.dir() + "/bin/hang-worker";
    std::filesystem::copy_file("/bin/sleep", worker);
    ::chmod(worker.c_str(), 0755);
    // The start never returns: one child in the script's process group, one
    // in a process group of its own, and the script waiting on them.
    norvik::test::write_file(s.root() + "/etc/init.d/nkdemo",
                             "#!/bin/sh\n"
                             "[ \"$1\" = start ] || exit 3\n"
                             "'" +
                                 worker +
                                 "' 300 &\n"
                                 "setsid '" +
                                 worker +
                                 "' 301 &\n"
                                 "wait\n",
                             0755);
    s.write_definition({{"startup_timeout", 2}});
    auto t0 = Clock::now();
    auto r = s.rs({}, true, 60);
    const double took = since(t0);
    EXPECT_EQ(r.exit_code, 255) << all(r);
    // Two seconds of limit, the session's grace, and the left-overs' end.
    EXPECT_LT(took, 30.0) << all(r);
    EXPECT_NE(s.error_log().find("did not finish within 2 seconds"), std::string::npos) << s.error_log();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(running_with(worker).empty());
    EXPECT_TRUE(s.lock_free());
    end_all(worker);
}

TEST(StopStart, NoGracefulStopsAndStartsWhereGracefulSignalsInPlace) {
    Sandbox s;
    s.write_definition({}, {{"base", "Hot"}});
    ASSERT_EQ(s.rs({}).exit_code, 0);
    const pid_t first = s.pid();
    auto r = s.rs({"--no-graceful"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    const pid_t second = s.pid();
    EXPECT_NE(second, first) << all(r);
    EXPECT_FALSE(alive(first));
    auto graceful = [&] {
        auto ev = s.events();
        return std::count_if(ev.begin(), ev.end(), [](const Event& e) { return e.what == "graceful"; });
    };
    EXPECT_EQ(graceful(), 0);
    r = s.rs({});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(s.pid(), second);
    EXPECT_EQ(graceful(), 1);
}

TEST(StopStart, StopWithInitdRunsTheScriptOfAServiceSystemdAlsoKnows) {
    Sandbox s;
    auto r = s.rs({});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    const pid_t daemon = s.pid();
    ASSERT_TRUE(alive(daemon));
    // Now systemd knows nkdemo as a loaded, active unit.
    norvik::test::write_file(s.root() + "/usr/bin/systemctl",
                             "#!/bin/sh\n"
                             "case \"$*\" in *show*) printf 'LoadState=loaded\\nActiveState=active\\n' ;; esac\n"
                             "exit 0\n",
                             0755);
    const std::string script = s.root() + "/etc/init.d/nkdemo";
    ASSERT_EQ(::rename(script.c_str(), (script + ".real").c_str()), 0);
    const std::string calls = s.dir() + "/initd.calls";
    norvik::test::write_file(script, "#!/bin/sh\necho \"$1\" >> '" + calls + "'\nexec '" + script + ".real' \"$@\"\n",
                             0755);
    auto t0 = Clock::now();
    r = s.rs({"--stop", "--initd"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_FALSE(alive(daemon));
    // The script stopped it, not the escalation after a stop that did nothing.
    EXPECT_NE(norvik::test::read_file(calls).find("stop"), std::string::npos);
    EXPECT_LT(since(t0), 10.0);
}
