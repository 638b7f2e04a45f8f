// The entry's special exits and reports, driven through the real binary
// under a private root: the systemd early exit (run as a child of process 1
// of a private PID namespace), --absent-ok, the verbose success texts and
// custom actions from a service definition.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "support/test_support.hpp"

using namespace norvik::test;
using json = nlohmann::json;

extern char** environ;

namespace {

int next_port() {
    static int n = 0;
    return 20000 + (static_cast<int>(::getpid()) * 7 + (n++) * 3) % 9000;
}

// Exit codes of the namespace runner that mean "cannot be arranged here".
constexpr int kNoNamespace = 120, kNoProc = 121;

// Runs prog as a child of process 1 of a new PID namespace with its own
// /proc. Returns its exit code (128 + signal when killed); stdout and
// stderr go to the given files. Ending process 1 ends everything left in
// the namespace, so nothing outlives the call.
int run_under_pid1(const std::string& prog, const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& env, const std::string& out, const std::string& err) {
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        if (!env.count(kv.substr(0, kv.find('=')))) envs.push_back(kv);
    }
    for (const auto& [k, v] : env) envs.push_back(k + "=" + v);
    std::vector<char*> cargv, cenv;
    for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (auto& e : envs) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    pid_t outer = ::fork();
    if (outer == 0) {
        if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) ::_exit(kNoNamespace);
        pid_t init = ::fork();
        if (init == 0) {
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
                ::_exit(kNoProc);
            pid_t kid = ::fork();
            if (kid == 0) {
                int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                int n = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                ::dup2(n, 0);
                ::dup2(o, 1);
                ::dup2(e, 2);
                ::execve(prog.c_str(), cargv.data(), cenv.data());
                ::_exit(127);
            }
            int st = 0;
            for (;;) {
                int s = 0;
                pid_t w = ::wait(&s);
                if (w == kid) {
                    st = s;
                    break;
                }
                if (w < 0 && errno != EINTR) ::_exit(122);
            }
            ::_exit(WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st));
        }
        int st = 0;
        while (::waitpid(init, &st, 0) < 0 && errno == EINTR) {}
        ::_exit(WIFEXITED(st) ? WEXITSTATUS(st) : 123);
    }
    int st = 0;
    while (::waitpid(outer, &st, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A private root with a fake systemctl whose "status" prints the text in
// <root>/status.txt; every other request fails, as for an unknown unit.
struct SystemdRoot {
    TempDir dir{"entry-sd"};
    SystemdRoot() {
        make_dirs(dir / "usr/local/norvik/logs");
        write_file(dir / "usr/bin/systemctl",
                   "#!/bin/sh\n"
                   "echo \"$*\" >> '" +
                       (dir / "calls") +
                       "'\n"
                       "if [ \"$1\" = status ]; then cat '" +
                       (dir / "status.txt") +
                       "'; exit 0; fi\n"
                       "exit 1\n",
                   0755);
    }
    void main_process(const std::string& active, const std::string& code, const std::string& sig) {
        write_file(dir / "status.txt",
                   "* nkdemo.service - demo\n"
                   "     Loaded: loaded (/etc/systemd/system/nkdemo.service; enabled)\n"
                   "     Active: " +
                       active +
                       " since Tue 2026-12-08 23:01:15 UTC; 1s ago\n"
                       "   Main PID: 243 (code=" +
                       code + ", signal=" + sig +
                       ")\n"
                       "        CPU: 4ms\n");
    }
    struct Result {
        int code;
        std::string out, err;
    };
    Result as_child_of_pid1(const std::string& name, const std::vector<std::string>& args) {
        std::string link = link_binary(dir / "bin", name);
        std::vector<std::string> av{link};
        av.insert(av.end(), args.begin(), args.end());
        int code = run_under_pid1(link, av, {{"NORVIK_ROOT", dir.path()}, {"NO_COLOR", "1"}}, dir / "out", dir / "err");
        return {code, read_file(dir / "out"), read_file(dir / "err")};
    }
    Result as_child_of_test(const std::string& name, const std::vector<std::string>& args) {
        std::string link = link_binary(dir / "bin", name);
        std::vector<std::string> av{link};
        av.insert(av.end(), args.begin(), args.end());
        auto r = run(link, av, {{"NORVIK_ROOT", dir.path()}, {"NO_COLOR", "1"}}, 30);
        return {r.exit_code, r.out, r.err};
    }
    bool lock_made() const { return exists(dir / "var/norvik/restartsrv/locks/nkdemo"); }
};

}  // namespace

TEST(EntrySystemdEarlyExit, StopOfAUnitEndedByTermOrKillGivesZero) {
    SystemdRoot r;
    r.main_process("deactivating", "killed", "TERM");
    auto probe = r.as_child_of_pid1("restartsrv_nkdemo", {"--systemd-service=nkdemo.service", "--stop"});
    if (probe.code == kNoNamespace || probe.code == kNoProc) GTEST_SKIP() << "no private PID namespace here";
    EXPECT_EQ(probe.code, 0) << probe.err;
    EXPECT_NE(probe.err.find("SIGTERM"), std::string::npos) << probe.err;
    EXPECT_NE(probe.err.find("nkdemo.service"), std::string::npos) << probe.err;
    // Nothing was built: no restart lock, and no invocation line (parent 1).
    EXPECT_FALSE(r.lock_made());
    EXPECT_FALSE(exists(r.dir / "usr/local/norvik/logs/error_log"));
    EXPECT_NE(read_file(r.dir / "calls").find("status"), std::string::npos);
    EXPECT_NE(read_file(r.dir / "calls").find("nkdemo.service"), std::string::npos);

    r.main_process("deactivating", "killed", "KILL");
    auto kill = r.as_child_of_pid1("restartsrv_nkdemo", {"--stop", "--systemd-service=nkdemo"});
    EXPECT_EQ(kill.code, 0) << kill.err;
    EXPECT_NE(kill.err.find("SIGKILL"), std::string::npos) << kill.err;

    // The stop may come from the program name alone.
    auto by_name = r.as_child_of_pid1("stopnkdemo", {"--systemd-service=nkdemo"});
    EXPECT_EQ(by_name.code, 0) << by_name.err;
    EXPECT_FALSE(r.lock_made());
}

TEST(EntrySystemdEarlyExit, AnyMissingConditionMeansTheNormalRun) {
    SystemdRoot r;
    r.main_process("deactivating", "killed", "TERM");
    auto probe = r.as_child_of_pid1("restartsrv_nkdemo", {"--systemd-service=nkdemo", "--stop"});
    if (probe.code == kNoNamespace || probe.code == kNoProc) GTEST_SKIP() << "no private PID namespace here";
    ASSERT_EQ(probe.code, 0);
    // The normal run of this unknown service fails with 255 and says so.
    auto normal = [](const SystemdRoot::Result& res, const std::string& what) {
        EXPECT_EQ(res.code, 255) << what << ": " << res.err;
        EXPECT_EQ(res.err.find("SIGTERM"), std::string::npos) << what << ": " << res.err;
        EXPECT_EQ(res.err.find("SIGSEGV"), std::string::npos) << what << ": " << res.err;
    };
    normal(r.as_child_of_pid1("restartsrv_nkdemo", {"--systemd-service=nkdemo"}), "no --stop");
    normal(r.as_child_of_pid1("restartsrv_nkdemo", {"--systemd-service=", "--stop"}), "empty unit");
    normal(r.as_child_of_pid1("restartsrv_nkdemo", {"--stop"}), "no unit");
    normal(r.as_child_of_test("restartsrv_nkdemo", {"--systemd-service=nkdemo", "--stop"}), "parent not 1");
    r.main_process("deactivating", "killed", "SEGV");
    normal(r.as_child_of_pid1("restartsrv_nkdemo", {"--systemd-service=nkdemo", "--stop"}), "other signal");
    r.main_process("failed", "killed", "TERM");
    normal(r.as_child_of_pid1("restartsrv_nkdemo", {"--systemd-service=nkdemo", "--stop"}), "other state");
    r.main_process("deactivating", "exited", "TERM");
    normal(r.as_child_of_pid1("restartsrv_nkdemo", {"--systemd-service=nkdemo", "--stop"}), "other code");
}

namespace {

// The demo service under a private root, defined by a custom definition
// whose attributes and actions each test adds to.
class DemoService : public ::testing::Test {
protected:
    void SetUp() override {
        become_subreaper();
        write_demo_service(dir.path(), pidfile(), "--events " + events() + " --port " + std::to_string(next_port()));
        def = {{"base", "Base"},
               {"attributes",
                {{"pidfile", "${NORVIK_ROOT}/var/run/nkdemo.pid"},
                 {"service_binary", demod_path()},
                 {"pid_exe", "norvik_demod"},
                 {"support_reload", true},
                 {"startup_timeout", 10}}}};
    }
    void TearDown() override {
        pid_t pid = read_pid_file(pidfile());
        if (pid > 0) ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        reap_zombies();
    }
    void save_definition() { write_file(dir / "var/norvik/custom/services/Nkdemo.json", def.dump()); }
    RunResult rs(const std::string& name, const std::vector<std::string>& args,
                 std::map<std::string, std::string> env = {{"NO_COLOR", "1"}}) {
        save_definition();
        std::string link = link_binary(dir / "bin", name);
        std::vector<std::string> av{link};
        av.insert(av.end(), args.begin(), args.end());
        env["NORVIK_ROOT"] = dir.path();
        auto r = run(link, av, env, 60);
        reap_zombies();
        return r;
    }
    // The init script notes each call in the file returned.
    std::string record_init_calls() {
        const std::string calls = dir / "var/log/nkdemo.calls";
        std::string script = read_file(dir / "etc/init.d/nkdemo");
        script.insert(script.find('\n') + 1, "echo \"$*\" >> '" + calls + "'\n");
        write_file(dir / "etc/init.d/nkdemo", script, 0755);
        save_definition();
        return calls;
    }
    std::string pidfile() const { return dir / "var/run/nkdemo.pid"; }
    std::string events() const { return dir / "var/log/nkdemo.events"; }
    bool running() const {
        pid_t pid = read_pid_file(pidfile());
        return pid > 0 && ::kill(pid, 0) == 0;
    }
    static size_t count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    }

    TempDir dir{"entry-demo"};
    json def;
};

}  // namespace

TEST_F(DemoService, VerboseRunsEndWithTheirSuccessText) {
    auto start = rs("startnkdemo", {"--verbose"});
    ASSERT_EQ(start.exit_code, 0) << start.out << start.err;
    ASSERT_TRUE(running());
    EXPECT_EQ(count(start.out, "The service nkdemo was started."), 1u) << start.out;

    auto restart = rs("restartsrv_nkdemo", {"--verbose"});
    ASSERT_EQ(restart.exit_code, 0) << restart.out << restart.err;
    EXPECT_TRUE(running());
    EXPECT_EQ(count(restart.out, "The service nkdemo was restarted."), 1u) << restart.out;
    EXPECT_EQ(count(restart.out, "The service nkdemo was started."), 0u) << restart.out;

    auto reload = rs("restartsrv_nkdemo", {"--reload", "--verbose"});
    ASSERT_EQ(reload.exit_code, 0) << reload.out << reload.err;
    EXPECT_EQ(count(reload.out, "The service nkdemo was reloaded."), 1u) << reload.out;

    // A status run reports no success text, verbose or not.
    auto status = rs("restartsrv_nkdemo", {"--status", "--verbose"});
    EXPECT_EQ(status.exit_code, 0) << status.out << status.err;
    EXPECT_EQ(count(status.out, "The service nkdemo was"), 0u) << status.out;

    auto stop = rs("stopnkdemo", {"--verbose"});
    ASSERT_EQ(stop.exit_code, 0) << stop.out << stop.err;
    EXPECT_FALSE(running());
    EXPECT_EQ(count(stop.out, "The service nkdemo was stopped."), 1u) << stop.out;

    // A restart of a stopped service records a start, and says so.
    auto from_stopped = rs("restartsrv_nkdemo", {"--verbose"});
    ASSERT_EQ(from_stopped.exit_code, 0) << from_stopped.out << from_stopped.err;
    EXPECT_TRUE(running());
    EXPECT_EQ(count(from_stopped.out, "The service nkdemo was started."), 1u) << from_stopped.out;
    EXPECT_EQ(count(from_stopped.out, "The service nkdemo was restarted."), 0u) << from_stopped.out;
    ASSERT_EQ(rs("stopnkdemo", {}).exit_code, 0);

    // Without --verbose the same actions print no success text.
    auto quiet = rs("startnkdemo", {});
    ASSERT_EQ(quiet.exit_code, 0) << quiet.out << quiet.err;
    EXPECT_EQ(count(quiet.out + quiet.err, "The service nkdemo was"), 0u) << quiet.out;
}

TEST_F(DemoService, AbsentOkTurnsNotConfiguredIntoSuccess) {
    def["attributes"]["is_configured"] = false;
    def["attributes"]["not_configured_reason"] = "no zones are set up";
    auto plain = rs("restartsrv_nkdemo", {});
    EXPECT_EQ(plain.exit_code, 255) << plain.out << plain.err;
    EXPECT_NE(plain.err.find("nkdemo"), std::string::npos) << plain.err;
    auto ok = rs("restartsrv_nkdemo", {"--absent-ok"});
    EXPECT_EQ(ok.exit_code, 0) << ok.out << ok.err;
    // The error text still reaches standard error, once.
    EXPECT_NE(ok.err.find("nkdemo"), std::string::npos) << ok.err;
    EXPECT_EQ(count(ok.err, "\n"), 1u) << ok.err;
    EXPECT_FALSE(running());
    // Only the exact word counts; a near miss is refused as mistyped.
    EXPECT_EQ(rs("restartsrv_nkdemo", {"--absent-okay"}).exit_code, 2);
    EXPECT_EQ(rs("restartsrv_nkdemo", {"absent-ok"}).exit_code, 255);
}

TEST_F(DemoService, AbsentOkDoesNotExcuseADisabledService) {
    write_file(dir / "etc/nkdemodisable", "");
    auto r = rs("startnkdemo", {"--absent-ok"});
    EXPECT_EQ(r.exit_code, 255) << r.out << r.err;
    EXPECT_FALSE(running());
}

TEST_F(DemoService, AbsentOkTurnsNotInstalledIntoSuccess) {
    // No binary, and a package that no package database knows (asked of
    // the distribution's package tool, read only).
    write_file(dir / "etc/os-release", "NAME=\"Debian GNU/Linux\"\nID=debian\nVERSION_ID=\"12\"\n");
    def["attributes"]["service_binary"] = dir / "usr/sbin/nkdemo-missing";
    def["attributes"]["service_package"] = json::array({"norvik-nkdemo-not-a-package"});
    auto plain = rs("startnkdemo", {});
    EXPECT_EQ(plain.exit_code, 255) << plain.out << plain.err;
    auto ok = rs("startnkdemo", {"--absent-ok"});
    EXPECT_EQ(ok.exit_code, 0) << ok.out << ok.err;
    EXPECT_NE(ok.err.find("norvik-nkdemo-not-a-package"), std::string::npos) << ok.err;
    EXPECT_FALSE(running());
}

TEST_F(DemoService, CustomActionRunsInsteadOfTheNormalRun) {
    def["actions"] = {{"hello", {"/bin/echo", "hello from the action"}},
                      {"bye", {"/bin/echo", "bye from the action"}},
                      {"broken", {"/bin/false"}}};
    auto hello = rs("restartsrv_nkdemo", {"hello"});
    EXPECT_EQ(hello.exit_code, 0) << hello.out << hello.err;
    EXPECT_EQ(hello.out, "hello from the action\n");
    EXPECT_FALSE(running()) << "the normal restart ran as well";
    EXPECT_FALSE(exists(events()));

    // The first argument naming an action wins, in either spelling.
    auto first = rs("restartsrv_nkdemo", {"--bye", "hello"});
    EXPECT_EQ(first.exit_code, 0) << first.out << first.err;
    EXPECT_EQ(first.out, "bye from the action\n");
    // Words that are not actions are passed over; "-x" forms do not match.
    auto later = rs("restartsrv_nkdemo", {"-hello", "nothing", "hello"});
    EXPECT_EQ(later.exit_code, 0) << later.out << later.err;
    EXPECT_EQ(later.out, "hello from the action\n");

    // A failing action fails the run, naming it.
    auto broken = rs("restartsrv_nkdemo", {"broken"});
    EXPECT_EQ(broken.exit_code, 255);
    EXPECT_NE(broken.err.find("broken"), std::string::npos) << broken.err;
    EXPECT_FALSE(running());

    // No action of that name: the normal run (a restart) starts the service.
    auto normal = rs("restartsrv_nkdemo", {"--nosuchaction"});
    EXPECT_EQ(normal.exit_code, 0) << normal.out << normal.err;
    EXPECT_TRUE(running());
}

TEST_F(DemoService, ServiceErrorsInVerboseAndQuietRuns) {
    // An init script whose start always fails.
    write_file(dir / "etc/init.d/nkdemo",
               "#!/bin/sh\n[ \"$1\" = start ] && { echo cannot start >&2; exit 1; }\nexit 0\n", 0755);
    def["attributes"]["startup_timeout"] = 1;
    def["attributes"]["restart_attempts"] = 1;
    auto verbose = rs("startnkdemo", {"--verbose"});
    EXPECT_EQ(verbose.exit_code, 255) << verbose.out << verbose.err;
    // The class on a line of its own, then the report; no success text.
    EXPECT_NE(verbose.out.find("\nNorvik::Exception::Services::"), std::string::npos) << verbose.out;
    EXPECT_NE(verbose.out.find("could not complete"), std::string::npos) << verbose.out;
    EXPECT_EQ(count(verbose.out, "The service nkdemo was"), 0u) << verbose.out;

    auto quiet = rs("startnkdemo", {});
    EXPECT_EQ(quiet.exit_code, 255) << quiet.out << quiet.err;
    EXPECT_EQ(quiet.out.find("Norvik::Exception::Services::"), std::string::npos) << quiet.out;
    EXPECT_NE(quiet.err.find("nkdemo"), std::string::npos) << quiet.err;
    // --absent-ok is for absent services only.
    EXPECT_EQ(rs("startnkdemo", {"--absent-ok"}).exit_code, 255);
}

// The service object's diagnostics reach the standard log below the root,
// decorated like every logger line, beside the invocation line.
TEST_F(DemoService, DiagnosticsReachTheStandardLogBelowTheRoot) {
    ::umask(0);  // the log is 0600 whatever the caller's umask
    auto r = rs("startnkdemo", {});
    ::umask(022);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::string log_file = dir / "usr/local/norvik/logs/error_log";
    struct stat st {};
    ASSERT_EQ(::stat(log_file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    std::string log = read_file(log_file);
    EXPECT_NE(log.find("/bin/startnkdemo  - called by ppid " + std::to_string(::getpid())), std::string::npos) << log;
    std::smatch m;
    const std::regex warn_line(
        R"((^|\n)\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d{4}\] warn \[startnkdemo\]( \[\d+\])? No systemd unit was found for the service nkdemo\n)");
    // Process 1 here is not systemd: no unit is to be had, and no warning says so.
    EXPECT_FALSE(std::regex_search(log, m, warn_line)) << log;
    // Nothing of it went to the terminal streams (standard input is no terminal).
    EXPECT_EQ(r.err.find("No systemd unit"), std::string::npos) << r.err;
}

TEST_F(DemoService, TheRunKeepsItsUserLookupsInTheDiskCache) {
    if (geteuid() != 0) GTEST_SKIP() << "only root runs write the password-entry disk cache";
    write_file(dir / "etc/passwd", "root:x:0:0:the superuser:/root:/bin/sh\n");
    def["attributes"]["processowner"] = "root";
    auto start = rs("startnkdemo", {});
    ASSERT_EQ(start.exit_code, 0) << start.out << start.err;
    // The owner's lookup went through the cache the entry bound: one file,
    // under the name key and the uid key.
    const std::string by_name = dir / "var/norvik/pw.cache/0:root", by_uid = dir / "var/norvik/pw.cache/2:0";
    ASSERT_TRUE(exists(by_name)) << "the entry never bound the disk cache";
    struct stat a {
    }, b{};
    ASSERT_EQ(stat(by_name.c_str(), &a), 0);
    ASSERT_EQ(stat(by_uid.c_str(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_mode & 0777, 0600u);
    EXPECT_NE(read_file(by_name).find("the superuser"), std::string::npos) << read_file(by_name);
}

// A mistyped command never acts: help in every spelling, near misses and
// ambiguous prefixes are answered without a single call of the init script;
// an option nobody knows is passed on with a warning.
TEST_F(DemoService, MistypedCommandsNeverAct) {
    const std::string calls = record_init_calls();
    for (const std::string h : {"-h", "-help", "help", "--he", "--hel", "--help", "-HELP"}) {
        auto r = rs("restartsrv_nkdemo", {h});
        EXPECT_EQ(r.exit_code, 0) << h << r.err;
        EXPECT_NE(r.out.find("Usage: restartsrv_nkdemo"), std::string::npos) << h << r.out;
    }
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--stauts"}, "did you mean --status?"},
        {{"--st"}, "did you mean --start, --status or --stop?"},
        {{"-s"}, "--status"},
        {{"--h"}, "--hard or --help?"},
        {{"--verbsoe", "restart"}, "did you mean --verbose?"},
    };
    for (const auto& [args, says] : refused) {
        auto r = rs("restartsrv_nkdemo", args);
        EXPECT_EQ(r.exit_code, 2) << args[0] << r.out << r.err;
        EXPECT_NE(r.err.find("\"" + args[0] + "\": "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << args[0];
    }
    auto base = rs("restartsrv_base", {"nkdemo", "--stauts"});
    EXPECT_EQ(base.exit_code, 2) << base.err;
    EXPECT_FALSE(exists(calls)) << read_file(calls);
    EXPECT_FALSE(running());

    // Unknown to everyone: passed on, named once on standard error.
    auto passed = rs("restartsrv_nkdemo", {"--frobnicate"});
    EXPECT_EQ(passed.exit_code, 0) << passed.err;
    EXPECT_EQ(count(passed.err, "--frobnicate"), 1u) << passed.err;
    EXPECT_EQ(count(passed.err, "\n"), 1u) << passed.err;
    EXPECT_TRUE(running());
    EXPECT_NE(read_file(calls).find("start"), std::string::npos);
}

namespace {
std::vector<json> json_lines(const std::string& text) {
    std::vector<json> out;
    size_t i = 0;
    while (i < text.size()) {
        size_t nl = text.find('\n', i);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(json::parse(text.substr(i, nl - i)));  // throws on a line that is not JSON
        i = nl + 1;
    }
    return out;
}
}  // namespace

// With RESTARTSRV_OUTPUT=json every line is a JSON object and the run ends
// with its result record; a failure without --verbose names where to look,
// and its XID is in the standard log.
TEST_F(DemoService, JsonRecordAndFailureHintOfInitdRuns) {
    auto jrun = [&](const std::string& name, const std::vector<std::string>& args) {
        return rs(name, args, {{"RESTARTSRV_OUTPUT", "json"}});
    };
    for (const auto& [name, args, action] : std::vector<std::tuple<std::string, std::vector<std::string>, std::string>>{
             {"startnkdemo", {"--verbose"}, "START"}, {"restartsrv_nkdemo", {"--status"}, "STATUS"}}) {
        auto r = jrun(name, args);
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        auto lines = json_lines(r.out);
        ASSERT_FALSE(lines.empty());
        for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_NE(lines[i]["type"], "result") << lines[i];
        const json& rec = lines.back();
        EXPECT_EQ(rec["type"], "result");
        EXPECT_EQ(rec["service"], "nkdemo");
        EXPECT_TRUE(rec["unit"].is_null()) << rec;
        EXPECT_EQ(rec["init_script"], dir / "etc/init.d/nkdemo") << rec;
        EXPECT_EQ(rec["action"], action);
        EXPECT_EQ(rec["result"], "success");
        EXPECT_EQ(rec["running"], true);
        EXPECT_EQ(rec["main_pid"], read_pid_file(pidfile())) << rec;
        EXPECT_TRUE(rec["check_method"].is_string() && !rec["check_method"].get<std::string>().empty()) << rec;
        EXPECT_EQ(rec["exit_status"], 0);
        EXPECT_TRUE(rec["error_class"].is_null() && rec["error_text"].is_null() && rec["xid"].is_null()) << rec;
    }
    ASSERT_EQ(rs("stopnkdemo", {}).exit_code, 0);

    write_file(dir / "etc/init.d/nkdemo",
               "#!/bin/sh\n[ \"$1\" = start ] && { echo cannot start >&2; exit 1; }\nexit 0\n", 0755);
    def["attributes"]["startup_timeout"] = 1;
    def["attributes"]["restart_attempts"] = 1;
    auto failed = jrun("startnkdemo", {});
    EXPECT_EQ(failed.exit_code, 255) << failed.out << failed.err;
    const auto failed_lines = json_lines(failed.out);
    ASSERT_FALSE(failed_lines.empty());
    const json rec = failed_lines.back();
    EXPECT_EQ(rec["result"], "failure");
    EXPECT_EQ(rec["running"], false);
    EXPECT_TRUE(rec["main_pid"].is_null()) << rec;
    EXPECT_EQ(rec["exit_status"], 255);
    EXPECT_EQ(rec["error_class"].get<std::string>().rfind("Norvik::Exception::Services::", 0), 0u) << rec;
    EXPECT_NE(rec["error_text"].get<std::string>().find("nkdemo"), std::string::npos) << rec;
    const std::string xid = rec["xid"].get<std::string>();
    EXPECT_FALSE(xid.empty());
    for (const auto& line : json_lines(failed.err)) EXPECT_TRUE(line.contains("type")) << line;

    auto plain = rs("startnkdemo", {});
    EXPECT_EQ(plain.exit_code, 255);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(plain.err, m, std::regex(R"(^\(XID (\w+)\) )"))) << plain.err;
    EXPECT_NE(plain.err.find("\nFor the details, run it again with --verbose, or see the startup log " + dir.path() +
                             "/var/norvik/restartsrv/startup_logs/nkdemo.\n"),
              std::string::npos)
        << plain.err;
    const std::string log = read_file(dir / "usr/local/norvik/logs/error_log");
    for (const std::string& id : {xid, m[1].str()})
        EXPECT_NE(log.find("(XID " + id + ")"), std::string::npos) << id << log;
}

// Without root a change is refused before it is tried; a status query still
// answers.
TEST_F(DemoService, ChangesNeedRootQueriesDoNot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the tool as another user";
    ASSERT_EQ(rs("startnkdemo", {}).exit_code, 0);
    const std::string calls = record_init_calls();
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    std::string link = link_binary(dir / "bin", "restartsrv_nkdemo");
    auto as_nobody = [&](const std::vector<std::string>& args) {
        std::vector<std::string> av{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", link};
        av.insert(av.end(), args.begin(), args.end());
        return run("/usr/bin/setpriv", av, {{"NORVIK_ROOT", dir.path()}, {"NO_COLOR", "1"}}, 60);
    };
    const pid_t pid = read_pid_file(pidfile());
    for (const std::vector<std::string>& change : {std::vector<std::string>{}, {"--stop"}, {"--reload"}}) {
        auto r = as_nobody(change);
        EXPECT_EQ(r.exit_code, 255) << r.out << r.err;
        EXPECT_NE(r.err.find("must be run as root"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(exists(calls)) << read_file(calls);
    EXPECT_EQ(read_pid_file(pidfile()), pid);
    EXPECT_TRUE(running());
    auto status = as_nobody({"--status"});
    EXPECT_EQ(status.exit_code, 0) << status.out << status.err;
    EXPECT_NE(status.out.find("PID " + std::to_string(pid)), std::string::npos) << status.out << status.err;
}
