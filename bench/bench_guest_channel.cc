// The guest side with the real daemon on the simulated host, each against a
// bare baseline in the same run:
//  - idle cost: the daemon's CPU time while 256 connected guests say nothing,
//    against one thread polling 256 silent sockets the same way;
//  - round trip: a health check from a management client through the daemon
//    to a guest and back, against a bare relay of the same messages between
//    the same kinds of sockets.
// Runs inside the sandbox: tools/bench.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "manage_client.h"

namespace {

using namespace std::chrono_literals;
constexpr int kIdleVms = 256;

// The simulated host with `vms` guests and the daemon connected to all of them.
struct Host : bench::DaemonHost {
    Host(int vms, guestsim::Behaviour behaviour) : DaemonHost(vms, behaviour) { ok = ok && StartDaemon(); }
};

void BM_DaemonIdleWith256Guests(benchmark::State &state)
{
    Host host(kIdleVms, guestsim::Behaviour::Silent);
    if (!host.ok) {
        state.SkipWithError("the daemon did not connect to every guest");
        return;
    }
    std::this_thread::sleep_for(1s);   // start-up settled
    double cpu = 0;
    for (auto _ : state) {
        double before = bench::ProcessCpuMs(host.daemon.Pid());
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        cpu += bench::ProcessCpuMs(host.daemon.Pid()) - before;
    }
    state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations());
}

void BM_BarePollOf256SilentSockets(benchmark::State &state)
{
    std::vector<int> ends;
    std::vector<pollfd> set;
    for (int i = 0; i < kIdleVms; ++i) {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        ends.push_back(sv[0]);
        ends.push_back(sv[1]);
        set.push_back({sv[0], POLLIN | POLLPRI, 0});
    }
    double cpu = 0;
    for (auto _ : state) {
        double before = bench::ProcessCpuMs(getpid());
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(state.range(0));
        for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
            poll(set.data(), set.size(), static_cast<int>(std::min<long>(left, 30000)));   // the daemon's poll time-out
        }
        cpu += bench::ProcessCpuMs(getpid()) - before;
    }
    state.counters["cpu_ms"] = cpu / static_cast<double>(state.iterations());
    for (int fd : ends) {
        close(fd);
    }
}

void BM_HealthCheckRoundTrip(benchmark::State &state)
{
    Host host(1, guestsim::Behaviour::Answer);
    upgd_test::ManageClient client;
    if (!host.ok || !client.Connected()) {
        state.SkipWithError("no daemon");
        return;
    }
    const std::string body = upgd_test::ActionBody("vm0", 1);
    uint64_t id = 0;
    for (auto _ : state) {
        if (!client.Ask(++id, UPG_MSG_HEALTH_CHECK, body)) {
            state.SkipWithError("no reply");
            break;
        }
    }
}

// The same hops without the daemon: client -> relay -> guest -> relay -> client.
void BM_BareRelayRoundTrip(benchmark::State &state)
{
    bench::BareRelay relay(HOST_HEAD_LEN + 16, HOST_HEAD_LEN + 8, true);
    const std::string request(HOST_HEAD_LEN + 16, '\0');
    for (auto _ : state) {
        if (!relay.RoundTrip(request)) {
            state.SkipWithError("relay broke");
            break;
        }
    }
}

BENCHMARK(BM_DaemonIdleWith256Guests)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_BarePollOf256SilentSockets)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_HealthCheckRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareRelayRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
