// The real-host tier, run as one program inside sim/realhost: the daemon's
// discovery, command runner, agent probe and channel I/O against real libvirt
// and QEMU with tiny VMs (booted once, in parallel), and the fast tier's
// stand-ins (fake virsh, simulated live descriptions) against the real ones,
// and the drive script on the real live descriptions.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "fake_virsh.h"
#include "manage_client.h"
#include "ortavis_upgclient.h"
#include "guest_sim_host.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_server.h"
#include "realhost_vm.h"
#include "unix_socket.h"
#include "registry_view.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using realhost::RealHost;
using realhost::RealVm;
using upgd_test::LogCollector;

// The VMs booted once. Guest tools answer on all but kNoAgent; the agent
// answers only on kAnswering.
constexpr const char *kAnswering = "rh-answer";    // agent answer, tools answer, CD-ROM hdb
constexpr const char *kNoAgent = "rh-noagent";     // agent absent, tools silent, CD-ROM hdc
constexpr const char *kSilentAgent = "rh-silent";  // agent silent, tools answer, CD-ROM sdb
const std::pair<const char *, realhost::RealVmOptions> kBooted[] = {
    {kAnswering, {"answer", "answer", "hdb"}},
    {kNoAgent, {"absent", "silent", "hdc"}},
    {kSilentAgent, {"silent", "answer", "sdb"}},
};
const std::set<std::string> kBootedNames = {kAnswering, kNoAgent, kSilentAgent};

std::string Describing(const std::string &vm)
{
    return std::string(VM_RUN_DIR) + "/" + vm + ".xml";
}

class RealHostEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_EQ(RealHost::Problem(), "");
        ASSERT_EQ(upgd_test::InitRegistry(), 0);
        ASSERT_TRUE(upgd_test::InstallDriveScript());
        log = std::make_unique<LogCollector>();
        for (const auto &[name, opts] : kBooted) {
            std::string error;
            vms.push_back(RealVm::Start(name, opts, &error));
            ASSERT_TRUE(vms.back()) << error;
        }
        for (auto &vm : vms) {
            std::string why;
            ASSERT_TRUE(vm->WaitReady(180s, &why)) << why;
        }
    }
    void TearDown() override { vms.clear(), log.reset(); }   // each VM destroyed
    std::unique_ptr<LogCollector> log;
    std::vector<std::unique_ptr<RealVm>> vms;
};

RealHostEnvironment *g_env = nullptr;

// The exit status of a two-command pipeline through the daemon's runner, or -1.
int Pipeline(std::vector<std::string> first, std::vector<std::string> second)
{
    auto argv = [](std::vector<std::string> &v) {
        std::vector<char *> p;
        for (auto &s : v) {
            p.push_back(s.data());
        }
        p.push_back(nullptr);
        return p;
    };
    auto a = argv(first), b = argv(second);
    int status = -1;
    return seccmd_run_argset(nullptr, nullptr, &status, a.data(), b.data(), nullptr) == 0 ? status : -1;
}

// The CD-ROM bus check of the ISO attach path, and the domain check of upgrade control.
int CdromOnHdb(const std::string &description)
{
    return Pipeline({"grep", "-A", "11", "device='cdrom'", description}, {"grep", "hdb"});
}
int VmRunning(const std::string &vm)
{
    return Pipeline({"virsh", "domstate", vm}, {"grep", "running"});
}

// Writes a health check on the VM's channel as the daemon does and reads the
// answer; nullopt when the guest sent nothing within 15 s.
std::optional<VmMsg> HealthCheck(VmNode *vm, uint64_t msgId)
{
    VmMsg out{};
    out.msgId = msgId;
    out.msgType = UPG_MSG_CHECK_HEALTH;
    int fd = vm->fd;
    {
        MutexGuard write(&vm->writeLock);
        EXPECT_EQ(WriteFD(fd, &out, VM_MSG_LEN), VM_MSG_LEN);
    }
    VmMsg in;
    if (!simhost::RecvAll(fd, &in, VM_MSG_LEN, std::chrono::steady_clock::now() + std::chrono::seconds(15))) {
        return std::nullopt;
    }
    return in;
}

// The lines from the first that contains `first` through the next that contains `last`.
std::string Block(const std::string &text, const std::string &first, const std::string &last)
{
    size_t from = text.find(first);
    if (from == std::string::npos) {
        return "";
    }
    from = text.rfind('\n', from) + 1;   // npos + 1: the first line
    size_t to = text.find('\n', text.find(last, from));
    return text.substr(from, to == std::string::npos ? to : to + 1 - from);
}

using upgd_test::FindVm;
using upgd_test::RegistryNames;

// A VM that only has to exist: no guest waited for.
std::unique_ptr<RealVm> StartUnbooted(const std::string &name, const std::string &cdrom)
{
    std::string error;
    auto vm = RealVm::Start(name, {"absent", "absent", cdrom}, &error);
    EXPECT_TRUE(vm) << error;
    return vm;
}

class RealHostTest : public ::testing::Test {
protected:
    void SetUp() override { log().Clear(); }
    void TearDown() override { upgd_test::ClearRegistry(); }
    static LogCollector &log() { return *g_env->log; }
};

// ---- Discovery and guest channels -----------------------------------------------

TEST_F(RealHostTest, DiscoveryFollowsVmsFromCreateToDestroy)
{
    // The channel is there as soon as virsh create returns, long before the
    // guest has booted: the hypervisor listens, the guest side is closed.
    auto brief = StartUnbooted("rh-brief", "");
    ASSERT_TRUE(brief);
    GetRunningVmList();
    std::set<std::string> all = kBootedNames;
    all.insert("rh-brief");
    EXPECT_EQ(RegistryNames(), all) << "only <name>.xml among libvirt's files is a VM";
    VmRef entry = FindVm("rh-brief");
    ASSERT_TRUE(entry);
    int fd = entry->fd;
    ASSERT_GE(fd, 0);

    ASSERT_TRUE(brief->Destroy());
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1) << "no hang-up on the channel of a destroyed VM";
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0) << "the channel did not read end of file";
    EXPECT_FALSE(upgd_test::PathExists(brief->XmlPath()));
    EXPECT_FALSE(upgd_test::PathExists(brief->ChannelPath()));
    GetRunningVmList();
    EXPECT_EQ(RegistryNames(), kBootedNames);
    EXPECT_TRUE(entry->released.load());
    EXPECT_EQ(VmRunning("rh-brief"), 1);
}

TEST_F(RealHostTest, GuestAnswersAcrossALibvirtdRestartAndAReconnect)
{
    GetRunningVmList();
    VmRef before = FindVm(kAnswering);
    ASSERT_TRUE(before);
    auto answer = HealthCheck(before.get(), 0x5eed0001cafeULL);
    ASSERT_TRUE(answer) << "no answer from the guest; console:\n" << g_env->vms[0]->Console();
    EXPECT_EQ(answer->msgType, HOST_MSG_HEALTH_CHECK);
    EXPECT_EQ(answer->msgId, 0x5eed0001cafeULL);
    EXPECT_EQ(guestsim::GetText(answer->module[0].checkresult, sizeof(answer->module[0].checkresult)), "ok");

    // libvirtd goes and comes back; QEMU, the descriptions and the channel
    // stay, so the registry keeps its entry and its connection.
    ASSERT_TRUE(RealHost::RestartLibvirtd());
    GetRunningVmList();
    EXPECT_EQ(FindVm(kAnswering).get(), before.get());
    EXPECT_EQ(VmRunning(kAnswering), 0) << "the new libvirtd lost the running VM";
    ASSERT_TRUE(HealthCheck(before.get(), 901));

    // A second client is let in by connect() but not served while the daemon's connection stands;
    // once the command loop ends that channel, the waiting client is served, its message included.
    int failures = 0;
    int second = ConnectUnixSocket((std::string(VM_RUN_DIR) + "/" + kAnswering + ".upgraded").c_str(), &failures);
    ASSERT_GE(second, 0);
    VmMsg msg{};
    msg.msgId = 4242;
    msg.msgType = UPG_MSG_CHECK_HEALTH;
    ASSERT_EQ(write(second, &msg, sizeof(msg)), static_cast<ssize_t>(sizeof(msg)));
    pollfd pfd{second, POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 2000), 0) << "a second client was served beside the first";
    {
        ObjectLockGuard reg(GetVmListHead());
        CloseVmChannel(before.get());
    }
    ASSERT_EQ(poll(&pfd, 1, 15000), 1) << "the waiting client was never served";
    ASSERT_EQ(read(second, &msg, sizeof(msg)), static_cast<ssize_t>(sizeof(msg)));
    EXPECT_EQ(msg.msgId, 4242u);
    close(second);
    // The next pass connects anew and the guest answers on the new connection.
    GetRunningVmList();
    VmRef after = FindVm(kAnswering);
    ASSERT_TRUE(after);
    EXPECT_NE(after.get(), before.get());
    answer = HealthCheck(after.get(), 902);
    ASSERT_TRUE(answer) << "no answer on the reconnected channel";
    EXPECT_EQ(answer->msgId, 902u);
}

// ---- The stand-ins against the real programs ---------------------------------------

TEST_F(RealHostTest, FakeVirshAnswersAsTheRealOneAndTheDriveStaysOnHdb)
{
    const std::string ping = "{\"execute\":\"guest-ping\"}";
    const std::string iso = std::string(upgd_test::kIsoDir) + "/ortavis-linux-1.0.0.3.iso";
    const std::string next = std::string(upgd_test::kIsoDir) + "/ortavis-linux-1.0.0.4.iso";
    const std::string missing = iso + ".missing";
    ASSERT_TRUE(upgd_test::MakeDirs(upgd_test::kIsoDir));
    ASSERT_EQ(realhost::MakeIso(iso, "ORTAVIS"), "");
    ASSERT_EQ(realhost::MakeIso(next, "ORTAVIS"), "");
    auto media = StartUnbooted("rh-media", "hdb");
    ASSERT_TRUE(media);
    // The fake keeps its media in copies of the live descriptions taken now,
    // beside the real ones that libvirt keeps.
    const std::string fakeRun = RealHost::Dir() + "/fakeqemu";
    ASSERT_TRUE(upgd_test::MakeDirs(fakeRun));
    for (std::string vm : {kAnswering, "rh-media"}) {
        ASSERT_TRUE(upgd_test::WriteFile(fakeRun + "/" + vm + ".xml", upgd_test::ReadFile(Describing(vm)).value_or("")));
    }
    const std::map<std::string, std::string> fakeEnv = {{"FAKEVIRSH_DIR", RealHost::Dir() + "/fakevirsh"},
                                                        {"FAKEVIRSH_RUN_DIR", fakeRun}};
    // In order: the media calls walk one drive from new (an eject refused)
    // through media updated, inserted, replaced and ejected, with each of the
    // daemon's command shapes; `medium` is what the real drive holds after.
    struct Row {
        std::vector<std::string> args;
        std::string medium = "";   // for change-media on rh-media
    };
    const Row rows[] = {
        {{"domstate", kAnswering}},
        {{"domstate", "rh-gone"}},
        {{"domstate", "--frobnicate", kAnswering}},
        {{"qemu-agent-command", "--timeout", "1", kAnswering, ping}},
        {{"qemu-agent-command", "--timeout", "1", "rh-gone", ping}},
        {{"change-media", "rh-media", "hdb", "--eject"}, ""},                 // never held one: refused
        {{"change-media", "rh-media", "hdb", iso, "--eject"}, ""},
        {{"change-media", "rh-media", "hdb", iso, "--eject", "--force"}, ""},
        {{"change-media", "rh-media", "hdb", missing}, ""},                   // an update: its file checked
        {{"change-media", "rh-media", "hdb", "--force", missing}, ""},
        {{"change-media", "rh-media", "hdb", missing, "--insert"}, ""},
        {{"change-media", "rh-media", "hdb"}, ""},
        {{"change-media", "rh-media", "hdb", iso}, iso},                      // an update fills an empty drive
        {{"change-media", "rh-media", "hdb", iso}, iso},                      // the same medium: nothing changes
        {{"change-media", "rh-media", "hdb", next, "--insert"}, iso},         // already has one: refused
        {{"change-media", "rh-media", "hdb", "--force", next}, next},         // an update replaces it
        {{"change-media", "rh-media", "hdb", iso, "--eject"}, ""},            // the name is not looked at
        {{"change-media", "rh-media", "hdb", iso, "--eject", "--force"}, ""}, // empty, but held one: ejected
        {{"change-media", "rh-media", "hdb", "--eject"}, ""},
        {{"change-media", "rh-media", "hdb", iso, "--insert"}, iso},
        {{"change-media", "rh-media", "hdb", "--insert", "--eject"}, iso},
        {{"change-media", "rh-media", "hdb", next, "--update", "--insert"}, iso},
        {{"change-media", "rh-media", "hdb", "--eject"}, ""},
        {{"change-media", "rh-media", "hdz", "--eject"}, ""},
        {{"change-media", "rh-gone", "hdb", "--eject"}},
        {{"change-media", "rh-gone", "hdb", iso}},
    };
    for (const auto &[args, medium] : rows) {
        SCOPED_TRACE(::testing::PrintToString(args));
        std::vector<std::string> real = {"virsh"}, fake = {std::string(UPGD_FAKEBIN_DIR) + "/virsh"};
        real.insert(real.end(), args.begin(), args.end());
        fake.insert(fake.end(), args.begin(), args.end());
        auto r = realhost::RunCommand(real), f = realhost::RunCommand(fake, fakeEnv);
        EXPECT_EQ(f.status, r.status);
        EXPECT_EQ(f.out, r.out);
        EXPECT_EQ(f.err, r.err);
        if (args[1] != "rh-media") {
            continue;
        }
        // The fake changed its copy as libvirt changed the live description,
        // node index and all. With a medium in, the drive's block is at its
        // longest: its target must stay in the check's window.
        std::string live = upgd_test::ReadFile(media->XmlPath()).value_or("");
        std::string copy = upgd_test::ReadFile(fakeRun + "/rh-media.xml").value_or("");
        EXPECT_EQ(upgd_test::DriveSource("rh-media"), medium);
        EXPECT_EQ(Block(copy, "device='cdrom'", "</disk>"), Block(live, "device='cdrom'", "</disk>"));
        EXPECT_EQ(CdromOnHdb(media->XmlPath()), 0) << Block(live, "device='cdrom'", "</disk>");
        // The drive script reads the real description: 1 and the medium, or 0 for an empty drive.
        auto script = realhost::RunCommand({"bash", upgd_test::kDriveScript, "rh-media", "check_hdb_cdrom"}, fakeEnv);
        EXPECT_EQ(script.status, medium.empty() ? 0 : 1) << script.err;
        EXPECT_EQ(script.out, medium.empty() ? "" : medium + "\n");
    }
}

TEST_F(RealHostTest, StandInDescriptionsMatchTheRealOnes)
{
    std::string simDir = RealHost::Dir() + "/standin";
    ASSERT_TRUE(upgd_test::MakeDirs(simDir));
    guestsim::HostSim sim(simDir);
    for (const auto &[name, opts] : kBooted) {
        SCOPED_TRACE(name);
        guestsim::VmOptions simOpts;
        simOpts.cdromDev = opts.cdromDev;
        ASSERT_TRUE(sim.AddVm(name, simOpts));
        std::string real = upgd_test::ReadFile(Describing(name)).value_or("");
        std::string stand = upgd_test::ReadFile(sim.XmlPath(name)).value_or("");
        EXPECT_EQ(Block(stand, "device='cdrom'", "</disk>"), Block(real, "device='cdrom'", "</disk>"));
        std::string channel = "path='" + std::string(VM_RUN_DIR) + "/" + name + ".upgraded'";
        EXPECT_EQ(Block(stand, channel, "</channel>"), Block(real, channel, "</channel>"));
        // Only a drive on hdb passes the check: not hdc on IDE, not sdb on SATA.
        EXPECT_EQ(CdromOnHdb(Describing(name)), opts.cdromDev == "hdb" ? 0 : 1);
        // The drive script reads the same: an empty drive on hdb, or none there.
        auto script = realhost::RunCommand({"bash", upgd_test::kDriveScript, name, "check_hdb_cdrom"});
        EXPECT_EQ(script.status, opts.cdromDev == "hdb" ? 0 : 2) << script.err;
    }
}

// The agent's requests answered for real VMs through the real socket, and
// one whole upgrade of a real VM by the real daemon: the guest simulator
// inside gets the offer, asks for its ISO, the real drive takes it, the
// guest reports, and the drive is emptied again.
TEST_F(RealHostTest, TheDaemonUpgradesARealVm)
{
    const std::string iso = std::string(upgd_test::kIsoDir) + "/ortavis-linux.iso";
    std::filesystem::remove_all(upgd_test::kIsoDir);   // the product's ISO alone
    ASSERT_TRUE(upgd_test::MakeDirs(upgd_test::kIsoDir) && upgd_test::InstallDriveScript());
    ASSERT_EQ(realhost::MakeIso(iso, "ORTAVIS"), "");
    ASSERT_TRUE(upgd_test::WriteFile(std::string(upgd_test::kIsoDir) + "/version.info", "linuxversion=1.0.0.2\n"));
    ASSERT_TRUE(upgd_test::WriteFile(std::string(upgd_test::kIsoDir) + "/upgrade.conf", "interval=0"));
    upgd_test::Daemon daemon;
    ASSERT_TRUE(daemon.Start() && daemon.WaitStarted(&log())) << log().Dump();
    upgd_test::ManageClient client;
    auto ask = [&](uint64_t id, uint32_t type, const std::string &body) {
        EXPECT_TRUE(client.Send(upgd_test::ManageMessage(id, type, 0, body)));
        auto reply = client.Receive(60s);
        return reply ? std::make_pair(reply->head.result, reply->body) : std::make_pair(-1, std::string("(none)"));
    };
    const std::string vm = kAnswering;
    auto glance = [&] {   // the VM's row of the host state, as ortavis-upgctl list reads it
        UpgClientVmState row{};
        UpgClientHandle *h = upgClientConnect(AF_UNIX);
        UpgClientHostState *state = nullptr;
        for (size_t i = 0; h != nullptr && upgClientGetHostState(h, &state) == 0 && i < state->vmCount; ++i) {
            row = vm == state->vms[i].name ? state->vms[i] : row;
        }
        upgClientFreeHostState(state);
        (void)upgClientClose(h);
        return row;
    };
    ASSERT_EQ(ask(5, UPG_MSG_GET_UPG_RES, upgd_test::QueryBody(vm, "ortavis")).first, 0);
    UpgClientVmState before = glance();
    EXPECT_TRUE(before.channel == 1 && before.upgradeAvailable == 1 && before.moduleCount == 1);
    EXPECT_EQ(ask(1, UPG_MSG_HEALTH_CHECK, upgd_test::ActionBody(vm, 1)), std::make_pair(0, vm + ":{ok}"));
    // The agent probe: libvirt fails at once where no agent is connected, after its own 5 s where one is silent.
    for (const char *mute : {kNoAgent, kSilentAgent}) {
        EXPECT_EQ(ask(2, UPG_MSG_HEALTH_CHECK, upgd_test::ActionBody(mute, 1)),
                  std::make_pair(1, mute + std::string(":{13}")));
    }
    EXPECT_EQ(ask(3, UPG_START_UPGRADE_MSG, upgd_test::ControlBody(1, 0, vm)), std::make_pair(0, std::string()));
    EXPECT_TRUE(log().WaitFor("attach iso success: virsh change-media " + std::string(kAnswering) + " hdb " + iso, 120s))
        << log().Dump();
    EXPECT_TRUE(log().WaitFor("vm " + std::string(kAnswering) + " reset status", 120s));
    EXPECT_EQ(upgd_test::DriveSource(kAnswering), "");
    EXPECT_NE(g_env->vms[0]->Console().find("ortavis-guestsim: state ortavis 1.0.0.2 1.0.0.2 0"), std::string::npos)
        << g_env->vms[0]->Console();
    EXPECT_EQ(ask(4, UPG_MSG_GET_UPG_RES, upgd_test::QueryBody(vm, "ortavis")),
              std::make_pair(0, vm + ":{ortavis,1.0.0.2,0,1.0.0.2}"));
    UpgClientVmState after = glance();
    EXPECT_TRUE(after.upgradeAvailable == 0 && after.isoInDrive == 0 && after.moduleCount == 1 &&
                std::string(after.modules[0].curversion) == "1.0.0.2");
    ASSERT_TRUE(daemon.Signal(SIGTERM));
    EXPECT_EQ(upgd_test::ExitCode(daemon.WaitExit().value_or(-1)), 0);
}

}  // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_env = new RealHostEnvironment;
    ::testing::AddGlobalTestEnvironment(g_env);
    return RUN_ALL_TESTS();
}
