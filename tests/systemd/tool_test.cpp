// The program itself against a real systemd: how many systemctl processes
// each operation costs (counted by a logging wrapper placed as systemctl),
// that a unit which fails at once ends the wait at once, and which units
// count as running.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "systemd/units.hpp"
#include "systemd/bus.hpp"
#include "foundation/paths.hpp"
#include "support/real_systemd.hpp"
#include "support/test_support.hpp"

namespace systemd = norvik::systemd;
using norvik::test::RunResult;
using norvik::test::TempDir;

namespace {

const char* FAILING = "[Service]\nType=simple\nExecStart=/bin/sh -c 'echo \"nkfail: fatal: bad line 3\" >&2; exit 3'\n";
// Fails before it reports ready, after its complaint reached the journal.
const char* FAILING_NOTIFY =
    "[Service]\nType=notify\nExecStart=/bin/sh -c 'echo \"nkfailready: fatal: no such user\" >&2; sleep 0.3; exit 1'\n";
const char* ONESHOT = "[Service]\nType=oneshot\nRemainAfterExit=yes\nExecStart=/bin/true\n";
const char* LOCAL = "[Service]\nType=simple\nExecStart=/bin/sleep infinity\n";
const char* LOCAL_DIR = "/usr/local/lib/systemd/system";
// A service its socket starts on demand, without requiring that socket. The
// socket is enabled, as installed ones are: systemd forgets a stopped unit
// nothing refers to, and with it whom it triggers.
const char* SOCKET = "[Socket]\nListenStream=/run/nksock.sock\n[Install]\nWantedBy=sockets.target\n";
const char* SOCKET_SERVICE = "[Service]\nType=simple\nExecStart=/bin/sleep infinity\n";
const char* SLOW =
    "[Service]\nType=simple\nExecStartPre=/bin/sh -c 'echo nkslow-still-waiting; exec /bin/sleep 400'\n"
    "ExecStart=/bin/sleep infinity\nTimeoutStartSec=infinity\nStandardOutput=journal\n";
// What systemd makes of an init script: active after the script exited,
// with nothing watching the daemon it left.
const char* GENERATED =
    "[Service]\nType=forking\nRemainAfterExit=yes\nGuessMainPID=no\nKillMode=process\n"
    "ExecStart=/bin/sh -c '/bin/sleep infinity & echo $$! > /run/nkgen.pid'\n";

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Inside the instance: a panel tree whose systemctl logs each call, then
// runs the real one.
class InnerTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (!norvik::test::inside_real_systemd()) GTEST_SKIP() << "runs inside the real systemd only";
        for (const char* d : {"usr/local/norvik/logs", "var/norvik/restartsrv/locks", "etc/servmon.d"})
            norvik::test::make_dirs(root_ / d);
        for (const char* s :
             {"rs-forking", "rs-simple", "nkfail", "nkfailready", "nkoneshot", "nklocal", "nksock", "nkslow", "nkgen"})
            norvik::test::write_file(root_ / ("etc/servmon.d/" + std::string(s)), "");
        ASSERT_EQ(::symlink("/usr/share/zoneinfo/Etc/UTC", (root_ / "etc/localtime").c_str()), 0);
        norvik::test::write_file(root_ / "usr/bin/systemctl",
                                 "#!/bin/sh\necho \"$*\" >> '" + log_ + "'\nexec /usr/bin/systemctl \"$@\"\n", 0755);
        norvik::test::write_file(root_ / "usr/bin/journalctl", "#!/bin/sh\nexec /usr/bin/journalctl \"$@\"\n", 0755);
    }

    RunResult tool(const std::string& service, const std::vector<std::string>& args) {
        ::unlink(log_.c_str());
        std::string link = norvik::test::link_binary(root_ / "bin", "restartsrv_" + service);
        std::vector<std::string> argv{link};
        argv.insert(argv.end(), args.begin(), args.end());
        return norvik::test::run(link, argv, {{"NORVIK_ROOT", root_.path()}}, 150);
    }

    // The verbs of the systemctl calls of the last run, in order.
    std::vector<std::string> verbs() const {
        std::vector<std::string> out;
        if (!norvik::test::exists(log_)) return out;
        for (const auto& line : split(norvik::test::read_file(log_))) {
            std::istringstream words(line);
            for (std::string w; words >> w;)
                if (w[0] != '-') {
                    out.push_back(w);
                    break;
                }
        }
        return out;
    }
    static std::vector<std::string> jobs(const std::vector<std::string>& v) {
        std::vector<std::string> out;
        for (const auto& w : v)
            if (w != "show") out.push_back(w);
        return out;
    }
    static long shows(const std::vector<std::string>& v) { return std::count(v.begin(), v.end(), "show"); }

    static std::string systemctl(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/systemctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return norvik::test::run("/usr/bin/systemctl", argv).out;
    }
    static std::string main_pid(const std::string& unit) {
        std::string out = systemctl({"show", "--property=MainPID", "--value", unit});
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

    TempDir root_{"sdtool"};
    std::string log_ = root_ / "systemctl.calls";
};

std::string all(const RunResult& r) { return r.out + r.err; }

}  // namespace

// The count per operation cannot creep back up. Where systemd's socket
// answers (our root links it), states are read from it and systemctl runs
// only the jobs; elsewhere one `show` for --status, one job plus at most two
// shows for start, stop and restart.
TEST_F(InnerTool, SystemctlRunsPerOperation) {
    for (const bool socket : {false, true}) {
        if (socket) {
            norvik::test::make_dirs(root_ / "run/systemd");
            ASSERT_EQ(::symlink("/run/systemd/private", (root_ / "run/systemd/private").c_str()), 0);
        }
        const long max_shows = socket ? 0 : 2;
        const std::vector<std::string> status_calls =
            socket ? std::vector<std::string>{} : std::vector<std::string>{"show"};
        for (const std::string unit : {"rs-forking", "rs-simple"}) {
            SCOPED_TRACE(unit + (socket ? " (socket)" : " (systemctl)"));
            systemctl({"stop", unit + ".service"});

            auto r = tool(unit, {"--start"});
            EXPECT_EQ(r.exit_code, 0) << all(r);
            auto v = verbs();
            EXPECT_EQ(jobs(v), std::vector<std::string>{"start"});
            EXPECT_LE(shows(v), max_shows);
            const std::string first = main_pid(unit);
            EXPECT_NE(first, "0");

            r = tool(unit, {"--status"});
            EXPECT_EQ(r.exit_code, 0) << all(r);
            EXPECT_NE(r.out.find(first), std::string::npos) << r.out;
            EXPECT_EQ(verbs(), status_calls);

            r = tool(unit, {"restart"});
            EXPECT_EQ(r.exit_code, 0) << all(r);
            v = verbs();
            EXPECT_EQ(jobs(v), (std::vector<std::string>{"stop", "start"}));
            EXPECT_LE(shows(v), max_shows);
            EXPECT_NE(main_pid(unit), first);
            EXPECT_NE(main_pid(unit), "0");

            r = tool(unit, {"--stop"});
            EXPECT_EQ(r.exit_code, 0) << all(r);
            v = verbs();
            EXPECT_EQ(jobs(v), std::vector<std::string>{"stop"});
            EXPECT_LE(shows(v), max_shows);
            EXPECT_EQ(main_pid(unit), "0");

            r = tool(unit, {"--status"});
            EXPECT_EQ(r.exit_code, 255) << all(r);
            EXPECT_EQ(verbs(), status_calls);
        }
    }
}

// What systemd's socket answers is what `systemctl show` prints, for units
// in every state, an unknown one, and names that need escaping.
TEST_F(InnerTool, SocketRecordsMatchSystemctlShow) {
    systemctl({"start", "rs-forking.service", "nkoneshot.service"});
    systemctl({"stop", "rs-simple.service"});
    systemctl({"start", "nkfail.service"});
    norvik::foundation::set_root_for_testing("");
    for (const std::string unit :
         {"rs-forking.service", "rs-simple.service", "nkoneshot.service", "nkfail.service", "nksock.service",
          "nklocal.service", "nosuch-unit.service", "nk@a-b.service", "exim4.service"}) {
        auto from_socket = systemd::show_over_bus(unit, systemd::requested_properties());
        ASSERT_TRUE(from_socket) << unit;
        std::vector<std::string> args{"show"};
        for (const auto& p : systemd::requested_properties()) args.push_back("--property=" + p);
        args.push_back(unit);
        EXPECT_EQ(*from_socket, systemd::parse_show_output(systemctl(args))) << unit;
        EXPECT_FALSE(from_socket->at("LoadState").empty()) << unit;
    }
    // Through our root, where it does not lead to systemd: no answer.
    norvik::foundation::set_root_for_testing(root_.path());
    EXPECT_FALSE(systemd::show_over_bus("rs-forking.service", systemd::requested_properties()));
    norvik::foundation::set_root_for_testing("");
    systemctl({"stop", "rs-forking.service", "nkoneshot.service"});
}

// A unit whose program exits at once: the wait for "up" ends as soon as
// systemd reports it failed, and the verbose report carries its journal,
// the program's own last line included.
TEST_F(InnerTool, FailingUnitEndsTheWaitAtOnceWithItsJournal) {
    systemctl({"reset-failed", "nkfail.service"});
    auto t0 = std::chrono::steady_clock::now();
    auto r = tool("nkfail", {"--start", "--verbose"});
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_LT(took, 15.0) << all(r);
    EXPECT_NE(all(r).find("Startup Log"), std::string::npos) << all(r);
    EXPECT_NE(all(r).find("Started nkfail.service"), std::string::npos) << all(r);
    EXPECT_NE(all(r).find("nkfail: fatal: bad line 3"), std::string::npos) << all(r);
    EXPECT_LT(verbs().size(), 12u);

    // A start job that fails is reported with the unit's journal too.
    r = tool("nkfailready", {"--start", "--verbose"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_NE(all(r).find("Starting nkfailready.service"), std::string::npos) << all(r);
    EXPECT_NE(all(r).find("nkfailready: fatal: no such user"), std::string::npos) << all(r);
}

// A stop lasts: the socket that would start the service again stops with it,
// in the same job. A restart leaves the socket alone.
TEST_F(InnerTool, StopTakesTheTriggeringSocketAlong) {
    // The reload makes sockets.target refer to it now, not at the next boot.
    systemctl({"enable", "nksock.socket"});
    systemctl({"daemon-reload"});
    systemctl({"start", "nksock.socket", "nksock.service"});
    auto state = [](const char* u) { return systemctl({"show", "--property=ActiveState", "--value", u}); };

    auto r = tool("nksock", {"restart"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(state("nksock.socket"), "active\n");
    EXPECT_EQ(state("nksock.service"), "active\n");

    r = tool("nksock", {"--stop"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(jobs(verbs()), std::vector<std::string>{"stop"});
    EXPECT_NE(norvik::test::read_file(log_).find("nksock.socket"), std::string::npos);
    for (const char* u : {"nksock.socket", "nksock.service"}) EXPECT_EQ(state(u), "inactive\n") << u;

    r = tool("nksock", {"--start", "--verbose"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(state("nksock.service"), "active\n");
    systemctl({"stop", "nksock.socket", "nksock.service"});
    systemctl({"disable", "nksock.socket"});
}

TEST_F(InnerTool, ActiveOneshotCountsAsRunning) {
    systemctl({"start", "nkoneshot.service"});
    auto r = tool("nkoneshot", {"--status"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_NE(r.out.find("oneshot"), std::string::npos) << all(r);
    systemctl({"stop", "nkoneshot.service"});
    r = tool("nkoneshot", {"--status"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
}

// A forking unit's PID file left behind names a live process: the unit is
// still down, because systemd says it is inactive.
TEST_F(InnerTool, StoppedUnitIsDownWhateverItsPidFileNames) {
    systemctl({"stop", "rs-forking.service"});
    pid_t sleeper = ::fork();
    if (sleeper == 0) {
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(sleeper, 0);
    norvik::test::write_file("/run/rs-forking.pid", std::to_string(sleeper) + "\n");
    auto r = tool("rs-forking", {"--status"});
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);
    ::unlink("/run/rs-forking.pid");
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_EQ(r.out.find(std::to_string(sleeper)), std::string::npos) << all(r);
}

// Units from the local folder and from generators (an init script turned
// into a unit) belong to the systemd back end.
TEST_F(InnerTool, LocalAndGeneratedUnitsAreFound) {
    systemctl({"start", "nklocal.service"});
    auto r = tool("nklocal", {"--status"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_NE(r.out.find("systemd"), std::string::npos) << all(r);
    systemctl({"stop", "nklocal.service"});

    norvik::foundation::set_root_for_testing(root_.path());
    auto local = systemd::has_service_via_systemd("nklocal");
    ASSERT_TRUE(local);
    EXPECT_EQ((*local)["FragmentPath"], std::string(LOCAL_DIR) + "/nklocal.service");
    // Debian's mail server has only an init script; systemd generates its unit.
    auto generated = systemd::get_service_info_via_systemd("exim4");
    if (generated["FragmentPath"].rfind("/run/systemd/generator", 0) == 0) {
        EXPECT_TRUE(systemd::has_service_via_systemd("exim4"));
    } else {
        std::cout << "exim4 has no generated unit here: " << generated["FragmentPath"] << "\n";
    }
    norvik::foundation::set_root_for_testing("");
}

// What a panel and the journal get under systemd: the result record of a
// start and of a failed start; the failure's hint and its XID in the
// log; and, run from a unit, each line at its own priority.
TEST_F(InnerTool, JsonRecordHintAndJournalPriorities) {
    systemctl({"stop", "rs-simple.service"});
    systemctl({"reset-failed", "nkfail.service"});
    // The last of the lines, each of which must be JSON.
    auto records = [](const RunResult& r) {
        nlohmann::json last;
        for (const auto& line : split(r.out)) last = nlohmann::json::parse(line);
        return last;
    };
    auto json_run = [&](const std::string& service, const std::vector<std::string>& args) {
        std::string link = norvik::test::link_binary(root_ / "bin", "restartsrv_" + service);
        std::vector<std::string> argv{link};
        argv.insert(argv.end(), args.begin(), args.end());
        return norvik::test::run(link, argv, {{"NORVIK_ROOT", root_.path()}, {"RESTARTSRV_OUTPUT", "json"}}, 150);
    };

    auto r = json_run("rs-simple", {"--start"});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    auto rec = records(r);
    EXPECT_EQ(rec["type"], "result") << rec;
    EXPECT_EQ(rec["service"], "rs-simple");
    EXPECT_EQ(rec["unit"], "rs-simple.service") << rec;
    EXPECT_TRUE(rec["init_script"].is_null()) << rec;
    EXPECT_EQ(rec["action"], "START") << rec;
    EXPECT_EQ(rec["result"], "success");
    EXPECT_EQ(rec["running"], true);
    EXPECT_EQ(std::to_string(rec["main_pid"].get<long>()), main_pid("rs-simple.service")) << rec;
    EXPECT_NE(rec["check_method"].get<std::string>().find("systemd"), std::string::npos) << rec;
    EXPECT_EQ(rec["exit_status"], 0);
    EXPECT_TRUE(rec["xid"].is_null()) << rec;

    systemctl({"stop", "rs-simple.service"});

    r = json_run("nkfail", {"--start"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    rec = records(r);
    EXPECT_EQ(rec["result"], "failure") << rec;
    EXPECT_EQ(rec["unit"], "nkfail.service") << rec;
    EXPECT_EQ(rec["exit_status"], 255);
    EXPECT_EQ(rec["error_class"].get<std::string>().rfind("Norvik::Exception::Services::", 0), 0u) << rec;
    const std::string xid = rec["xid"].get<std::string>();
    EXPECT_NE(norvik::test::read_file(root_ / "usr/local/norvik/logs/error_log").find("(XID " + xid + ")"),
              std::string::npos);

    systemctl({"reset-failed", "nkfail.service"});
    r = tool("nkfail", {"--start"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_NE(r.err.find("\nFor the details, run it again with --verbose, or see \"journalctl -u nkfail.service\".\n"),
              std::string::npos)
        << r.err;

    // From a unit whose standard error is the journal.
    systemctl({"reset-failed", "nkfail.service"});
    const std::string unit = "nkjournal-" + std::to_string(::getpid());
    const std::string link = norvik::test::link_binary(root_ / "bin", "restartsrv_nkfail");
    norvik::test::run(
        "/usr/bin/systemd-run",
        {"systemd-run", "--wait", "--quiet", "--unit=" + unit, "-p", "StandardOutput=journal", "-p",
         "StandardError=journal", "-E", "NORVIK_ROOT=" + root_.path(), "/bin/sh", "-c", link + " --start; exit 0"},
        {}, 150);
    std::map<std::string, std::string> priority_of;  // first words of a message -> its priority
    for (int tries = 0; tries < 50 && priority_of.size() < 2; ++tries) {
        priority_of.clear();
        auto j = norvik::test::run("/usr/bin/journalctl", {"journalctl", "-u", unit, "-o", "json", "--no-pager",
                                                           "--output-fields=MESSAGE,PRIORITY"});
        for (const auto& line : split(j.out)) {
            auto e = nlohmann::json::parse(line, nullptr, false);
            if (!e.is_object() || !e["MESSAGE"].is_string()) continue;
            const std::string msg = e["MESSAGE"];
            EXPECT_NE(msg.rfind("<", 0), 0u) << msg;
            if (msg.rfind("(XID ", 0) == 0) priority_of["error"] = e["PRIORITY"];
            if (msg.rfind("For the details", 0) == 0) priority_of["hint"] = e["PRIORITY"];
        }
        if (priority_of.size() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(priority_of["error"], "3");
    EXPECT_EQ(priority_of["hint"], "6");
}

// No job holds the service without bound or leaves it down: a start job
// past the service's limit is cancelled, a masked unit that runs is left
// running (a stop still works), and a unit still active after its daemon
// died is restarted.
TEST_F(InnerTool, JobsAreBoundedAndMaskedOrStaleActiveUnitsNeverLeaveTheServiceDown) {
    norvik::test::make_dirs(root_ / "var/norvik/custom/services");
    norvik::test::write_file(root_ / "var/norvik/custom/services/Nkslow.json",
                             R"({"base": "Base", "attributes": {"startup_timeout": 3}})");
    auto t0 = std::chrono::steady_clock::now();
    auto r = tool("nkslow", {"--start"});
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 15.0) << all(r);
    EXPECT_EQ(r.exit_code, 255) << all(r);
    for (const char* said : {"was cancelled; the unit is now", "nkslow-still-waiting"})
        EXPECT_NE(all(r).find(said), std::string::npos) << all(r);
    EXPECT_EQ(systemctl({"show", "--property=Job", "--value", "nkslow.service"}), "\n") << "the job still runs";

    systemctl({"start", "nklocal.service"});
    systemctl({"mask", "nklocal.service"});
    const std::string pid = main_pid("nklocal.service");
    r = tool("nklocal", {"--status"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_NE(all(r).find("masked and still running"), std::string::npos) << all(r);
    for (const std::string action : {"restart", "--start", "--reload", "hard"}) {
        r = tool("nklocal", {action});
        EXPECT_EQ(r.exit_code, 255) << action << "\n" << all(r);
        EXPECT_NE(all(r).find("is masked"), std::string::npos) << action << "\n" << all(r);
        EXPECT_EQ(main_pid("nklocal.service"), pid) << action;
    }
    EXPECT_EQ(tool("nklocal", {"--stop"}).exit_code, 0);
    r = tool("nklocal", {"--status"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_NE(all(r).find("masked and not running"), std::string::npos) << all(r);
    systemctl({"unmask", "nklocal.service"});

    systemctl({"start", "nkgen.service"});
    const pid_t first = norvik::test::read_pid_file("/run/nkgen.pid");
    systemctl({"kill", "-s", "KILL", "nkgen.service"});
    for (int i = 0; i < 100 && norvik::test::running(first); ++i) ::usleep(20000);
    ASSERT_EQ(systemctl({"show", "--property=ActiveState", "--value", "nkgen.service"}), "active\n");
    r = tool("nkgen", {"restart"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_TRUE(norvik::test::running(norvik::test::read_pid_file("/run/nkgen.pid"))) << "still down\n" << all(r);
    systemctl({"stop", "nkgen.service", "nkslow.service"});
}

TEST(RealSystemd, ToolRunsAgainstARealSystemd) {
    if (norvik::test::inside_real_systemd()) GTEST_SKIP() << "outer driver";
    norvik::test::RealSystemd rs("nvk-rst-" + std::to_string(::getpid()));
    NORVIK_BOOT_REAL_SYSTEMD_OR_SKIP(rs);
    rs.add_units({{"nkfail.service", FAILING},
                  {"nkfailready.service", FAILING_NOTIFY},
                  {"nkoneshot.service", ONESHOT},
                  {"nksock.socket", SOCKET},
                  {"nksock.service", SOCKET_SERVICE},
                  {"nkslow.service", SLOW},
                  {"nkgen.service", GENERATED}});
    norvik::test::write_file(rs.root() + LOCAL_DIR + "/nklocal.service", LOCAL);
    rs.exec({"systemctl", "daemon-reload"});
    std::string out;
    int code = rs.run_inner("InnerTool.*", &out);
    EXPECT_EQ(code, 0) << out;
    EXPECT_EQ(out.find("SKIPPED"), std::string::npos) << out;
    for (const char* t :
         {"SystemctlRunsPerOperation", "SocketRecordsMatchSystemctlShow", "FailingUnitEndsTheWaitAtOnceWithItsJournal",
          "ActiveOneshotCountsAsRunning", "StoppedUnitIsDownWhateverItsPidFileNames",
          "StopTakesTheTriggeringSocketAlong", "LocalAndGeneratedUnitsAreFound", "JsonRecordHintAndJournalPriorities",
          "JobsAreBoundedAndMaskedOrStaleActiveUnitsNeverLeaveTheServiceDown"})
        EXPECT_NE(out.find(std::string("[       OK ] InnerTool.") + t), std::string::npos) << t << "\n" << out;
}
