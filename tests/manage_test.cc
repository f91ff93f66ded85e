// The management channel end to end: the real daemon on the simulated host,
// raw request bytes on its socket, guests answering on their channels.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <tuple>
#include <vector>
#include <memory>
#include <string>
#include <thread>

#include "daemon_host.h"

namespace {

using namespace std::chrono_literals;
using namespace upgd_test;

class ManageChannel : public DaemonHost {
protected:
    void SetUp() override
    {
        virsh.Script("qemu-agent-command", "mute", {1, "\n", "error: Guest agent is not responding", ""});
        SetUpHost({"vm1", "vm2", "mute"});
    }
};


TEST_F(ManageChannel, RequestsAreAnsweredByTheGuestOrOnItsBehalf)
{
    ManageClient client;
    const struct { uint32_t type; std::string body; Reply want; } rows[] = {
        {UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), {0, "vm1:{ok}"}},
        {UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 2), {0, "vm1:{fixed}"}},
        {UPG_MSG_AUTO_CTRL, ActionBody("vm1", 1), {0, "vm1:{auto=1}"}},
        {UPG_MSG_GET_UPG_RES, QueryBody("vm1", "ortavis"), {0, "vm1:{ortavis,1.0.0.1,0,1.0.0.1}"}},
        {UPG_MSG_GET_UPG_RES, QueryBody("vm1", "foo"), {1, ""}},   // no ISO of that module
        {UPG_MSG_HEALTH_CHECK, ActionBody("ghost", 1), {1, ""}},
        {UPG_MSG_GET_UPG_RES, QueryBody("ghost", "ortavis"), {1, ""}},
        {UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 3), {1, ""}},
        {UPG_MSG_HEALTH_CHECK, ActionBody("mute", 1), {1, "mute:{13}"}},
        {UPG_MSG_AUTO_CTRL, ActionBody("mute", 1), {1, "mute:{13}"}},
        {UPG_MSG_GET_UPG_RES, QueryBody("mute", "ortavis"), {1, "mute:{ortavis,0.0.0.0,13,0.0.0.0}"}},
        {UPG_MSG_HEALTH_CHECK, std::string(600, 'x'), {4, ""}},   // over-long: refused, read past
        {UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), {0, "vm1:{ok}"}},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(Ask(r.type, r.body, client), r.want) << r.type << " " << r.body.substr(4, 5);
    }
    // Opening, type 7 without the host state tag and every type past it get no reply
    // and keep the connection in step. Closing gets none either and ends it.
    const std::pair<uint32_t, std::string> silent[] = {
        {UPG_MSG_OPEN_CONNECT, "x"}, {UPG_MSG_HOST_STATE, ""}, {UPG_MSG_HOST_STATE, std::string(4, '\0')},
        {UPG_MSG_HOST_STATE, std::string("\1\0\0\0", 4)},
        {UPG_MSG_HOST_STATE, std::string("\x8f\xd1\0\x7fUPGSTA\x13\xee\0\x04\x55\x9e", 16)},
        {UPG_MSG_HOST_STATE, StateBody(UPG_STATE_DAEMON).substr(1)}, {8, ""}, {99, ""}, {0x80000000u, "x"},
    };
    for (const auto &[type, body] : silent) {
        ASSERT_TRUE(client.Send(ManageMessage(7, type, 0, body)));
        EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client), Reply(0, "vm1:{ok}")) << type;
    }
    ASSERT_TRUE(client.Send(ManageMessage(8, UPG_MSG_CLOSE_CONNECT, 0, "")));
    EXPECT_FALSE(client.Receive(5s));
    EXPECT_TRUE(client.WaitClosed(5s));
    ManageClient second;

    // While vm2 upgrades (its ISO attached) the daemon answers for it; after
    // its report and the reset the guest answers again.
    guestsim::Profile offered;
    offered.modules = {{"ortavis", "1.0.0.2", "", 0, ISO_LINUX}};
    auto report = [&](uint32_t type) {
        size_t before = host.Received("vm2").size();
        EXPECT_TRUE(host.Send("vm2", guestsim::Request(type, offered)));
        return before;
    };
    size_t before = report(VM_REQ_ATTACH_ISO_MSG);
    ASSERT_TRUE(host.WaitReceived("vm2", before + 1, 10s)) << "no attach answer";
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm2", 1), second), Reply(1, "vm2:{3}"));
    EXPECT_EQ(Ask(UPG_MSG_AUTO_CTRL, ActionBody("vm2", 1), second), Reply(1, "vm2:{5}"));
    EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody("vm2", "ortavis"), second),
              Reply(1, "vm2:{ortavis,0.0.0.0,2,0.0.0.0}"));
    report(VM_RSP_UPGRADE_STATE_MSG);
    ASSERT_TRUE(log.WaitFor("vm vm2 reset status", 8s));
    EXPECT_EQ(DriveSource("vm2"), "");
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm2", 1), second), Reply(0, "vm2:{ok}"));
    // A silent guest that asked a moment ago for its ISO to come out (none was in) is taken to be upgrading
    // (2), not gone (13).
    ASSERT_TRUE(host.Send("mute", guestsim::Request(VM_REQ_DETACH_ISO_MSG, offered)));
    ASSERT_TRUE(log.WaitFor("vm mute: the drive is empty: nothing to eject"));
    EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody("mute", "ortavis"), second),
              Reply(1, "mute:{ortavis,0.0.0.0,2,0.0.0.0}"));
}

// The daemon adds its drive findings to a guest's check result: "4" a medium in it, "9" not on hdb.
TEST_F(ManageChannel, CheckResultsCarryTheDaemonsFindingsAboutTheDrive)
{
    guestsim::VmOptions sata;
    sata.cdromDev = "sdb";
    StartVm("sata", sata);
    ManageClient client;
    // action 1 health check, 2 fix; drive: the drive script's answer.
    const struct { const char *vm, *checkresult; uint32_t action; int drive; const char *want; } rows[] = {
        {"sata", "0", 1, 2, "sata:{9}"},         {"sata", "0,3", 1, 2, "sata:{0,9}"},
        {"sata", "1,3", 1, 2, "sata:{1,3,9}"},   {"sata", "1,9", 1, 2, "sata:{1,9}"},
        {"vm1", "0", 1, 1, "vm1:{4}"},           {"vm1", "1", 1, 1, "vm1:{1,4}"},
        {"vm1", "1,9", 1, 1, "vm1:{1,9,4}"},     {"vm1", "0,3", 2, 1, "vm1:{0,2}"},
        {"vm1", "1", 2, 1, "vm1:{2}"},           {"vm1", "1,3", 1, 0, "vm1:{1,3}"},
        {"vm1", "123456789", 1, 1, "(empty)"},   {"vm1", "123456789", 1, 0, "vm1:{123456789}"},
    };
    for (const auto &r : rows) {
        guestsim::Profile p;
        p.checkresult = p.fixresult = r.checkresult;
        host.SetProfile(r.vm, p);
        virsh.Script("gethdbiso", "", {r.drive, "", "", ""});
        auto [result, body] = Ask(UPG_MSG_HEALTH_CHECK, ActionBody(r.vm, r.action), client);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(body.empty() ? "(empty)" : body, r.want) << r.vm << " " << r.checkresult;
    }
}

// Each control request is answered by what it did, its reason logged; an
// action the daemon does not know does nothing and is answered 5, not done.
TEST_F(ManageChannel, UpgradeControlAnswersEachRequestAndKeepsTheInterval)
{
    ManageClient client;
    const std::string range = " out of range [30, 525600]";
    const struct { std::string body; int want; const char *conf; std::string logged; } rows[] = {   // conf: stored after
        {ControlBody(1, 0, "a", 513), 1, "interval=0", "get para length 513, maybe more than 513"},
        {ControlBody(1, 0, "", 1), 1, "interval=0", "upgrade_para length is 0"},
        {ControlBody(1, 29, "no"), 5, "interval=0", "interval_time 29" + range},
        {ControlBody(1, 525601, "no"), 5, "interval=0", "interval_time 525601" + range},
        {ControlBody(2, 5, "no"), 5, "interval=0", "upgrade interval should be 0"},
        {ControlBody(0, 0, "no"), 5, "interval=0", "action_type not supported"},
        {ControlBody(1, 5, "vm1"), 5, "interval=0", "do not support partial vms polling"},
        {ControlBody(1, 0, "ghost, ,gone"), 3, "interval=0", "cloud not find vmname ghost"},
        {ControlBody(2, 0, "vm1"), 5, "interval=0", "upgrade upgradePra should be no"},
        {ControlBody(3, 0, "vm1"), 5, "interval=0", "action_type not supported"},
        {ControlBody(1, 30, "no"), 0, "interval=30", "run upgrade interval 30 minutes"},   // a run starts, 20 s a VM
        {ControlBody(1, 60, "no"), 0, "interval=60", "run upgrade interval 60 minutes"},
        {ControlBody(1, 0, "no"), 2, "interval=60", "upgrade is already running"},
        {ControlBody(1, 0, "vm1, vm2"), 0, "interval=60", "add vm to sub independent upgrade list : vm2"},   // taken by the run
        {ControlBody(2, 0, "no"), 0, "interval=0", "shutdown upgrade"},
        {ControlBody(1, 525600, "no"), 0, "interval=525600", "run upgrade interval 525600 minutes"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.logged);
        log.Clear();
        EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, r.body, client), Reply(r.want, ""));
        EXPECT_EQ(ReadFile(kUpgradeConf).value_or(""), r.conf);
        EXPECT_TRUE(log.WaitFor(r.logged)) << log.Dump();
    }
}

// An "off" sent while the daemon starts wins over the interval stored
// before, whether it comes before the start-up read or while it reads (a
// long file keeps it reading).
TEST_F(ManageChannel, AnOffSentWhileItStartsAlwaysWins)
{
    const std::string stored = std::string(24 << 20, 'x') + "\ninterval=525600";
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        StopDaemon();
        ASSERT_TRUE(WriteFile(kUpgradeConf, stored));
        log.Clear();
        StartDaemon(false);   // not waiting for the start-up read
        ManageClient client;
        ASSERT_TRUE(round % 2 == 0 || log.WaitFor("--> InitUpgradeInterval"));
        EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(2, 0, "no"), client), Reply(0, ""));
        ASSERT_TRUE(WaitUntil([&] {
            return log.Count("run upgrade interval 525600 minutes") + log.Count("conf interTime len is 0") > 0;
        })) << log.Dump();
        auto texts = log.Texts();
        auto last = [&](const std::string &t) { return std::find(texts.rbegin(), texts.rend(), t) - texts.rbegin(); };
        EXPECT_GT(last("--> InitTimer"), last("--> UninitTimer")) << "the timer is armed after the off";
        EXPECT_EQ(ReadFile(kUpgradeConf), "interval=0");
    }
}

// The socket is root:libvirt 0660, or root:root with the lookup failure logged when the group is missing.
TEST_F(ManageChannel, TheSocketBelongsToRootAndTheLibvirtGroup)
{
    struct stat st {};   // as clients find it: the daemon started listens
    ASSERT_EQ(stat(kManageSocket, &st), 0);
    EXPECT_EQ(std::make_tuple(st.st_mode & 0777, st.st_uid, st.st_gid), std::make_tuple(0660u, 0u, 65300u));
    StopDaemon();
    ASSERT_TRUE(WriteFile("/run/group-without-libvirt", "root:x:0:\n"));
    ASSERT_EQ(mount("/run/group-without-libvirt", "/etc/group", nullptr, MS_BIND, nullptr), 0);
    StartDaemon();
    EXPECT_TRUE(log.WaitFor("getgrnam of libvirt failed, libvirt_gid is 0"));
    ASSERT_EQ(stat(kManageSocket, &st), 0);
    EXPECT_EQ(std::make_tuple(st.st_mode & 0777, st.st_uid, st.st_gid), std::make_tuple(0660u, 0u, 0u));
}

// SIGTERM ends the daemon in order, at once (not at its 5-second bound), whatever is under way.
TEST_F(ManageChannel, AStopEndsInOrderWhateverIsUnderWay)
{
    const FakeVirsh::Reply fails = {1, "\n", "error: internal error: unable to execute QEMU command", ""};
    const std::pair<const char *, std::function<void(std::vector<std::unique_ptr<ManageClient>> &)>> rows[] = {
        {"eight idle clients",
         [](auto &clients) {
             for (int i = 0; i < 8; ++i) {
                 clients.push_back(std::make_unique<ManageClient>());
             }
         }},
        {"a guest mid-attach",
         [&](auto &) {
             virsh.Script("change-media", "", fails);
             ASSERT_TRUE(host.SendRequest("vm1", VM_REQ_ATTACH_ISO_MSG));
             ASSERT_TRUE(log.WaitFor("msg type : VM_REQ_ATTACH_ISO_MSG"));
         }},
        {"a probe hanging in virsh",
         [&](auto &clients) {
             virsh.Script("qemu-agent-command", "vm2", {0, "", "", "hang"});
             clients.push_back(std::make_unique<ManageClient>());
             ASSERT_TRUE(clients.back()->Send(ManageMessage(1, UPG_MSG_HEALTH_CHECK, 0, ActionBody("vm2", 1))));
             ASSERT_TRUE(log.WaitFor("[dealWithCmdMsg] msg type : UPG_MSG_HEALTH_CHECK"));
         }},
    };
    int starts = 1;
    for (const auto &[what, underWay] : rows) {
        SCOPED_TRACE(what);
        std::vector<std::unique_ptr<ManageClient>> clients;
        underWay(clients);
        std::this_thread::sleep_for(300ms);
        log.Clear();
        auto t0 = std::chrono::steady_clock::now();
        StopDaemon();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s) << "the stop waited out its 5-second bound";
        EXPECT_TRUE(log.WaitFor("<== BYE ==>"));
        EXPECT_EQ(log.Count("can't join"), 0u) << log.Dump();
        virsh.Unscript("change-media", "");
        virsh.Unscript("qemu-agent-command", "vm2");
        StartDaemon();
        // What a guest sends before the command loop drained its channel is
        // dropped, and it can send only once it took the new connection.
        ASSERT_TRUE(log.WaitFor("clearVmSocketReadBuf vmname vm1"));
        ASSERT_TRUE(host.WaitAccepted("vm1", ++starts));
    }
}

// Several clients issue every request type in a loop while a guest comes
// and goes and upgrade runs trigger: each request gets exactly its own reply,
// and once they are gone the daemon holds no socket more than before.
// (A request to a VM that stops before it answers waits for ever, as a
// guest's answer has no time-out: the churning VM is not asked.) A client that
// leaves a request behind takes its entry along, or a stopped VM's channel stays.
TEST_F(ManageChannel, ClientsGuestsAndRunsAtOnceEachRequestGetsItsOwnReply)
{
    const size_t sockets = OpenSockets();
    StartVm("quiet", Guest());
    host.SetBehaviour("quiet", guestsim::Behaviour::Silent);
    {
        ManageClient leaving;
        const size_t asked = host.Received("quiet").size() + 1;
        ASSERT_TRUE(leaving.Send(ManageMessage(1, UPG_MSG_HEALTH_CHECK, 0, ActionBody("quiet", 1))));
        ASSERT_TRUE(host.WaitReceived("quiet", asked));
    }
    host.StopVm("quiet");
    std::atomic<bool> stop{false};
    std::thread churn([&] {
        for (int i = 0; !stop; ++i) {
            i % 2 == 0 ? (void)host.AddVm("churn", Guest()) : host.StopVm("churn");
            if (i % 5 == 0) {
                daemon.Signal(SIGALRM);   // an upgrade run
            }
            std::this_thread::sleep_for(100ms);
        }
    });
    const std::pair<uint32_t, std::string> requests[] = {
        {UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1)},   {UPG_MSG_HEALTH_CHECK, ActionBody("vm2", 2)},
        {UPG_MSG_AUTO_CTRL, ActionBody("vm1", 1)},      {UPG_MSG_GET_UPG_RES, QueryBody("vm2", "ortavis")},
        {UPG_START_UPGRADE_MSG, ControlBody(2, 0, "no")},
    };
    // Each client's requests; the stress group asks for many more.
    const char *asked = std::getenv("UPGD_STRESS_ROUNDS");
    const uint64_t rounds = asked != nullptr ? std::strtoull(asked, nullptr, 10) : 30;
    {
        std::vector<std::jthread> clients;   // joined at the end of the block
        for (uint64_t c = 1; c <= 4; ++c) {
            clients.emplace_back([&, c] {
                ManageClient client;
                for (uint64_t n = 0; n < rounds; ++n) {
                    const auto &[type, body] = requests[(c + n) % std::size(requests)];
                    uint64_t id = c << 32 | n;
                    ASSERT_TRUE(client.Send(ManageMessage(id, type, 0, body)));
                    auto reply = client.Receive(25s);
                    ASSERT_TRUE(reply) << "no reply to " << type << " " << body.substr(4, 5);
                    ASSERT_EQ(reply->head.msgId, id);
                    ASSERT_EQ(reply->head.msgType, type);
                }
            });
        }
    }
    stop = true;
    churn.join();
    host.StopVm("churn");
    EXPECT_TRUE(WaitUntil([&] { return OpenSockets() == sockets; }, 10s))
        << OpenSockets() << " sockets, not " << sockets << ": a client's or a channel's left open";
}

}  // namespace
