// A discovery pass with nothing changed, against a bare opendir/readdir of
// the same run directory in the same run, at 64, 256 and 1024 running VMs
// (each with a live description and a listening guest channel from the
// guest simulator). Runs inside the sandbox: tools/bench.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/resource.h>

#include <memory>
#include <string>

#include "guest_sim_host.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_vm.h"

namespace {

// One simulated host, grown to the size a benchmark asks for.
guestsim::HostSim &Host(int vms)
{
    static auto *sim = new guestsim::HostSim();
    static int have = 0;
    static bool init = [] {
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
        InitVmListLock();
        InitIndependentVmListLock();
        InitUpgVmListAddLock();
        return true;
    }();
    (void)init;
    for (; have < vms; ++have) {
        sim->AddVm("bench-vm-" + std::to_string(have));
    }
    return *sim;
}

void BM_DiscoveryPass(benchmark::State &state)
{
    Host(static_cast<int>(state.range(0)));
    GetRunningVmList();   // connects every VM once; later passes change nothing
    for (auto _ : state) {
        GetRunningVmList();
    }
}

void BM_BareReaddir(benchmark::State &state)
{
    Host(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        DIR *dir = opendir(VM_RUN_DIR);
        size_t n = 0;
        while (dirent *e = readdir(dir)) {
            n += e->d_name[0] != '.';
        }
        closedir(dir);
        benchmark::DoNotOptimize(n);
    }
}
// The host only grows, so each size runs both before the next size.
BENCHMARK(BM_DiscoveryPass)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareReaddir)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DiscoveryPass)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareReaddir)->Arg(256)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DiscoveryPass)->Arg(1024)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareReaddir)->Arg(1024)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
