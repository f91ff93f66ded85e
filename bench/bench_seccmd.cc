// Running one host tool through the command runner against a bare
// posix_spawnp + waitpid of the same program found on the same PATH. The
// ratio shows what the runner adds: its file actions (/dev/null, closing
// every descriptor above 2), default signals, its own process group and the
// pidfd wait.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "ortavis_upgd_seccmd.h"

namespace {

char g_true[] = "true";
char *g_argv[] = {g_true, nullptr};

void BM_SeccmdRunArgset(benchmark::State &state)
{
    for (auto _ : state) {
        int status = -1;
        if (seccmd_run_argset(nullptr, nullptr, &status, g_argv, nullptr) != 0 || status != 0) {
            state.SkipWithError("seccmd_run_argset failed");
            return;
        }
    }
}
BENCHMARK(BM_SeccmdRunArgset)->UseRealTime();

void BM_SeccmdRunArgsetCapture(benchmark::State &state)
{
    for (auto _ : state) {
        int status = -1;
        char *out = nullptr;
        if (seccmd_run_argset(&out, nullptr, &status, g_argv, nullptr) != 0 || status != 0) {
            state.SkipWithError("seccmd_run_argset failed");
            return;
        }
        free(out);
    }
}
BENCHMARK(BM_SeccmdRunArgsetCapture)->UseRealTime();

bool BareSpawnWait()
{
    pid_t pid;
    int ws = 0;
    return posix_spawnp(&pid, g_argv[0], nullptr, nullptr, g_argv, environ) == 0 &&
           waitpid(pid, &ws, 0) == pid && ws == 0;
}

// Bare baseline.
void BM_BareSpawnWait(benchmark::State &state)
{
    for (auto _ : state) {
        if (!BareSpawnWait()) {
            state.SkipWithError("posix_spawnp failed");
            return;
        }
    }
}
BENCHMARK(BM_BareSpawnWait)->UseRealTime();

// Both in turn within each iteration, so that a change of load on the
// machine weighs on both alike; the counters give each one's mean time and
// the ratio ours / bare. The iteration time is that of ours.
void BM_PairedRatio(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    Clock::duration ours{};
    Clock::duration bare{};
    for (auto _ : state) {
        int status = -1;
        Clock::time_point t0 = Clock::now();
        int rc = seccmd_run_argset(nullptr, nullptr, &status, g_argv, nullptr);
        Clock::time_point t1 = Clock::now();
        bool bareOk = BareSpawnWait();
        Clock::time_point t2 = Clock::now();
        if (rc != 0 || status != 0 || !bareOk) {
            state.SkipWithError("spawn failed");
            return;
        }
        ours += t1 - t0;
        bare += t2 - t1;
        state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_us"] = std::chrono::duration<double, std::micro>(ours).count() / n;
    state.counters["bare_us"] = std::chrono::duration<double, std::micro>(bare).count() / n;
    state.counters["ratio"] = std::chrono::duration<double>(ours).count() /
                              std::chrono::duration<double>(bare).count();
}
BENCHMARK(BM_PairedRatio)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
