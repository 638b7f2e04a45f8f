// End-to-end runs of restartsrv_nkdemo in a private NORVIK_ROOT, with the
// real demo daemon started from a real init script.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/test_support.hpp"

using norvik::test::demod_path;
using norvik::test::RunResult;
using norvik::test::TempDir;

namespace {

bool alive(pid_t pid) { return norvik::test::running(pid); }

int next_port() {
    static int n = 0;
    return 21000 + (static_cast<int>(::getpid()) * 13 + (n++) * 7) % 20000;
}

using Event = norvik::test::DemoEvent;

class Demo {
public:
    // `def` is the definition (nullptr: none); `daemon_args` go to the daemon.
    explicit Demo(const nlohmann::json& def, const std::string& daemon_args = "", bool with_init = true)
        : dir_("svc"), root_(dir_.path() + "/root"), port_(next_port()) {
        norvik::test::become_subreaper();
        pidfile_ = root_ + "/var/run/nkdemo.pid";
        events_ = root_ + "/var/log/nkdemo.events";
        norvik::test::write_demo_service(root_, pidfile_, "--events " + events_ + " " + daemon_args, with_init);
        if (!def.is_null()) write_definition(def.dump(2));
        link_ = norvik::test::link_binary(dir_.path() + "/bin", "restartsrv_nkdemo");
    }
    ~Demo() {
        for (pid_t p : {pid(), extra_}) {
            if (alive(p)) ::kill(p, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        norvik::test::reap_zombies();
    }

    void write_definition(const std::string& text) {
        norvik::test::write_file(root_ + "/var/norvik/custom/services/Nkdemo.json", text);
    }

    RunResult rs(std::vector<std::string> args, bool reap = true, double timeout = 40) {
        args.insert(args.begin(), link_);
        auto r = norvik::test::run(link_, args, {{"NORVIK_ROOT", root_}}, timeout);
        // Reaping takes any finished child: not while another run is waited for.
        if (reap) norvik::test::reap_zombies();
        return r;
    }

    pid_t pid() const { return norvik::test::read_pid_file(pidfile_); }

    std::vector<Event> events() const { return norvik::test::read_demo_events(events_); }
    int count(const std::string& what) const {
        auto ev = events();
        return static_cast<int>(std::count_if(ev.begin(), ev.end(), [&](const Event& e) { return e.what == what; }));
    }

    const std::string& root() const { return root_; }
    const std::string& pidfile() const { return pidfile_; }
    int port() const { return port_; }
    void track(pid_t p) { extra_ = p; }

private:
    TempDir dir_;
    std::string root_;
    std::string link_;
    std::string pidfile_;
    std::string events_;
    int port_;
    pid_t extra_ = 0;
};

nlohmann::json base_def(const std::string& root, const std::string& base = "Base") {
    return {{"base", base},
            {"attributes",
             {{"pidfile", "${NORVIK_ROOT}/var/run/nkdemo.pid"},
              {"service_binary", demod_path()},
              {"pid_exe", "norvik_demod"},
              {"support_reload", true}}}};
    (void)root;
}

std::string all(const RunResult& r) { return r.out + r.err; }

// A root process that is nobody's service: "sleep 60".
pid_t spawn_plain_sleep() {
    pid_t p = ::fork();
    if (p == 0) {
        execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
        _exit(127);
    }
    return p;
}

}  // namespace

TEST(ServiceObject, RestartOfStoppedThenRunningServiceNeverOverlaps) {
    Demo d(base_def(""));
    auto r = d.rs({});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    pid_t first = d.pid();
    ASSERT_TRUE(alive(first));

    auto st = d.rs({"--status"});
    EXPECT_EQ(st.exit_code, 0) << all(st);
    EXPECT_FALSE(st.out.empty());
    auto ck = d.rs({"--check"});
    EXPECT_EQ(ck.exit_code, 0) << all(ck);
    EXPECT_NE(ck.out.find("nkdemo"), std::string::npos) << ck.out;

    r = d.rs({});
    ASSERT_EQ(r.exit_code, 0) << all(r);
    pid_t second = d.pid();
    EXPECT_NE(first, second);
    EXPECT_FALSE(alive(first));
    auto ev = d.events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].what, "start");
    EXPECT_EQ(ev[1].what, "stop");
    EXPECT_EQ(ev[2].what, "start");
    EXPECT_LE(ev[1].t, ev[2].t);

    r = d.rs({"--stop"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_FALSE(alive(second));
    st = d.rs({"--status"});
    EXPECT_NE(st.exit_code, 0);
}

TEST(ServiceObject, DisabledRunningServiceIsStoppedAndRefused) {
    Demo d(base_def(""));
    ASSERT_EQ(d.rs({}).exit_code, 0);
    pid_t p = d.pid();
    norvik::test::write_file(d.root() + "/etc/nkdemodisable", "");
    auto r = d.rs({});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(all(r).find("disabled"), std::string::npos) << all(r);
    EXPECT_FALSE(alive(p));
    EXPECT_EQ(d.count("start"), 1);
    // A stopped, disabled service is refused outright.
    r = d.rs({});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(d.count("start"), 1);
}

TEST(ServiceObject, RetriesUpToRestartAttempts) {
    std::string counter;
    {
        auto def = base_def("");
        def["attributes"]["restart_attempts"] = 3;
        TempDir c("cnt");
        counter = c.path() + "/n";
        Demo d(def, "--fail-first 2 --counter " + counter);
        auto r = d.rs({});
        EXPECT_EQ(r.exit_code, 0) << all(r);
        EXPECT_EQ(norvik::test::read_file(counter), "3\n");
        EXPECT_TRUE(alive(d.pid()));
    }
    {
        auto def = base_def("");
        def["attributes"]["restart_attempts"] = 2;
        TempDir c("cnt");
        counter = c.path() + "/n";
        Demo d(def, "--fail-first 5 --counter " + counter);
        auto r = d.rs({});
        EXPECT_NE(r.exit_code, 0);
        EXPECT_EQ(norvik::test::read_file(counter), "2\n");
        EXPECT_EQ(d.count("start"), 0);
    }
}

// The init script leaves an empty PID file and returns before the daemon
// writes its own: the start waits for the number, and a number that never
// comes is a failure.
TEST(ServiceObject, EmptyPidFileIsWaitedForAndNeverTakenForAStart) {
    auto empty_first = [](Demo& d) {
        std::string path = d.root() + "/etc/init.d/nkdemo";
        std::string script = norvik::test::read_file(path);
        const std::string launch = "exec \"$DAEMON\" --daemon --pidfile \"$PIDFILE\" $ARGS";
        size_t at = script.find(launch);
        ASSERT_NE(at, std::string::npos);
        script.replace(at, launch.size(),
                       ": > \"$PIDFILE\"; { sleep 0.3; " + launch + "; } </dev/null >/dev/null 2>&1 & exit 0");
        norvik::test::write_file(path, script, 0755);
    };
    {
        Demo d(base_def(""));
        empty_first(d);
        auto r = d.rs({"--start"});
        EXPECT_EQ(r.exit_code, 0) << all(r);
        EXPECT_TRUE(alive(d.pid()));
        EXPECT_EQ(d.count("start"), 1);
    }
    {
        // The daemon runs, but writes its number into another file.
        Demo d(base_def(""));
        empty_first(d);
        std::string path = d.root() + "/etc/init.d/nkdemo";
        std::string script = norvik::test::read_file(path);
        const std::string flag = "--daemon --pidfile \"$PIDFILE\"";
        size_t at = script.find(flag);
        ASSERT_NE(at, std::string::npos);
        script.replace(at, flag.size(), "--daemon --pidfile \"$PIDFILE.elsewhere\"");
        norvik::test::write_file(path, script, 0755);
        auto r = d.rs({"--start"});
        pid_t stray = norvik::test::read_pid_file(d.pidfile() + ".elsewhere");
        if (stray > 1) d.track(stray);
        EXPECT_NE(r.exit_code, 0) << all(r);
        EXPECT_EQ(d.pid(), 0);
    }
}

TEST(ServiceObject, CommandLineAttemptMeansExactlyOneAttempt) {
    TempDir c("cnt");
    std::string counter = c.path() + "/n";
    auto def = base_def("");
    def["attributes"]["restart_attempts"] = 5;
    Demo d(def, "--fail-first 3 --counter " + counter);
    auto r = d.rs({"--restart-attempt=2"});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(norvik::test::read_file(counter), "1\n");
    r = d.rs({"--restart-attempt=nope"});  // not a number: the normal five attempts
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(norvik::test::read_file(counter), "4\n");
}

TEST(ServiceObject, PortHolderIsKilledBeforeTheRetry) {
    auto def = base_def("");
    int port = next_port();
    def["attributes"]["ports"] = {port};
    Demo d(def, "--port " + std::to_string(port));
    // A squatter on the port: the first start fails to bind.
    pid_t squatter = ::fork();
    if (squatter == 0) {
        std::string pf = d.root() + "/squatter.pid";
        execl(demod_path().c_str(), "norvik_demod", "--pidfile", pf.c_str(), "--port", std::to_string(port).c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    d.track(squatter);
    for (int i = 0; i < 100 && !norvik::test::exists(d.root() + "/squatter.pid"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto r = d.rs({});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_FALSE(alive(squatter));
    EXPECT_TRUE(alive(d.pid()));
    EXPECT_EQ(d.count("start"), 1);
}

TEST(ServiceObject, HotDaemonRestartsInPlace) {
    Demo d(base_def("", "Hot"));
    ASSERT_EQ(d.rs({}).exit_code, 0);
    pid_t p = d.pid();
    auto r = d.rs({});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(d.pid(), p);
    EXPECT_TRUE(alive(p));
    EXPECT_EQ(d.count("graceful"), 1);
    EXPECT_EQ(d.count("stop"), 0);

    // The hard-restart word stops and starts.
    r = d.rs({"hard"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_NE(d.pid(), p);
    EXPECT_EQ(d.count("graceful"), 1);
    EXPECT_EQ(d.count("stop"), 1);
}

TEST(ServiceObject, HotDaemonThatNeverConfirmsGetsAFullRestart) {
    Demo d(base_def("", "Hot"), "--no-usr1-pidfile");
    ASSERT_EQ(d.rs({}).exit_code, 0);
    pid_t p = d.pid();
    auto t0 = std::chrono::steady_clock::now();
    auto r = d.rs({});
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_EQ(d.count("graceful"), 1);
    EXPECT_EQ(d.count("stop"), 1);
    EXPECT_NE(d.pid(), p);
    EXPECT_GT(secs, 14.0);  // 600 passes of 0.025 s
}

// A PID file that names a process which is not the service's: with or
// without pid_exe, with owner root or an unprivileged owner whose user wrote
// the file, no action signals it and no status reports it as the service.
TEST(ServiceObject, ForeignPidInPidFileIsNeverSignalled) {
    struct Case {
        const char* what;
        const char* base;
        bool pid_exe;
        const char* owner;
        std::vector<std::string> args;
        int exit_code;
    };
    const Case cases[] = {
        {"Hot restart, pid_exe", "Hot", true, "root", {}, 0},
        {"Hot restart, no pid_exe", "Hot", false, "root", {}, 0},
        {"init.d stop, no pid_exe", "Base", false, "root", {"--stop"}, 0},
        {"status, no pid_exe", "Base", false, "root", {"--status"}, 255},
        {"init.d stop, owner nobody", "Base", false, "nobody", {"--stop"}, 0},
        {"status, owner nobody", "Base", false, "nobody", {"--status"}, 255},
        // The daemon the script starts runs as root, which counts for any owner.
        {"Hot restart, owner nobody", "Hot", false, "nobody", {"--restart-attempt=1"}, 0},
    };
    for (const auto& c : cases) {
        auto def = base_def("", c.base);
        if (!c.pid_exe) def["attributes"].erase("pid_exe");
        def["attributes"]["processowner"] = c.owner;
        def["attributes"]["startup_timeout"] = 2;
        Demo d(def);
        norvik::test::write_file(
            d.root() + "/etc/passwd",
            "root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n");
        pid_t foreign = spawn_plain_sleep();
        d.track(foreign);
        norvik::test::write_file(d.pidfile(), std::to_string(foreign) + "\n");
        // The service's own unprivileged user wrote it.
        if (std::string(c.owner) == "nobody") {
            ASSERT_EQ(::chown(d.pidfile().c_str(), 65534, 65534), 0);
        }
        auto r = d.rs(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.what << "\n" << all(r);
        EXPECT_TRUE(alive(foreign)) << c.what << "\n" << all(r);
        EXPECT_EQ(all(r).find("(sleep 60) is running"), std::string::npos) << c.what << "\n" << all(r);
        if (!c.pid_exe) {
            std::string log = norvik::test::read_file(d.root() + "/usr/local/norvik/logs/error_log");
            EXPECT_NE((all(r) + log).find("PID file “" + d.pidfile()), std::string::npos)
                << "warns naming the file: " << c.what << "\n"
                << log;
        }
        ::kill(foreign, SIGKILL);
        ::waitpid(foreign, nullptr, 0);
    }
}

// A failed start after a stale PID file: the process that now has the
// file's pid is not the daemon (pid_exe says so) and is left alone, on the
// first start and on the retry.
TEST(ServiceObject, FailedRestartNeverEndsTheProcessInAStalePidFile) {
    for (const char* base : {"Base", "Hot"}) {
        TempDir c("cnt");
        auto def = base_def("", base);
        def["attributes"]["restart_attempts"] = 2;
        def["attributes"]["ports"] = {next_port()};
        Demo d(def, "--fail-first 9 --counter " + c.path() + "/n");
        pid_t foreign = spawn_plain_sleep();
        d.track(foreign);
        norvik::test::write_file(d.pidfile(), std::to_string(foreign) + "\n");
        auto r = d.rs({});
        EXPECT_EQ(r.exit_code, 255) << base << "\n" << all(r);
        EXPECT_EQ(norvik::test::read_file(c.path() + "/n"), "2\n") << "both attempts ran: " << base;
        EXPECT_TRUE(alive(foreign)) << base << "\n" << all(r);
        ::kill(foreign, SIGKILL);
        ::waitpid(foreign, nullptr, 0);
    }
}

TEST(ServiceObject, ReloadWithAndWithoutSupport) {
    auto def = base_def("");
    Demo d(def);
    ASSERT_EQ(d.rs({}).exit_code, 0);
    auto r = d.rs({"--reload"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    for (int i = 0; i < 50 && d.count("reload") == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(d.count("reload"), 1);

    def["attributes"]["support_reload"] = false;
    d.write_definition(def.dump());
    r = d.rs({"--reload"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(d.count("reload"), 1);
    EXPECT_EQ(d.count("start"), 1);
}

TEST(ServiceObject, ReloadOfAStoppedServiceFailsAsDownAndStartsNothing) {
    Demo d(base_def(""));
    auto r = d.rs({"--reload"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_NE(all(r).find("down"), std::string::npos) << all(r);
    EXPECT_EQ(all(r).find("was reloaded"), std::string::npos) << all(r);
    r = d.rs({"--reload", "--verbose"});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    EXPECT_EQ(all(r).find("was reloaded"), std::string::npos) << all(r);
    EXPECT_EQ(d.count("start"), 0);
    EXPECT_EQ(d.count("reload"), 0);
}

TEST(ServiceObject, CustomActionAndHooksFromTheDefinition) {
    TempDir t("hook");
    std::string mark = t.path() + "/attempt";
    auto def = base_def("");
    def["actions"] = {{"hello", {"/bin/echo", "hello-from-action"}}, {"broken", {"/bin/false"}}};
    def["hooks"] = {{"start_check", {"/bin/false"}}};
    Demo d(def);
    auto r = d.rs({"hello"});
    EXPECT_EQ(r.exit_code, 0) << all(r);
    EXPECT_NE(r.out.find("hello-from-action"), std::string::npos) << all(r);
    EXPECT_EQ(d.count("start"), 0);
    r = d.rs({"broken"});
    EXPECT_NE(r.exit_code, 0);
    // start_check says no: the restart gives up and nothing starts.
    r = d.rs({});
    EXPECT_NE(r.exit_code, 0);
    EXPECT_EQ(d.count("start"), 0);
}

TEST(ServiceObject, BrokenDefinitionWarnsAndFallsBack) {
    Demo d(nlohmann::json(nullptr));
    d.write_definition(R"({"attributes": {"ports": "eighty"}})");
    // The plain object the init script allows answers: down, not unknown.
    auto r = d.rs({"--status"});
    EXPECT_NE(r.err.find("Nkdemo.json"), std::string::npos) << all(r);
    EXPECT_NE(r.err.find("ports"), std::string::npos) << all(r);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(all(r).find("down"), std::string::npos) << all(r);
    EXPECT_EQ(all(r).find("unknown"), std::string::npos) << all(r);

    d.write_definition("{ not json");
    r = d.rs({"--status"});
    EXPECT_NE(r.err.find("could not be loaded"), std::string::npos) << all(r);
}

TEST(ServiceObject, UnknownServiceGivesOneLineAnd255) {
    Demo d(nlohmann::json(nullptr), "", false);
    auto r = d.rs({});
    EXPECT_EQ(r.exit_code, 255) << all(r);
    std::string text = r.err;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    EXPECT_NE(text.find("nkdemo"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 0) << text;
}

TEST(ServiceObject, LockSerialisesConcurrentRestarts) {
    Demo d(base_def(""), "--start-delay 0.3 --stop-delay 0.2");
    ASSERT_EQ(d.rs({}).exit_code, 0);
    RunResult a, b;
    std::thread t1([&] { a = d.rs({"hard"}, false); });
    std::thread t2([&] { b = d.rs({"hard"}, false); });
    t1.join();
    t2.join();
    norvik::test::reap_zombies();
    EXPECT_EQ(a.exit_code, 0) << all(a);
    EXPECT_EQ(b.exit_code, 0) << all(b);
    auto ev = d.events();
    ASSERT_EQ(ev.size(), 5u);
    // Strictly alternating: never two daemons at once.
    for (size_t i = 0; i < ev.size(); ++i) EXPECT_EQ(ev[i].what, i % 2 ? "stop" : "start") << i;
    for (size_t i = 1; i < ev.size(); ++i) EXPECT_LE(ev[i - 1].t, ev[i].t);
}
