// Process-table scans, holder lookups and escalations against the procps and
// psmisc tools, on tables of N idle processes this program starts and ends.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "proc/fuser.hpp"
#include "proc/kill.hpp"
#include "proc/process_table.hpp"

namespace {

std::string g_dir;
std::vector<pid_t> g_idle;
std::vector<pid_t> g_holders;
const char* TARGET = "nvkbtarget";
const char* VICTIM = "nvkbvictim";

pid_t spawn(const std::string& path, const std::vector<std::string>& argv, int hold_fd_of = -1,
            bool ignore_term = false) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (ignore_term) ::signal(SIGTERM, SIG_IGN);
        ::signal(SIGCHLD, SIG_DFL);
        if (hold_fd_of >= 0) ::fcntl(hold_fd_of, F_SETFD, 0);
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 1);
        ::dup2(devnull, 2);
        std::vector<char*> a;
        for (auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        ::execv(path.c_str(), a.data());
        _exit(127);
    }
    return pid;
}

void run_wait(const std::vector<std::string>& argv) {
    pid_t p = spawn(argv[0], argv);
    int st;
    while (::waitpid(p, &st, 0) < 0 && errno == EINTR) {}
}

void ensure_setup() {
    if (!g_dir.empty()) return;
    char tmpl[] = "/tmp/nvkbench-XXXXXX";
    g_dir = ::mkdtemp(tmpl);
    for (const char* n : {TARGET, VICTIM}) {
        std::filesystem::copy_file("/bin/sleep", g_dir + "/" + n);
        ::chmod((g_dir + "/" + n).c_str(), 0755);
    }
    std::string held = g_dir + "/held";
    int fd = ::open(held.c_str(), O_CREAT | O_RDONLY | O_CLOEXEC, 0644);
    for (int i = 0; i < 50; ++i) g_holders.push_back(spawn(g_dir + "/" + TARGET, {TARGET, "3600"}, fd));
    ::close(fd);
}

void ensure_table(size_t n) {
    ensure_setup();
    while (g_idle.size() + g_holders.size() < n) g_idle.push_back(spawn("/bin/sleep", {"nvkbench-idle", "3600"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void cleanup() {
    for (auto* v : {&g_idle, &g_holders})
        for (pid_t p : *v) ::kill(p, SIGKILL);
    for (auto* v : {&g_idle, &g_holders})
        for (pid_t p : *v) ::waitpid(p, nullptr, 0);
    if (!g_dir.empty()) std::filesystem::remove_all(g_dir);
}

std::string driver_path() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    buf[n > 0 ? n : 0] = 0;
    return std::filesystem::path(buf).parent_path() / "proc_scan_driver";
}

void BM_get_pids_by_name(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    size_t found = 0;
    for (auto _ : st) found = norvik::proc::get_pids_by_name(TARGET).size();
    st.counters["found"] = double(found);
}
void BM_pgrep_x(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    for (auto _ : st) run_wait({"/usr/bin/pgrep", "-x", TARGET});
}
void BM_driver_scan(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    std::string d = driver_path();
    for (auto _ : st) run_wait({d, "name", TARGET});
}
void BM_fuser_check(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    std::string held = g_dir + "/held";
    size_t found = 0;
    for (auto _ : st) found = norvik::proc::check({held})[held].size();
    st.counters["found"] = double(found);
}
void BM_fuser_tool(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    for (auto _ : st) run_wait({"/usr/bin/fuser", g_dir + "/held"});
}
void BM_driver_fuser(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    std::string d = driver_path();
    for (auto _ : st) run_wait({d, "fuser", g_dir + "/held"});
}

constexpr double BUDGET = 0.2;

std::vector<pid_t> spawn_victims() {
    std::vector<pid_t> v;
    for (int i = 0; i < 50; ++i) v.push_back(spawn(g_dir + "/" + VICTIM, {VICTIM, "3600"}, -1, i < 10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return v;
}

void BM_safekill50(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    ::signal(SIGCHLD, SIG_IGN);  // victims vanish without zombies, for every tool alike
    int ok = 0;
    for (auto _ : st) {
        st.PauseTiming();
        spawn_victims();
        st.ResumeTiming();
        ok = norvik::proc::safekill(VICTIM, false, BUDGET);
    }
    ::signal(SIGCHLD, SIG_DFL);
    st.counters["ok"] = ok;
}
void BM_pkill_then_wait(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    ::signal(SIGCHLD, SIG_IGN);
    for (auto _ : st) {
        st.PauseTiming();
        auto v = spawn_victims();
        st.ResumeTiming();
        run_wait({"/usr/bin/pkill", "-x", VICTIM});
        std::this_thread::sleep_for(std::chrono::duration<double>(BUDGET));
        run_wait({"/usr/bin/pkill", "-9", "-x", VICTIM});
        for (pid_t p : v)
            while (::kill(p, 0) == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    ::signal(SIGCHLD, SIG_DFL);
}
void BM_killall_w(benchmark::State& st) {
    ensure_table(size_t(st.range(0)));
    ::signal(SIGCHLD, SIG_IGN);
    for (auto _ : st) {
        st.PauseTiming();
        spawn_victims();
        st.ResumeTiming();
        run_wait({"/usr/bin/killall", "-q", VICTIM});
        std::this_thread::sleep_for(std::chrono::duration<double>(BUDGET));
        run_wait({"/usr/bin/killall", "-q", "-w", "-s", "KILL", VICTIM});
    }
    ::signal(SIGCHLD, SIG_DFL);
}

}  // namespace

int main(int argc, char** argv) {
    // Side by side per table size; sizes in rising order so the table only grows.
    long max_n = 3000;
    if (const char* e = std::getenv("NVK_BENCH_MAX")) max_n = std::atol(e);
    for (long n : {100L, 1000L, 3000L}) {
        if (n > max_n) break;
        benchmark::RegisterBenchmark("get_pids_by_name", BM_get_pids_by_name)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
        benchmark::RegisterBenchmark("pgrep_x", BM_pgrep_x)->Arg(n)->Unit(benchmark::kMillisecond)->MinTime(0.3);
        benchmark::RegisterBenchmark("driver_scan", BM_driver_scan)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
        benchmark::RegisterBenchmark("fuser_check", BM_fuser_check)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
        benchmark::RegisterBenchmark("fuser_tool", BM_fuser_tool)->Arg(n)->Unit(benchmark::kMillisecond)->MinTime(0.3);
        benchmark::RegisterBenchmark("driver_fuser", BM_driver_fuser)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->MinTime(0.3);
        benchmark::RegisterBenchmark("safekill50", BM_safekill50)->Arg(n)->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark("pkill_then_wait", BM_pkill_then_wait)
            ->Arg(n)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(3);
        benchmark::RegisterBenchmark("killall_w", BM_killall_w)->Arg(n)->Unit(benchmark::kMillisecond)->Iterations(2);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    cleanup();
    return 0;
}
