// restartsrv_nkdemo --status and a full restart of the demo daemon through
// its init script, beside a hand-written shell equivalent (kill, wait,
// start, poll the PID file every 0.05 s).
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace fs = std::filesystem;

namespace {

std::string build_bin() {
    std::string b = NORVIK_TEST_BINARY;
    return b.substr(0, b.rfind('/'));
}

std::string source_dir() {
    std::string f = __FILE__;
    return f.substr(0, f.rfind("/bench/"));
}

void write(const std::string& path, const std::string& text, mode_t mode = 0644) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
}

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void reap() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {}
}

// Runs argv with NORVIK_ROOT set, output to /dev/null; the wait status.
int run(const std::vector<std::string>& argv, const std::string& root) {
    pid_t pid = ::fork();
    if (pid == 0) {
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::setenv("NORVIK_ROOT", root.c_str(), 1);
        std::vector<char*> a;
        for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        ::execv(a[0], a.data());
        _exit(127);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    reap();
    return st;
}

struct Sandbox {
    std::string root;
    std::string tool;
    std::string pidfile;
    std::string by_hand;
    Sandbox() {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        char tmpl[] = "/tmp/norvik-bench.XXXXXX";
        root = ::mkdtemp(tmpl);
        for (const char* d : {"/usr/local/norvik/logs", "/var/run", "/var/log", "/var/norvik/restartsrv/locks"})
            fs::create_directories(root + d);
        pidfile = root + "/var/run/nkdemo.pid";
        std::string init = slurp(source_dir() + "/demo/nkdemo.init.in");
        auto sub = [&](const std::string& k, const std::string& v) {
            for (size_t p; (p = init.find(k)) != std::string::npos;) init.replace(p, k.size(), v);
        };
        sub("@DAEMON@", build_bin() + "/norvik_demod");
        sub("@PIDFILE@", pidfile);
        sub("@ARGS@", "--port 28517");
        write(root + "/etc/init.d/nkdemo", init, 0755);
        write(root + "/etc/servmon.d/nkdemo", "");
        write(root + "/var/norvik/custom/services/Nkdemo.json",
              R"({"attributes": {"pidfile": "${NORVIK_ROOT}/var/run/nkdemo.pid", "pid_exe": "norvik_demod"}})");
        tool = root + "/restartsrv_nkdemo";
        fs::create_symlink(NORVIK_TEST_BINARY, tool);
        by_hand = root + "/restart_by_hand";
        write(
            by_hand,
            "#!/bin/sh\n"
            "pf=" +
                pidfile +
                "\n"
                "pid=$(cat $pf)\n"
                "kill $pid\n"
                "while [ -e /proc/$pid ] && ! grep -q '^State:.*Z' /proc/$pid/status 2>/dev/null; do sleep 0.05; done\n"
                "rm -f $pf\n" +
                root +
                "/etc/init.d/nkdemo start\n"
                "while [ ! -s $pf ]; do sleep 0.05; done\n",
            0755);
        run({tool}, root);
    }
    ~Sandbox() {
        run({tool, "--stop"}, root);
        fs::remove_all(root);
    }
};

Sandbox& sandbox() {
    static Sandbox s;
    return s;
}

void BM_status(benchmark::State& state) {
    auto& s = sandbox();
    for (auto _ : state) {
        int st = run({s.tool, "--status"}, s.root);
        if (st != 0) state.SkipWithError("status failed");
    }
}
BENCHMARK(BM_status)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_restart_tool(benchmark::State& state) {
    auto& s = sandbox();
    for (auto _ : state) {
        int st = run({s.tool, "hard"}, s.root);
        if (st != 0) state.SkipWithError("restart failed");
    }
}
BENCHMARK(BM_restart_tool)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(15);

void BM_restart_by_hand(benchmark::State& state) {
    auto& s = sandbox();
    for (auto _ : state) {
        int st = run({"/bin/sh", s.by_hand}, s.root);
        if (st != 0) state.SkipWithError("hand-written restart failed");
    }
}
BENCHMARK(BM_restart_by_hand)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(15);

}  // namespace

BENCHMARK_MAIN();
