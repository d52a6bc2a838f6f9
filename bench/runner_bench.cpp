// Starting /bin/true and waiting for it: run_program against posix_spawn, at
// a descriptor limit of 1024 and at the process's hard limit.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "alarm/runner.h"

extern char** environ;

namespace {

// Range 0: 1024 descriptors; 1: the hard limit.
bool set_limit(benchmark::State& state)
{
    rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = state.range(0) == 0 ? 1024 : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        state.SkipWithError("cannot set the descriptor limit");
        return false;
    }
    state.counters["fd_limit"] = double(limit.rlim_cur);
    return true;
}

void BM_RunProgram(benchmark::State& state)
{
    if (!set_limit(state))
        return;
    for (auto _ : state) {
        int32_t status = run_program("/bin/true", static_cast<const char*>(nullptr));
        benchmark::DoNotOptimize(status);
    }
}

void BM_PosixSpawn(benchmark::State& state)
{
    if (!set_limit(state))
        return;
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    for (auto _ : state) {
        pid_t pid;
        int status = 0;
        if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) == 0)
            waitpid(pid, &status, 0);
        benchmark::DoNotOptimize(status);
    }
}

} // namespace

BENCHMARK(BM_RunProgram)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_PosixSpawn)->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK_MAIN();
