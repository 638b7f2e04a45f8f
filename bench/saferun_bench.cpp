// One run of /bin/true through the command runner (spawn path and fork
// path) against posix_spawn + waitpid by hand, the floor.
#include <spawn.h>
#include <sys/wait.h>

#include <benchmark/benchmark.h>

#include "run/saferun.hpp"

extern char** environ;

static void BM_PosixSpawnFloor(benchmark::State& state) {
    char arg0[] = "/bin/true";
    char* argv[] = {arg0, nullptr};
    for (auto _ : state) {
        pid_t pid;
        if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) state.SkipWithError("spawn");
        int status;
        waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_PosixSpawnFloor)->UseRealTime();

static void BM_SafeRunSpawnPath(benchmark::State& state) {
    for (auto _ : state) {
        norvik::run::Object run({.program = "/bin/true"});
        benchmark::DoNotOptimize(run.wait_status());
    }
}
BENCHMARK(BM_SafeRunSpawnPath)->UseRealTime();

static void BM_SafeRunForkPath(benchmark::State& state) {
    for (auto _ : state) {
        norvik::run::Object run({.program = "/bin/true", .before_exec = [] {}});
        benchmark::DoNotOptimize(run.wait_status());
    }
}
BENCHMARK(BM_SafeRunForkPath)->UseRealTime();

BENCHMARK_MAIN();
