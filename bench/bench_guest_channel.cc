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
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_virsh.h"
#include "guest_sim_host.h"
#include "manage_client.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
constexpr int kIdleVms = 256;

// User and system CPU time of a process, in milliseconds.
double ProcessCpuMs(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    for (int i = 0; i < 11; ++i) {
        fields >> skip;
    }
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The simulated host with `vms` guests and the daemon connected to all of them.
struct Host {
    explicit Host(int vms, guestsim::Behaviour behaviour)
    {
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
        upgd_test::MakeDirs(upgd_test::kIsoDir);
        upgd_test::InstallDriveScript();
        guestsim::VmOptions opts;
        opts.profile.behaviour = behaviour;
        for (int i = 0; i < vms; ++i) {
            sim.AddVm("vm" + std::to_string(i), opts);
        }
        ok = daemon.Start() && daemon.WaitStarted();
        for (int i = 0; ok && i < vms; ++i) {
            ok = sim.WaitAccepted("vm" + std::to_string(i), 1, 20s);
        }
    }
    ~Host() { daemon.Signal(SIGTERM), daemon.WaitExit(); }
    upgd_test::FakeVirsh virsh;
    guestsim::HostSim sim;
    upgd_test::Daemon daemon;
    bool ok = false;
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
        double before = ProcessCpuMs(host.daemon.Pid());
        std::this_thread::sleep_for(std::chrono::seconds(state.range(0)));
        cpu += ProcessCpuMs(host.daemon.Pid()) - before;
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
        double before = ProcessCpuMs(getpid());
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(state.range(0));
        for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
            poll(set.data(), set.size(), static_cast<int>(std::min<long>(left, 30000)));   // the daemon's poll time-out
        }
        cpu += ProcessCpuMs(getpid()) - before;
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
    int client[2], guest[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, client);
    socketpair(AF_UNIX, SOCK_STREAM, 0, guest);
    std::thread relay([&] {
        char head[HOST_HEAD_LEN + 16];
        VmMsg msg{};
        while (read(client[1], head, sizeof(head)) > 0) {
            if (write(guest[0], &msg, sizeof(msg)) < 0 || read(guest[0], &msg, sizeof(msg)) <= 0 ||
                write(client[1], head, HOST_HEAD_LEN + 8) < 0) {
                break;
            }
        }
    });
    std::thread answerer([&] {
        VmMsg msg{};
        while (read(guest[1], &msg, sizeof(msg)) > 0 && write(guest[1], &msg, sizeof(msg)) > 0) {
        }
    });
    char out[HOST_HEAD_LEN + 16] = {0}, in[HOST_HEAD_LEN + 8];
    for (auto _ : state) {
        if (write(client[0], out, sizeof(out)) < 0 || read(client[0], in, sizeof(in)) <= 0) {
            break;
        }
    }
    shutdown(client[0], SHUT_RDWR);
    shutdown(guest[1], SHUT_RDWR);
    relay.join();
    shutdown(guest[0], SHUT_RDWR);
    answerer.join();
    for (int fd : {client[0], client[1], guest[0], guest[1]}) {
        close(fd);
    }
}

BENCHMARK(BM_DaemonIdleWith256Guests)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_BarePollOf256SilentSockets)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_HealthCheckRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareRelayRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
