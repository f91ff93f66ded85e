// The real daemon on a simulated host of 1000 running VMs (live descriptions
// and guest channels served by the guest simulator, the host's syslog at
// /dev/log), each measurement beside its bare baseline in the same run:
//  - start-up: from the exec to the last guest accepting its channel, against
//    a bare program (this binary re-executed) that reads the run directory
//    and connects every channel; with the RSS of each once all are open;
//  - start-up CPU: what each used, its own and its commands', in its first
//    minute from the exec (the daemon idle after start-up: every drive
//    empty, no guest asking);
//  - idle CPU: the daemon's CPU time over one 30 s window (its command loop
//    wakes every 30 s when nothing happens), scaled to a minute, against a
//    thread polling 1000 silent sockets with the same time-out and making a
//    minimal scan of the run directory at each wake, in the same window;
//  - discovery: a request that costs the daemon one discovery pass and
//    nothing else (a health check of a VM that does not run: read, pass,
//    lookup, failure reply), against the same bytes through a bare relay
//    that makes a minimal scan of the directory; then, once the daemon is
//    gone, one pass of the daemon's own discovery in this process against
//    the minimal scan alone;
//  - health check round trip (client -> daemon -> guest -> daemon -> client)
//    against the same bytes through a bare relay between the same kinds of
//    sockets, once with the request written whole and once (Arg 1) with its
//    header and body 1 ms apart; and the host commands the daemon runs for
//    one health check, run here through its command runner, which is where
//    the time goes; then among hostile peers with 300 idle clients (Arg 2)
//    and with 1000 idle clients connected (Arg 3), each against the quiet
//    round trip (vs_quiet);
//  - the host state: a whole fetch through the client library once every
//    guest has reported six modules, against the same number of round trips
//    of the same average size through a bare relay; with the daemon's RSS;
//  - the daemon's VmRSS and VmHWM after all that traffic;
//  - SIGTERM to exit, a management client still connected, against the bare
//    program's.
// The counters log_lines are the daemon's syslog lines per request. Runs
// inside the sandbox, about three minutes (two of them the start-up CPU rows' minutes): tools/bench Fleet.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bench_support.h"
#include "manage_client.h"
#include "ortavis_upgclient.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_vm.h"
#include "unix_socket.h"

namespace {

using bench::Clock;
using namespace std::chrono_literals;

constexpr int kVms = 1000;
constexpr const char *kBareFlag = "--bare-connect";
constexpr auto kSplitPause = std::chrono::milliseconds(1);

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// ---- The bare program ------------------------------------------------------------

// What any daemon must do at start-up and no more: read the run directory
// and connect the channel of each running VM; then wait to be ended.
[[noreturn]] void BareConnectAll()
{
    std::vector<int> channels;
    if (DIR *dir = opendir(VM_RUN_DIR)) {
        while (dirent *e = readdir(dir)) {
            std::string_view name(e->d_name);
            if (name.size() <= 4 || !name.ends_with(".xml")) {
                continue;
            }
            int fd = simhost::ConnectUnix(std::string(VM_RUN_DIR) + "/" + std::string(name.substr(0, name.size() - 4)) +
                                          ".upgraded");
            if (fd >= 0) {
                channels.push_back(fd);
            }
        }
        closedir(dir);
    }
    for (;;) {
        pause();   // SIGTERM's default action ends it
    }
}

// What a minimal scanner must do per pass over the run directory: take each
// name ending in ".xml", look it up among the VMs it knows and mark it seen,
// then sweep for the known ones not seen. Nothing changed, so nothing is
// connected or copied.
class MinimalScanner {
public:
    explicit MinimalScanner(int vms)
    {
        for (int i = 0; i < vms; ++i) {
            known_.emplace(bench::VmName(i), 0);
        }
    }
    size_t Scan()
    {
        ++pass_;
        size_t seen = 0;
        if (DIR *dir = opendir(VM_RUN_DIR)) {
            while (dirent *e = readdir(dir)) {
                std::string_view name(e->d_name);
                if (name.size() <= 4 || !name.ends_with(".xml")) {
                    continue;
                }
                auto it = known_.find(name.substr(0, name.size() - 4));
                if (it != known_.end()) {
                    it->second = pass_;
                    ++seen;
                }
            }
            closedir(dir);
        }
        size_t gone = 0;
        for (const auto &[name, mark] : known_) {
            gone += mark != pass_;
        }
        return seen + gone;
    }

private:
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, uint64_t, Hash, std::equal_to<>> known_;
    uint64_t pass_ = 0;
};

// ---- The fleet -----------------------------------------------------------------------

// One host for the whole run; the benchmarks below take it through its
// phases in the order they are registered.
struct Fleet {
    upgd_test::LogCollector log;   // first: the daemon's syslog connects to it
    bench::DaemonHost host{kVms, guestsim::Behaviour::Answer};
    std::unique_ptr<upgd_test::ManageClient> client;
    pid_t bare = -1;
    Clock::time_point bareStarted{};
    Clock::time_point daemonStarted{};
    uint64_t msgId = 0;
    size_t healthRequestLen = 0;
    size_t healthReplyLen = 0;
    double quietHealthMs = 0;   // the quiet round trip, for the rows that compare with it

    ~Fleet() { EndBare(); }
    // The bare program ended, untimed, when a filter skipped its stop.
    void EndBare()
    {
        if (bare > 0) {
            kill(bare, SIGTERM);
            waitpid(bare, nullptr, 0);
            bare = -1;
        }
    }
    // True once the guests have let go of every client (the simulator serves
    // one at a time, and a connect meanwhile would wait in the backlog).
    bool WaitAllIdle(std::chrono::milliseconds timeout = 10s) const
    {
        return upgd_test::WaitUntil(
            [&] {
                for (int i = 0; i < kVms; ++i) {
                    if (host.sim.Connected(bench::VmName(i))) {
                        return false;
                    }
                }
                return true;
            },
            timeout);
    }
    // The daemon, started (untimed) when a filter skipped its start-up.
    bool Daemon()
    {
        EndBare();
        if (host.daemon.Pid() < 0 && (!WaitAllIdle() || !host.StartDaemon())) {
            return false;
        }
        if (!client) {
            client = std::make_unique<upgd_test::ManageClient>();
        }
        return client->Connected();
    }
};

Fleet &TheFleet()
{
    static Fleet fleet;   // destroyed at exit: the daemon gets its SIGTERM
    return fleet;
}

void ReportMemory(benchmark::State &state, pid_t pid)
{
    state.counters["VmRSS_KiB"] = static_cast<double>(upgd_test::StatusKib(pid, "VmRSS"));
    state.counters["VmHWM_KiB"] = static_cast<double>(upgd_test::StatusKib(pid, "VmHWM"));
}

// The daemon's syslog lines per request: each is a message to /dev/log.
void CountLogLines(benchmark::State &state, const Fleet &f, size_t before)
{
    std::this_thread::sleep_for(50ms);   // the last reply's lines in flight
    if (state.iterations() > 0) {
        state.counters["log_lines"] =
            static_cast<double>(f.log.Lines().size() - before) / static_cast<double>(state.iterations());
    }
}

// ---- Start-up ---------------------------------------------------------------------------

void BM_FleetStartUp_Bare(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (!f.host.ok || f.host.daemon.Pid() > 0) {
        state.SkipWithError("no fresh host");
        return;
    }
    for (auto _ : state) {
        const int before = f.host.sim.Accepted(bench::VmName(0));
        const auto t0 = Clock::now();
        f.bareStarted = t0;
        f.bare = fork();
        if (f.bare == 0) {
            execl("/proc/self/exe", "bench_fleet", kBareFlag, static_cast<char *>(nullptr));
            _exit(127);
        }
        if (f.bare < 0 || !f.host.WaitAllAccepted(before + 1)) {
            state.SkipWithError("the bare program did not connect every channel");
            return;
        }
        state.SetIterationTime(Seconds(Clock::now() - t0));
    }
    ReportMemory(state, f.bare);
}

void BM_FleetStop_Bare(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (f.bare <= 0) {
        state.SkipWithError("no bare program");
        return;
    }
    for (auto _ : state) {
        const auto t0 = Clock::now();
        kill(f.bare, SIGTERM);
        waitpid(f.bare, nullptr, 0);
        state.SetIterationTime(Seconds(Clock::now() - t0));
        f.bare = -1;
    }
}

void BM_FleetStartUp_Daemon(benchmark::State &state)
{
    Fleet &f = TheFleet();
    f.EndBare();
    if (!f.host.ok || f.host.daemon.Pid() > 0 || !f.WaitAllIdle()) {
        state.SkipWithError("no fresh host");
        return;
    }
    for (auto _ : state) {
        Clock::duration open{};
        f.daemonStarted = Clock::now();
        if (!f.host.StartDaemon(&open)) {
            state.SkipWithError("the daemon did not connect every channel");
            return;
        }
        state.SetIterationTime(Seconds(open));
    }
    ReportMemory(state, f.host.daemon.Pid());
    if (!f.Daemon()) {
        state.SkipWithError("no management connection");
        return;
    }
    // The descriptor the daemon gave the management client, from its log line.
    const std::string accepted = "accept a new fd ";
    (void)f.log.WaitFor(accepted);
    for (const std::string &text : f.log.Texts()) {
        if (size_t at = text.find(accepted); at != std::string::npos) {
            state.counters["client_fd"] = std::stod(text.substr(at + accepted.size()));
        }
    }
    state.counters["channels_logged"] = static_cast<double>(f.log.Count("vm list add vm : "));
}

// The CPU a process and its reaped children (the commands it ran) used so
// far, from /proc/PID/stat, in milliseconds.
double ProcessAndChildrenCpuMs(pid_t pid)
{
    std::string stat = upgd_test::ReadFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
    size_t at = stat.rfind(')');
    if (at == std::string::npos) {
        return -1;
    }
    // After the command's name: the state (read as 0), then fields 4 on, so
    // field N is fields[N - 3]; utime is the 14th.
    std::vector<long long> fields;
    for (const char *p = stat.c_str() + at + 2; *p != '\0' && fields.size() < 15;) {
        char *end = nullptr;
        fields.push_back(std::strtoll(p, &end, 10));
        p = *end != '\0' ? end + 1 : end;
    }
    if (fields.size() < 15) {
        return -1;
    }
    const long long ticks = fields[11] + fields[12] + fields[13] + fields[14];   // utime stime cutime cstime
    return static_cast<double>(ticks) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The CPU of the process's first range(0) seconds from its exec, scaled to a
// minute: all it did to start among the VMs and settle.
void ReportFirstCpu(benchmark::State &state, pid_t pid, Clock::time_point started)
{
    for (auto _ : state) {
        std::this_thread::sleep_until(started + std::chrono::seconds(state.range(0)));
        state.counters["cpu_ms_per_min"] = ProcessAndChildrenCpuMs(pid) * 60.0 / static_cast<double>(state.range(0));
    }
}

void BM_FleetStartUpCpu_Bare(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (f.bare <= 0) {
        state.SkipWithError("no bare program");
        return;
    }
    ReportFirstCpu(state, f.bare, f.bareStarted);
}

void BM_FleetStartUpCpu_Daemon(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (f.host.daemon.Pid() <= 0 || f.daemonStarted == Clock::time_point{}) {
        state.SkipWithError("no daemon started by the start-up row");
        return;
    }
    ReportFirstCpu(state, f.host.daemon.Pid(), f.daemonStarted);
}

// ---- Idle -------------------------------------------------------------------------------

double ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The daemon and the bare poller side by side over the same window.
void BM_FleetIdleCpuPerMinute(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (!f.Daemon()) {
        state.SkipWithError("no daemon");
        return;
    }
    const auto window = std::chrono::seconds(state.range(0));
    std::this_thread::sleep_for(1s);   // the client's connection settled
    for (auto _ : state) {
        double bareMs = 0;
        std::thread bare([&] {
            MinimalScanner scanner(kVms);
            std::vector<int> ends;
            std::vector<pollfd> set;
            for (int i = 0; i < kVms; ++i) {
                int sv[2];
                socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
                ends.insert(ends.end(), {sv[0], sv[1]});
                set.push_back({sv[0], POLLIN | POLLPRI, 0});
            }
            const double before = ThreadCpuMs();
            const auto end = Clock::now() + window;
            for (auto now = Clock::now(); now < end; now = Clock::now()) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
                poll(set.data(), set.size(), static_cast<int>(std::min<long>(left, 30000)));
                benchmark::DoNotOptimize(scanner.Scan());
            }
            bareMs = ThreadCpuMs() - before;
            for (int fd : ends) {
                close(fd);
            }
        });
        const double before = bench::ProcessCpuMs(f.host.daemon.Pid());
        std::this_thread::sleep_for(window);
        const double daemonMs = bench::ProcessCpuMs(f.host.daemon.Pid()) - before;
        bare.join();
        const double perMinute = 60.0 / static_cast<double>(state.range(0));
        state.counters["daemon_ms"] = daemonMs * perMinute;
        state.counters["bare_ms"] = bareMs * perMinute;
    }
}

// ---- Discovery --------------------------------------------------------------------------

std::string DiscoveryRequest(uint64_t id)
{
    return upgd_test::ManageMessage(id, UPG_MSG_HEALTH_CHECK, 0, upgd_test::ActionBody("no-such-vm", 1));
}

void BM_FleetDiscoveryRequest_Daemon(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (!f.Daemon()) {
        state.SkipWithError("no daemon");
        return;
    }
    const size_t linesBefore = f.log.Lines().size();
    for (auto _ : state) {
        if (!f.client->Send(DiscoveryRequest(++f.msgId))) {
            state.SkipWithError("not sent");
            break;
        }
        auto reply = f.client->Receive();
        if (!reply || reply->head.result != HOST_RESULT_FAIL || reply->head.bufLen != 0) {
            state.SkipWithError("no failure reply");
            break;
        }
    }
    CountLogLines(state, f, linesBefore);
}

void BM_FleetDiscoveryRequest_Bare(benchmark::State &state)
{
    MinimalScanner scanner(kVms);
    const std::string request = DiscoveryRequest(1);
    bench::BareRelay relay(request.size(), HOST_HEAD_LEN, false, [&] { benchmark::DoNotOptimize(scanner.Scan()); });
    for (auto _ : state) {
        if (!relay.RoundTrip(request)) {
            state.SkipWithError("relay broke");
            break;
        }
    }
}

// ---- Health check -------------------------------------------------------------------------

std::string HealthRequest(uint64_t id)
{
    return upgd_test::ManageMessage(id, UPG_MSG_HEALTH_CHECK, 0, upgd_test::ActionBody(bench::VmName(0), 1));
}

// The worst that peers can do at once beside a sound VM's health check:
// `idle` clients connected and silent, ten guests dribbling bytes, one
// flooding its channel and one half-closed (no guests for `idle` alone).
struct Adversaries {
    Adversaries(Fleet &f, int idle, bool guestsToo) : fleet(f)
    {
        for (int i = 0; i < idle; ++i) {
            clients.push_back(std::make_unique<upgd_test::ManageClient>());
            ok = ok && clients.back()->Connected();
        }
        for (int i = 0; guestsToo && i < 10; ++i) {
            Add("drip" + std::to_string(i), guestsim::Behaviour::Dribble);
        }
        if (guestsToo) {
            Add("flood", guestsim::Behaviour::Flood);
            Add("halfclosed", guestsim::Behaviour::HalfClose);
            // The next discovery pass connects them; a request runs one.
            ok = ok && fleet.client->Send(upgd_test::ManageMessage(++fleet.msgId, UPG_MSG_OPEN_CONNECT, 0, ""));
            ok = ok && fleet.log.WaitFor("vm list add vm : flood", 10s);
        }
    }
    void Add(const std::string &name, guestsim::Behaviour b)
    {
        guestsim::VmOptions opts;
        opts.profile.behaviour = b;
        ok = ok && guests.AddVm(name, opts);
    }
    Fleet &fleet;
    bool ok = true;
    std::vector<std::unique_ptr<upgd_test::ManageClient>> clients;
    // A simulator thread of their own, so that the fleet's guests answer as
    // soon as they are asked; its VMs go with it.
    guestsim::HostSim guests;
};

// Arg 0: quiet; 1: the request's header and body 1 ms apart; 2: among the
// adversaries above, with 300 idle clients; 3: with 1000 idle clients alone
// (vs_quiet: against the quiet round trip of this run).
void BM_FleetHealthRoundTrip_Daemon(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (!f.Daemon()) {
        state.SkipWithError("no daemon");
        return;
    }
    std::unique_ptr<Adversaries> load;
    if (state.range(0) >= 2) {
        load = std::make_unique<Adversaries>(f, state.range(0) == 2 ? 300 : 1000, state.range(0) == 2);
        if (!load->ok) {
            state.SkipWithError("the adversaries did not come up");
            return;
        }
    }
    const bool split = state.range(0) == 1;
    const auto started = Clock::now();
    const size_t linesBefore = f.log.Lines().size();
    for (auto _ : state) {
        const std::string request = HealthRequest(++f.msgId);
        bool sent = false;
        if (split) {
            sent = f.client->Send(request.substr(0, HOST_HEAD_LEN));
            std::this_thread::sleep_for(kSplitPause);
            sent = sent && f.client->Send(request.substr(HOST_HEAD_LEN));
        } else {
            sent = f.client->Send(request);
        }
        if (!sent) {
            state.SkipWithError("not sent");
            break;
        }
        // Result 0 only comes with the guest's own answer; the daemon's
        // answers on a guest's behalf carry 1.
        auto reply = f.client->Receive();
        if (!reply || reply->head.result != HOST_RESULT_OK || reply->head.msgId != f.msgId) {
            state.SkipWithError("no answer from the guest");
            break;
        }
        f.healthRequestLen = request.size();
        f.healthReplyLen = HOST_HEAD_LEN + reply->body.size();
    }
    if (state.iterations() > 0) {
        double ms = Seconds(Clock::now() - started) * 1000 / static_cast<double>(state.iterations());
        if (state.range(0) == 0) {
            f.quietHealthMs = ms;
        } else if (f.quietHealthMs > 0) {
            state.counters["vs_quiet"] = ms / f.quietHealthMs;
        }
    }
    CountLogLines(state, f, linesBefore);
}

// Arg 1: the request's header and body go out 1 ms apart, as from a client
// that writes them one by one.
void BM_FleetHealthRoundTrip_Bare(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (f.healthReplyLen == 0) {
        state.SkipWithError("no daemon reply to size the bare one by");
        return;
    }
    bench::BareRelay relay(f.healthRequestLen, f.healthReplyLen, true);
    const std::string request = HealthRequest(1);
    const size_t split = state.range(0) != 0 ? HOST_HEAD_LEN : 0;
    for (auto _ : state) {
        if (!relay.RoundTrip(request, split, kSplitPause)) {
            state.SkipWithError("relay broke");
            break;
        }
    }
}

// The host commands that one health check must run, bare: posix_spawn and
// waitpid, no runner of the daemon's: the guest agent probe, the CD-ROM
// check (a grep into a grep) and the drive script. daemon_vs_bare: the quiet
// round trip of this run against them.
pid_t SpawnBare(std::vector<const char *> argv, int in, int out)
{
    argv.push_back(nullptr);
    posix_spawn_file_actions_t acts;
    posix_spawn_file_actions_init(&acts);
    if (in >= 0) {
        posix_spawn_file_actions_adddup2(&acts, in, 0);
    }
    posix_spawn_file_actions_adddup2(&acts, out, 1);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &acts, nullptr, const_cast<char *const *>(argv.data()), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&acts);
    return pid;
}

// Runs argv with its output read to the end; its exit status, or -1.
int RunBare(std::vector<const char *> argv)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        return -1;
    }
    pid_t pid = SpawnBare(std::move(argv), -1, p[1]);
    close(p[1]);
    char buf[4096];
    while (read(p[0], buf, sizeof(buf)) > 0) {
    }
    close(p[0]);
    int status = -1;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunBarePipeline(std::vector<const char *> first, std::vector<const char *> second)
{
    int p[2];
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0 || pipe2(p, O_CLOEXEC) != 0) {
        return -1;
    }
    pid_t a = SpawnBare(std::move(first), -1, p[1]);
    pid_t b = SpawnBare(std::move(second), p[0], null);
    close(p[0]);
    close(p[1]);
    close(null);
    int status = -1;
    if (a > 0) {
        waitpid(a, nullptr, 0);
    }
    return b > 0 && waitpid(b, &status, 0) == b && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_FleetHealthCommands_Bare(benchmark::State &state)
{
    Fleet &f = TheFleet();
    const std::string vm = bench::VmName(1);
    const std::string xml = std::string(VM_RUN_DIR) + "/" + vm + ".xml";
    const auto started = Clock::now();
    for (auto _ : state) {
        if (RunBare({"virsh", "qemu-agent-command", "--timeout", "1", vm.c_str(), "{\"execute\":\"guest-ping\"}"}) != 0 ||
            RunBarePipeline({"grep", "-A", "11", "device='cdrom'", xml.c_str()}, {"grep", "hdb"}) != 0 ||
            RunBare({"bash", "/opt/patch/programfiles/ortavis/gethdbiso.sh", vm.c_str(), "check_hdb_cdrom"}) < 0) {
            state.SkipWithError("a command failed");
            break;
        }
    }
    if (state.iterations() > 0 && f.quietHealthMs > 0) {
        double ms = Seconds(Clock::now() - started) * 1000 / static_cast<double>(state.iterations());
        state.counters["daemon_vs_bare"] = f.quietHealthMs / ms;
    }
}

// ---- Host state ----------------------------------------------------------------------------

// Every guest reports six modules (an upgrade-state report), so the daemon
// keeps 1000 reports of the largest kind; false when they were not all read.
bool ReportSixModules(Fleet &f)
{
    static bool reported = false;
    // What a guest sends before the daemon drained its channel is dropped.
    if (!reported && !f.log.WaitForCount("clearVmSocketReadBuf vmname", kVms, 30s)) {
        return false;
    }
    for (int i = 0; i < kVms && !reported; ++i) {
        VmMsg msg{};
        msg.msgId = static_cast<uint64_t>(i) + 1;
        msg.msgType = VM_RSP_UPGRADE_STATE_MSG;
        msg.moduleNum = VM_MSG_MODULE_MAX;
        for (int m = 0; m < VM_MSG_MODULE_MAX; ++m) {
            ModuleInfo &mod = msg.module[m];
            std::snprintf(mod.name, sizeof(mod.name), "module%d", m);
            std::snprintf(mod.curversion, sizeof(mod.curversion), "1.0.%d.1", m);
            std::snprintf(mod.tarversion, sizeof(mod.tarversion), "1.0.%d.2", m);
            mod.type = ISO_LINUX;
        }
        if (!f.host.sim.Send(bench::VmName(i), msg)) {
            return false;
        }
    }
    // Waited for in the state itself: a guest whose log share earlier rows
    // used up reports without a log line.
    reported = reported || upgd_test::WaitUntil(
                               [] {
                                   UpgClientHandle *h = upgClientConnect(AF_UNIX);
                                   UpgClientHostState *s = nullptr;
                                   bool all = h != nullptr && upgClientGetHostState(h, &s) == 0 &&
                                              s->vmCount >= static_cast<size_t>(kVms);
                                   for (size_t i = 0; all && i < s->vmCount; ++i) {
                                       all = s->vms[i].moduleCount == VM_MSG_MODULE_MAX ||
                                             s->vms[i].name[0] != 'v';   // an adversary of the rows before
                                   }
                                   upgClientFreeHostState(s);
                                   (void)upgClientClose(h);
                                   return all;
                               },
                               30s);
    return reported;
}

size_t g_statePages = 0;       // requests of one whole fetch
size_t g_stateReplyBytes = 0;  // their replies' bytes, headers included

// The pages of one whole fetch, asked one by one on the fleet's raw client,
// each from the last name the one before held.
bool CountStatePages(Fleet &f)
{
    g_statePages = 0;
    g_stateReplyBytes = 0;
    UpgClientHostState held{};
    unsigned part = UPG_STATE_DAEMON;
    unsigned more = 0;
    bool ok = true;
    do {
        std::string after = held.vmCount > 0 ? held.vms[held.vmCount - 1].name : "";
        auto reply = f.client->Ask(++f.msgId, UPG_MSG_HOST_STATE, upgd_test::StateBody(part, after));
        ok = reply && reply->head.result == HOST_RESULT_OK &&
             upgClientParseStatePage(reinterpret_cast<const unsigned char *>(reply->body.data()), reply->body.size(),
                                     part, &held, &more) == 0;
        if (ok) {
            ++g_statePages;
            g_stateReplyBytes += sizeof(MsgHeadInfo) + reply->body.size();
        }
        part = UPG_STATE_VMS;
    } while (ok && more != 0);
    std::free(held.vms);
    return ok;
}

// The whole state through the client library: every page, parsed.
void BM_FleetHostState_Daemon(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (!f.Daemon()) {
        state.SkipWithError("no daemon");
        return;
    }
    if (!ReportSixModules(f) || !CountStatePages(f)) {
        state.SkipWithError("reports not all read, or no pages");
        return;
    }
    UpgClientHandle *h = upgClientConnect(AF_UNIX);
    size_t vms = 0, modules = 0;
    for (auto _ : state) {
        UpgClientHostState *s = nullptr;
        if (h == nullptr || upgClientGetHostState(h, &s) != 0) {
            state.SkipWithError("no state");
            break;
        }
        vms = s->vmCount;
        modules = s->vmCount > 0 ? static_cast<size_t>(s->vms[0].moduleCount) : 0;
        upgClientFreeHostState(s);
    }
    (void)upgClientClose(h);
    state.counters["vms"] = static_cast<double>(vms);
    state.counters["modules_each"] = static_cast<double>(modules);
    state.counters["pages"] = static_cast<double>(g_statePages);
    ReportMemory(state, f.host.daemon.Pid());
}

// The same number of round trips of the same average size through a bare relay.
void BM_FleetHostState_Bare(benchmark::State &state)
{
    if (g_statePages == 0) {
        state.SkipWithError("no page count (the daemon row did not run)");
        return;
    }
    const std::string request(sizeof(MsgHeadInfo) + sizeof(uint32_t), '\0');
    bench::BareRelay relay(request.size(), g_stateReplyBytes / g_statePages, false);
    for (auto _ : state) {
        for (size_t i = 0; i < g_statePages; ++i) {
            if (!relay.RoundTrip(request)) {
                state.SkipWithError("relay broke");
                return;
            }
        }
    }
    state.counters["pages"] = static_cast<double>(g_statePages);
}

// ---- Memory and stop ----------------------------------------------------------------------

void BM_FleetMemory_Daemon(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (!f.Daemon()) {
        state.SkipWithError("no daemon");
        return;
    }
    for (auto _ : state) {
    }
    ReportMemory(state, f.host.daemon.Pid());
}

void BM_FleetStop_Daemon(benchmark::State &state)
{
    Fleet &f = TheFleet();
    if (!f.Daemon()) {
        state.SkipWithError("no daemon");
        return;
    }
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, f.host.daemon.Pid(), 0)));
    for (auto _ : state) {
        const auto t0 = Clock::now();
        f.host.daemon.Signal(SIGTERM);
        pollfd exited{pidfd.Get(), POLLIN, 0};
        poll(&exited, 1, 30000);
        state.SetIterationTime(Seconds(Clock::now() - t0));
    }
    std::optional<int> status = f.host.daemon.WaitExit();
    if (!status || upgd_test::ExitCode(*status) != 0) {
        state.SkipWithError("the daemon did not exit cleanly");
    }
    f.client.reset();
}

// ---- Discovery in this process, the daemon gone -------------------------------------

void BM_FleetDiscoveryPass_InProcess(benchmark::State &state)
{
    // Once, the daemon gone: this process's registry connects every VM; the
    // passes measured change nothing.
    static bool connected = [] {
        Fleet &f = TheFleet();
        f.EndBare();
        if (f.host.daemon.Pid() > 0) {   // untimed, when a filter skipped its stop
            f.host.daemon.Signal(SIGTERM);
            f.host.daemon.WaitExit();
            f.client.reset();
        }
        if (f.host.daemon.Pid() > 0 || !f.WaitAllIdle()) {
            return false;
        }
        InitVmListLock();
        InitIndependentVmListLock();
        InitUpgVmListAddLock();
        const int before = f.host.sim.Accepted(bench::VmName(0));
        GetRunningVmList();
        return f.host.WaitAllAccepted(before + 1);
    }();
    if (!connected) {
        state.SkipWithError("the channels could not be taken over from the daemon");
        return;
    }
    for (auto _ : state) {
        GetRunningVmList();
    }
}

void BM_FleetMinimalScan(benchmark::State &state)
{
    MinimalScanner scanner(kVms);
    for (auto _ : state) {
        benchmark::DoNotOptimize(scanner.Scan());
    }
}

BENCHMARK(BM_FleetStartUp_Bare)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FleetStartUpCpu_Bare)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FleetStop_Bare)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FleetStartUp_Daemon)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FleetStartUpCpu_Daemon)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FleetIdleCpuPerMinute)->Arg(30)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FleetDiscoveryRequest_Daemon)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FleetDiscoveryRequest_Bare)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FleetHealthRoundTrip_Daemon)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetHealthRoundTrip_Bare)->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FleetHealthRoundTrip_Daemon)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetHealthRoundTrip_Bare)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_FleetHealthCommands_Bare)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetHealthRoundTrip_Daemon)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetHealthRoundTrip_Daemon)->Arg(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetHostState_Daemon)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetHostState_Bare)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_FleetMemory_Daemon)->Iterations(1);
BENCHMARK(BM_FleetStop_Daemon)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FleetDiscoveryPass_InProcess)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FleetMinimalScan)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], kBareFlag) == 0) {
        BareConnectAll();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
