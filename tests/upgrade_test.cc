// The guest side end to end: the real daemon among simulated guests that ask
// for their ISO, install, report and misbehave.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "daemon_host.h"

namespace {

using namespace std::chrono_literals;
using namespace upgd_test;

class GuestSide : public DaemonHost {
protected:
    // Waits until the guest runs the product at `version` and its drive is empty again.
    bool Upgraded(const std::string &vm, const std::string &version, std::chrono::seconds timeout)
    {
        return WaitUntil([&] {
            auto modules = host.Modules(vm);
            return !modules.empty() && modules[0].curversion == version && !host.Upgrading(vm) && DriveSource(vm).empty();
        }, timeout);
    }
};

class GuestRun : public GuestSide {
protected:
    void SetUp() override { SetUpHost({"vm1", "vm2"}); }
};

// A guest that asks is offered, gets its ISO, reports; the drive is emptied and the guest answers for itself again.
TEST_F(GuestRun, AGuestThatAsksIsUpgradedAndItsDriveEmptiedAgain)
{
    ASSERT_TRUE(host.SendRequest("vm1", VM_REQ_UPGRADE_INFO_MSG));
    ASSERT_TRUE(Upgraded("vm1", "1.0.0.2", 20s)) << log.Dump();
    VmMsg offer = host.Received("vm1").front();
    EXPECT_EQ(offer.msgType, UPG_MSG_START_UPGRADE);
    EXPECT_EQ(offer.moduleNum, 1);
    EXPECT_STREQ(offer.module[0].name, "ortavis");
    EXPECT_STREQ(offer.module[0].curversion, "1.0.0.2");
    ASSERT_TRUE(log.WaitFor("vm vm1 reset status", 8s));
    ManageClient client;
    EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody("vm1", "ortavis"), client), Reply(0, "vm1:{ortavis,1.0.0.2,0,1.0.0.2}"));
    EXPECT_TRUE(host.Modules("vm2")[0].curversion == "1.0.0.1") << "vm2 was not asked";
}

// One run, asked for by the management agent, serves every VM in turn.
TEST_F(GuestRun, AnUpgradeRunServesEveryVmTwentySecondsApart)
{
    ManageClient client;
    ASSERT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 0, "no"), client), Reply(0, ""));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Upgraded("vm1", "1.0.0.2", 40s) && Upgraded("vm2", "1.0.0.2", 40s)) << log.Dump();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20s);
    EXPECT_TRUE(log.WaitFor(" <--- [upgrade_thread] send upgrade msg to vm end", 25s));
}

// A VM waiting its turn in a run: a module at another version is pending (2) unless it failed (1).
TEST_F(GuestRun, AVmWaitingItsTurnIsPendingUnlessItsGuestSaysItFailed)
{
    ManageClient client;
    ASSERT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 0, "no"), client), Reply(0, ""));
    ASSERT_TRUE(log.WaitFor("send HOST_RSP_UPGRADE_INFO_MSG to vm : "));
    const std::string waiting = log.Count("HOST_RSP_UPGRADE_INFO_MSG to vm : vm1") != 0 ? "vm2" : "vm1";
    for (int32_t code : {1, 0}) {
        host.SetModule(waiting, {"ortavis", "1.0.0.1", "1.0.0.2", code, ISO_LINUX});
        EXPECT_EQ(Ask(UPG_MSG_GET_UPG_RES, QueryBody(waiting, "ortavis"), client),
                  Reply(0, waiting + ":{ortavis,1.0.0.1," + (code == 1 ? "1" : "2") + ",1.0.0.2}"));
    }
}

// However many triggers come during a run (timer expiries here), one more run follows, never a backlog.
TEST_F(GuestRun, TriggersDuringARunGiveOneMoreRun)
{
    virsh.Script("qemu-agent-command", "", {1, "", "error: guest agent is not responding", "2"});
    ManageClient client;
    ASSERT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 0, "no"), client), Reply(0, ""));
    ASSERT_TRUE(log.WaitFor("send upgrade msg to vm start"));
    for (int i = 0; i < 5; ++i) {
        // to main, idle in its last wait, once it took the one before
        ASSERT_TRUE(WaitUntil([&] { return !ProcSigSet(daemon.Pid(), "SigPnd", daemon.Pid())[SIGALRM - 1]; }));
        ASSERT_EQ(tgkill(daemon.Pid(), daemon.Pid(), SIGALRM), 0);
    }
    ASSERT_TRUE(log.WaitFor("5 upgrade triggers during the run: one more run", 15s)) << log.Dump();
    ASSERT_TRUE(log.WaitForCount("send upgrade msg to vm end", 2, 15s));
    ASSERT_TRUE(log.WaitForCount("waiting for ortavis upgrade...", 3));
    EXPECT_EQ(log.Count("send upgrade msg to vm start"), 2U);
}

// With no ISO to offer a trigger runs nothing; the next one, once ISOs are there, runs.
TEST_F(GuestRun, AnEmptyIsoDirectoryDelaysTheRunUntilIsosCome)
{
    std::filesystem::remove(kProductIso);
    ASSERT_EQ(tgkill(daemon.Pid(), daemon.Pid(), SIGALRM), 0);
    ASSERT_TRUE(log.WaitFor("upgrade_vm msg is null.return...")) << log.Dump();
    ASSERT_TRUE(WriteFile(kProductIso, "iso"));
    ManageClient client;
    EXPECT_EQ(Ask(UPG_START_UPGRADE_MSG, ControlBody(1, 0, "vm2"), client), Reply(0, ""));
    EXPECT_TRUE(Upgraded("vm2", "1.0.0.2", 20s)) << log.Dump();
}

// Whatever one guest does, the daemon logs it, answers what it can and goes on serving the others.
TEST_F(GuestRun, MisbehavingGuestsNeverStopTheDaemon)
{
    using guestsim::Behaviour;
    const struct { Behaviour behaviour; int badCount; Reply want; const char *logged; } rows[] = {
        {Behaviour::Silent, 0, {-1, "(no reply)"}, ""},
        {Behaviour::Half, 0, {-1, "(no reply)"}, "of 568 bytes of a message within 1000 ms: dropped"},
        {Behaviour::Garbage, 0, {-1, "(no reply)"}, "can't do cmd type"},
        {Behaviour::WrongType, 0, {-1, "(no reply)"}, "can't do cmd type"},
        {Behaviour::BadCount, 7, {0, "vm1:{ok}"}, ""},
        {Behaviour::BadCount, -1, {0, "vm1:{ok}"}, ""},
        {Behaviour::StrayId, 0, {-1, "(no reply)"}, "checkResult getMsgNode fd failed"},
        {Behaviour::Deaf, 0, {-1, "(no reply)"}, ""},
        // Gone before or after the daemon's write: no reply or the failure reply.
        {Behaviour::HangUp, 0, {-2, ""}, "vm vm1 qemu socket hup"},
        {Behaviour::Reset, 0, {-2, ""}, "getVmCmdMsg failed"},
        {Behaviour::HalfReset, 0, {-2, ""}, "getVmCmdMsg failed"},   // no answer made of the half
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(guestsim::BehaviourName(r.behaviour));
        ASSERT_TRUE(WaitUntil([&] { return host.Connected("vm1"); }, 10s));   // back after a hang-up
        ManageClient client;   // a late answer goes to the row's own client
        log.Clear();
        host.SetBehaviour("vm1", r.behaviour, r.badCount != 0 ? std::optional<int32_t>(r.badCount) : std::nullopt);
        Reply got = Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client, r.want.first >= 0 ? 10s : 1500ms);
        if (r.want.first == -2) {
            EXPECT_TRUE(got.first == -1 || got == Reply(1, "")) << got.first << " " << got.second;
        } else {
            EXPECT_EQ(got, r.want);
        }
        EXPECT_TRUE(*r.logged == '\0' || log.WaitFor(r.logged) || (r.want.first == -2 && log.Count("write msg to vm1 failed.") > 0))
            << log.Dump();
        EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm2", 1), client), Reply(0, "vm2:{ok}"));
        host.SetBehaviour("vm1", Behaviour::Answer);
    }
    // Reconnected after the resets (a channel that ended soon after its connect waits a little), vm1 answers again.
    ASSERT_TRUE(WaitUntil([&] { return host.Connected("vm1"); }, 10s));
    ManageClient client;
    EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("vm1", 1), client), Reply(0, "vm1:{ok}"));
}

}  // namespace
