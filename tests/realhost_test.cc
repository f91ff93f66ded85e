// The real-host tier: the daemon's discovery, command runner, guest agent
// probe and channel I/O against a real libvirt + QEMU host with tiny VMs,
// run as one program inside sim/realhost. The VMs that must boot
// are started once for the whole program (RealHostEnvironment), in parallel;
// the few that only need to exist are started by their tests, which do not
// wait for a guest.
//
// The same run checks the stand-ins of the fast tier (the fake virsh, the
// guest simulator's live descriptions and channels) against the real
// programs, so that the two tiers keep telling the same story.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "guest_sim_host.h"
#include "guest_sim_logic.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_probe.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_vm.h"
#include "realhost_vm.h"
#include "registry_view.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using realhost::CommandResult;
using upgd_test::LogCollector;
using realhost::RealHost;
using realhost::RealVm;
using realhost::RealVmOptions;
using realhost::RunCommand;

// The VMs every test may use, booted once. Guest tools answer on all but
// kSilentTools; the agent answers only on kAnswering.
constexpr const char *kAnswering = "rh-answer";    // agent answer, tools answer, CD-ROM hdb
constexpr const char *kNoAgent = "rh-noagent";     // agent absent, tools silent, CD-ROM hdc
constexpr const char *kSilentAgent = "rh-silent";  // agent silent, tools answer, CD-ROM sdb
constexpr const char *kSilentTools = kNoAgent;

struct VmSpec {
    const char *name;
    RealVmOptions opts;
};
const VmSpec kBooted[] = {
    {kAnswering, {"answer", "answer", "hdb"}},
    {kNoAgent, {"absent", "silent", "hdc"}},
    {kSilentAgent, {"silent", "answer", "sdb"}},
};

std::string Slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

class RealHostEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string problem = RealHost::Problem();
        ASSERT_EQ(problem, "");
        ASSERT_EQ(InitVmListLock(), 0);
        ASSERT_EQ(InitIndependentVmListLock(), 0);
        ASSERT_EQ(InitUpgVmListAddLock(), 0);
        log = std::make_unique<LogCollector>();
        auto start = Clock::now();
        for (const auto &booted : kBooted) {
            std::string error;
            auto vm = RealVm::Start(booted.name, booted.opts, &error);
            ASSERT_TRUE(vm) << error;
            vms.push_back(std::move(vm));
        }
        for (auto &vm : vms) {
            std::string why;
            ASSERT_TRUE(vm->WaitReady(180s, &why)) << why;
        }
        std::printf("[realhost] %zu VMs booted in %.1f s\n", vms.size(), Seconds(Clock::now() - start));
    }
    void TearDown() override
    {
        {
            ObjectLockGuard reg(GetVmListHead());
            clearVmList(GetVmListHead());
        }
        auto start = Clock::now();
        for (auto &vm : vms) {
            EXPECT_TRUE(vm->Destroy()) << vm->Name();
        }
        std::printf("[realhost] %zu VMs destroyed in %.1f s\n", vms.size(), Seconds(Clock::now() - start));
        vms.clear();
        log.reset();
    }
    std::unique_ptr<LogCollector> log;
    std::vector<std::unique_ptr<RealVm>> vms;
};

RealHostEnvironment *g_env = nullptr;

// ---- The daemon's code, as its callers use it -----------------------------------

struct Pipeline {
    int ret = -1;
    int status = -1;
    std::string out;
};

// One or two commands through seccmd_run_argset, output captured.
Pipeline RunArgset(const std::vector<std::vector<std::string>> &commands)
{
    std::vector<std::vector<char *>> argv(commands.size());
    std::vector<std::vector<std::string>> copies = commands;
    for (size_t i = 0; i < copies.size(); ++i) {
        for (auto &s : copies[i]) {
            argv[i].push_back(s.data());
        }
        argv[i].push_back(nullptr);
    }
    Pipeline p;
    char *out = nullptr;
    if (argv.size() == 1) {
        p.ret = seccmd_run_argset(&out, nullptr, &p.status, argv[0].data(), nullptr);
    } else if (argv.size() == 2) {
        p.ret = seccmd_run_argset(&out, nullptr, &p.status, argv[0].data(), argv[1].data(), nullptr);
    }
    if (out != nullptr) {
        p.out = out;
        std::free(out);
    }
    return p;
}

// The CD-ROM bus check of the ISO attach path.
Pipeline CdromOnHdb(const std::string &descriptionPath)
{
    return RunArgset({{"grep", "-A", "11", "device='cdrom'", descriptionPath}, {"grep", "hdb"}});
}

// The domain check of upgrade control.
Pipeline VmRunning(const std::string &vm)
{
    return RunArgset({{"virsh", "domstate", vm}, {"grep", "running"}});
}

std::string Describing(const std::string &vm)
{
    return "/var/run/libvirt/qemu/" + vm + ".xml";
}

// Writes one VM message on the VM's channel as the daemon does (WriteFD
// under writeLock) and reads the answer with ReadFD; nullopt when the guest
// sent nothing within `wait`.
std::optional<VmMsg> RoundTrip(VmNode *vm, uint32_t type, uint64_t msgId, std::chrono::milliseconds wait,
                               const std::string &module = "")
{
    VmMsg out;
    std::memset(&out, 0, sizeof(out));
    out.msgId = msgId;
    out.msgType = type;
    if (!module.empty()) {
        out.moduleNum = 1;
        guestsim::SetText(out.module[0].name, sizeof(out.module[0].name), module);
        out.module[0].type = ISO_LINUX;
    }
    int fd = vm->fd;
    pthread_mutex_lock(&vm->writeLock);
    int written = WriteFD(fd, &out, VM_MSG_LEN);
    pthread_mutex_unlock(&vm->writeLock);
    EXPECT_EQ(written, VM_MSG_LEN);
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(wait.count())) != 1) {
        return std::nullopt;
    }
    VmMsg in;
    if (ReadFD(fd, &in, VM_MSG_LEN) != VM_MSG_LEN) {
        return std::nullopt;
    }
    return in;
}

int ConnectRaw(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The lines from the first that contains `first` through the next that
// contains `last`.
std::string Block(const std::string &text, const std::string &first, const std::string &last)
{
    std::istringstream in(text);
    std::string line, out;
    bool inside = false;
    while (std::getline(in, line)) {
        inside = inside || line.find(first) != std::string::npos;
        if (inside) {
            out += line + "\n";
            if (line.find(last) != std::string::npos) {
                break;
            }
        }
    }
    return out;
}

class RealHostTest : public ::testing::Test {
protected:
    void SetUp() override { log().Clear(); }
    void TearDown() override
    {
        ObjectLockGuard reg(GetVmListHead());
        clearVmList(GetVmListHead());
    }
    static LogCollector &log() { return *g_env->log; }
    static std::set<std::string> Names()
    {
        auto names = upgd_test::RegistryNames();
        return std::set<std::string>(names.begin(), names.end());
    }
    static VmRef Find(const std::string &name) { return upgd_test::FindVm(name); }
    // A VM that only has to exist: no guest waited for.
    static std::unique_ptr<RealVm> StartUnbooted(const std::string &name, const std::string &cdrom)
    {
        std::string error;
        auto vm = RealVm::Start(name, {"absent", "absent", cdrom}, &error);
        EXPECT_TRUE(vm) << error;
        return vm;
    }
};

// ---- Discovery and guest channels -----------------------------------------------

TEST_F(RealHostTest, DiscoveryConnectsTheChannelOfEveryRunningVm)
{
    GetRunningVmList();
    EXPECT_EQ(Names(), (std::set<std::string>{kAnswering, kNoAgent, kSilentAgent}));
    std::map<std::string, VmNode *> first;
    for (const auto &booted : kBooted) {
        VmRef vm = Find(booted.name);
        ASSERT_TRUE(vm) << booted.name;
        EXPECT_GE(vm->fd.load(), 0) << booted.name;
        EXPECT_TRUE(log().WaitFor(std::string("vm list add vm : ") + booted.name)) << log().Dump();
        first[booted.name] = vm.get();
    }
    // Nothing changed: the same entries, no new connections.
    GetRunningVmList();
    for (const auto &[name, node] : first) {
        EXPECT_EQ(Find(name).get(), node) << name;
        EXPECT_EQ(log().Count("vm list add vm : " + name), 1u) << name;
    }
}

TEST_F(RealHostTest, DiscoveryFollowsAVmFromCreateToDestroy)
{
    GetRunningVmList();
    ASSERT_EQ(Find("rh-brief").get(), nullptr);
    // The channel is there as soon as virsh create returns, long before the
    // guest has booted: the hypervisor listens, the guest side is closed.
    auto brief = StartUnbooted("rh-brief", "");
    ASSERT_TRUE(brief);
    GetRunningVmList();
    VmRef entry = Find("rh-brief");
    ASSERT_TRUE(entry);
    int fd = entry->fd;
    ASSERT_GE(fd, 0);
    EXPECT_EQ(VmRunning("rh-brief").status, 0);

    auto start = Clock::now();
    ASSERT_TRUE(brief->Destroy());
    std::printf("[realhost] destroy took %.2f s\n", Seconds(Clock::now() - start));
    // The hang-up reaches the daemon's descriptor at once.
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1) << "no hang-up on the channel of a destroyed VM";
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "the channel did not read end of file";
    EXPECT_FALSE(upgd_test::PathExists(brief->XmlPath()));
    EXPECT_FALSE(upgd_test::PathExists(brief->ChannelPath()));

    GetRunningVmList();
    EXPECT_EQ(Names(), (std::set<std::string>{kAnswering, kNoAgent, kSilentAgent}));
    EXPECT_TRUE(entry->released.load());
    EXPECT_EQ(entry->fd.load(), -1);
    EXPECT_EQ(VmRunning("rh-brief").status, 1);
}

TEST_F(RealHostTest, HealthCheckGoesThroughTheChannelToTheGuestAndBack)
{
    GetRunningVmList();
    VmRef vm = Find(kAnswering);
    ASSERT_TRUE(vm);
    auto answer = RoundTrip(vm.get(), UPG_MSG_CHECK_HEALTH, 0x5eed0001cafeULL, 15s);
    ASSERT_TRUE(answer) << "no answer from the guest; console:\n" << g_env->vms[0]->Console();
    EXPECT_EQ(answer->msgType, HOST_MSG_HEALTH_CHECK);
    EXPECT_EQ(answer->msgId, 0x5eed0001cafeULL);
    EXPECT_EQ(guestsim::GetText(answer->module[0].checkresult, sizeof(answer->module[0].checkresult)), "ok");

    // A result query carries the guest's module record back.
    answer = RoundTrip(vm.get(), UPG_MSG_QUERY_UPGRADE_RESULT_REQ, 77, 15s, "ortavis");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->msgType, HOST_MSG_GET_UPG_RES);
    EXPECT_EQ(answer->msgId, 77u);
    EXPECT_EQ(guestsim::GetText(answer->module[0].name, sizeof(answer->module[0].name)), "ortavis");
    EXPECT_EQ(guestsim::GetText(answer->module[0].curversion, sizeof(answer->module[0].curversion)), "1.0.0.1");

    // Guest tools that read and never answer leave the daemon's read empty.
    VmRef quiet = Find(kSilentTools);
    ASSERT_TRUE(quiet);
    EXPECT_FALSE(RoundTrip(quiet.get(), UPG_MSG_CHECK_HEALTH, 78, 2s));
}

TEST_F(RealHostTest, ChannelServesOneClientAtATime)
{
    GetRunningVmList();
    VmRef vm = Find(kSilentAgent);
    ASSERT_TRUE(vm);
    // A second client is let in by connect() but is not served while the
    // daemon's connection stands.
    int second = ConnectRaw("/var/run/libvirt/qemu/" + std::string(kSilentAgent) + ".upgraded");
    ASSERT_GE(second, 0);
    VmMsg ask;
    std::memset(&ask, 0, sizeof(ask));
    ask.msgId = 4242;
    ask.msgType = UPG_MSG_CHECK_HEALTH;
    ASSERT_EQ(write(second, &ask, sizeof(ask)), static_cast<ssize_t>(sizeof(ask)));
    pollfd pfd{second, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 2000), 0) << "a second client was served beside the first";
    // Once the daemon lets go, the waiting client is served, its message included.
    {
        ObjectLockGuard reg(GetVmListHead());
        clearVmList(GetVmListHead());
    }
    ASSERT_EQ(poll(&pfd, 1, 15000), 1) << "the waiting client was never served";
    VmMsg got;
    ASSERT_EQ(read(second, &got, sizeof(got)), static_cast<ssize_t>(sizeof(got)));
    EXPECT_EQ(got.msgId, 4242u);
    EXPECT_EQ(got.msgType, HOST_MSG_HEALTH_CHECK);
    close(second);
}

TEST_F(RealHostTest, HungUpChannelIsReconnectedAlsoAcrossALibvirtdRestart)
{
    GetRunningVmList();
    VmRef before = Find(kAnswering);
    ASSERT_TRUE(before);

    // libvirtd goes and comes back; QEMU, the descriptions and the channel
    // stay, so the registry keeps its entry and its connection.
    ASSERT_TRUE(RealHost::RestartLibvirtd());
    EXPECT_TRUE(upgd_test::PathExists(Describing(kAnswering)));
    GetRunningVmList();
    EXPECT_EQ(Find(kAnswering).get(), before.get());
    EXPECT_EQ(log().Count(std::string("vm list add vm : ") + kAnswering), 1u);
    EXPECT_EQ(VmRunning(kAnswering).status, 0) << "the new libvirtd lost the running VM";
    auto answer = RoundTrip(before.get(), UPG_MSG_CHECK_HEALTH, 901, 15s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->msgId, 901u);

    // The command loop's handling of a hang-up: it closes the channel and
    // marks the entry; the next pass connects anew and the guest answers on
    // the new connection.
    {
        ObjectLockGuard reg(GetVmListHead());
        close(before->fd.exchange(-1));
    }
    GetRunningVmList();
    VmRef after = Find(kAnswering);
    ASSERT_TRUE(after);
    EXPECT_NE(after.get(), before.get());
    ASSERT_GE(after->fd.load(), 0);
    answer = RoundTrip(after.get(), UPG_MSG_CHECK_HEALTH, 902, 15s);
    ASSERT_TRUE(answer) << "no answer on the reconnected channel";
    EXPECT_EQ(answer->msgId, 902u);
}

// ---- Command runner on real descriptions and a real virsh ------------------------

TEST_F(RealHostTest, CdromCheckFindsTheDriveOnHdbOnly)
{
    struct Row {
        const char *vm;
        int status;
    };
    const Row rows[] = {
        {kAnswering, 0},      // hdb on IDE
        {kNoAgent, 1},        // hdc on IDE
        {kSilentAgent, 1},    // sdb on SATA
        {"rh-nowhere", 1},    // no description at all
    };
    for (const auto &r : rows) {
        Pipeline p = CdromOnHdb(Describing(r.vm));
        EXPECT_EQ(p.ret, 0) << r.vm;
        EXPECT_EQ(p.status, r.status) << r.vm << "\n" << p.out;
    }
}

TEST_F(RealHostTest, ChangeMediaInsertsAndEjectsTheIso)
{
    auto vm = StartUnbooted("rh-media", "hdb");
    ASSERT_TRUE(vm);
    ASSERT_TRUE(upgd_test::MakeDirs(upgd_test::kIsoDir));
    std::string iso = std::string(upgd_test::kIsoDir) + "/ortavis-linux-1.0.0.2.iso";
    ASSERT_EQ(realhost::MakeIso(iso, "ORTAVIS"), "");
    EXPECT_EQ(VmRunning("rh-media").status, 0);
    // A drive that never held a medium refuses an eject.
    EXPECT_EQ(RunArgset({{"virsh", "change-media", "rh-media", "hdb", "--eject"}}).status, 1);

    Pipeline p = RunArgset({{"virsh", "change-media", "rh-media", "hdb", iso, "--insert"}});
    ASSERT_EQ(p.ret, 0);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "Successfully inserted media.\n");
    std::string live = Slurp(vm->XmlPath());
    EXPECT_NE(live.find("<source file='" + iso + "'"), std::string::npos) << live;
    // With a medium in, the drive's block is at its longest; its target
    // must still fall within the check's window.
    EXPECT_EQ(CdromOnHdb(vm->XmlPath()).status, 0) << Block(live, "device='cdrom'", "</disk>");

    p = RunArgset({{"virsh", "change-media", "rh-media", "hdb", "--eject"}});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "Successfully ejected media.\n");
    live = Slurp(vm->XmlPath());
    EXPECT_EQ(live.find("<source file="), std::string::npos);
    EXPECT_EQ(CdromOnHdb(vm->XmlPath()).status, 0);

    // Once it has held one, ejecting the empty drive succeeds; inserting a
    // missing file does not.
    EXPECT_EQ(RunArgset({{"virsh", "change-media", "rh-media", "hdb", "--eject"}}).status, 0);
    p = RunArgset({{"virsh", "change-media", "rh-media", "hdb", iso + ".missing", "--insert"}});
    EXPECT_EQ(p.ret, 0);
    EXPECT_EQ(p.status, 1);
    EXPECT_TRUE(vm->Destroy());
}

// ---- Guest agent probe -------------------------------------------------------------

TEST_F(RealHostTest, ProbeSucceedsOnlyWhereTheAgentAnswers)
{
    struct Row {
        const char *vm;
        int mode;
        int want;
        std::chrono::milliseconds atLeast, atMost;
        const char *logged;
    };
    const Row rows[] = {
        {kAnswering, PING_MODE_ONCE, 1, 0ms, 3s, "ret is 0 and pszBuffer is {\"return\":{}}"},
        {kAnswering, PING_MODE_PATIENT, 1, 0ms, 3s, "ret is 0 and pszBuffer is {\"return\":{}}"},
        // Not connected: virsh gives up at once.
        {kNoAgent, PING_MODE_ONCE, 0, 0ms, 3s, "domname rh-noagent, qemu-agent-command ping execute failed"},
        // Connected but silent: libvirt waits its own 5 seconds, whatever --timeout says.
        {kSilentAgent, PING_MODE_ONCE, 0, 4s, 15s, "domname rh-silent, qemu-agent-command ping execute failed"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.vm) + " mode " + std::to_string(r.mode));
        log().Clear();
        auto start = Clock::now();
        EXPECT_EQ(pingVmGuestAgent(r.vm, r.mode), r.want);
        auto took = Clock::now() - start;
        std::printf("[realhost] ping %s mode %d: %.2f s\n", r.vm, r.mode, Seconds(took));
        EXPECT_GE(took, r.atLeast);
        EXPECT_LE(took, r.atMost);
        EXPECT_TRUE(log().WaitFor(r.logged)) << log().Dump();
    }
    // The failures were the command's own (status 1), not the runner's.
    log().Clear();
    EXPECT_EQ(pingVmGuestAgent(kNoAgent, PING_MODE_ONCE), 0);
    EXPECT_TRUE(log().WaitFor("ret is 1 and pszBuffer is")) << log().Dump();
}

// ---- The stand-ins against the real programs ---------------------------------------

TEST_F(RealHostTest, FakeVirshAnswersAsTheRealOne)
{
    const std::string ping = "{\"execute\":\"guest-ping\"}";
    const std::string missing = std::string(upgd_test::kIsoDir) + "/none.iso";
    const std::string iso = std::string(upgd_test::kIsoDir) + "/ortavis-linux-1.0.0.3.iso";
    ASSERT_TRUE(upgd_test::MakeDirs(upgd_test::kIsoDir));
    ASSERT_EQ(realhost::MakeIso(iso, "ORTAVIS"), "");
    auto media = StartUnbooted("rh-fidelity", "hdb");
    ASSERT_TRUE(media);
    // In order: the media calls walk one drive from new through a medium
    // inserted and ejected twice.
    const std::vector<std::vector<std::string>> calls = {
        {"domstate", kAnswering},
        {"domstate", "rh-gone"},
        {"qemu-agent-command", "--timeout", "1", kAnswering, ping},
        {"qemu-agent-command", "--timeout", "1", "rh-gone", ping},
        {"change-media", "rh-fidelity", "hdb", "--eject"},
        {"change-media", "rh-fidelity", "hdb", missing, "--insert"},
        {"change-media", "rh-fidelity", "hdb", iso, "--insert"},
        {"change-media", "rh-fidelity", "hdb", "--eject"},
        {"change-media", "rh-fidelity", "hdb", "--eject"},
        {"change-media", "rh-fidelity", "hdz", "--eject"},
        {"change-media", "rh-gone", "hdb", "--eject"},
    };
    const std::map<std::string, std::string> fakeEnv = {{"FAKEVIRSH_DIR", RealHost::Dir() + "/fakevirsh"}};
    for (const auto &args : calls) {
        std::string what;
        for (const auto &a : args) {
            what += " " + a;
        }
        SCOPED_TRACE("virsh" + what);
        std::vector<std::string> real = {"virsh"}, fake = {std::string(UPGD_FAKEBIN_DIR) + "/virsh"};
        real.insert(real.end(), args.begin(), args.end());
        fake.insert(fake.end(), args.begin(), args.end());
        CommandResult r = RunCommand(real);
        CommandResult f = RunCommand(fake, fakeEnv);
        EXPECT_EQ(f.status, r.status);
        EXPECT_EQ(f.out, r.out);
        EXPECT_EQ(f.err, r.err);
    }
}

TEST_F(RealHostTest, StandInDescriptionsAndChannelsMatchTheRealOnes)
{
    std::string simDir = RealHost::Dir() + "/standin";
    ASSERT_TRUE(upgd_test::MakeDirs(simDir));
    guestsim::HostSim sim(simDir);
    for (const auto &booted : kBooted) {
        SCOPED_TRACE(booted.name);
        guestsim::VmOptions opts;
        opts.cdromDev = booted.opts.cdromDev;
        ASSERT_TRUE(sim.AddVm(booted.name, opts));
        std::string real = Slurp(Describing(booted.name));
        std::string stand = Slurp(sim.XmlPath(booted.name));
        struct stat realSt {}, standSt {};
        ASSERT_EQ(stat(Describing(booted.name).c_str(), &realSt), 0);
        ASSERT_EQ(stat(sim.XmlPath(booted.name).c_str(), &standSt), 0);
        EXPECT_EQ(standSt.st_mode & 07777, realSt.st_mode & 07777);
        EXPECT_NE(real.find("<domstatus state='running'"), std::string::npos);
        EXPECT_EQ(Block(stand, "device='cdrom'", "</disk>"), Block(real, "device='cdrom'", "</disk>"));
        std::string channel = "path='/var/run/libvirt/qemu/" + std::string(booted.name) + ".upgraded'";
        EXPECT_EQ(Block(stand, channel, "</channel>"), Block(real, channel, "</channel>"));
        EXPECT_EQ(CdromOnHdb(sim.XmlPath(booted.name)).status, CdromOnHdb(Describing(booted.name)).status);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_env = new RealHostEnvironment;
    ::testing::AddGlobalTestEnvironment(g_env);
    return RUN_ALL_TESTS();
}
