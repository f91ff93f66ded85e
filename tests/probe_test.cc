// The guest agent probe against the virsh stand-in, and the name check that
// guards every command line.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "fake_virsh.h"
#include "ortavis_upgd_probe.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using upgd_test::FakeVirsh;

const FakeVirsh::Reply kNotConnected = {1, "\n", "error: Guest agent is not responding", ""};

class Probe : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(upgd_test::WriteFile("/var/run/libvirt/qemu/vm1.xml", "<domstatus/>\n")); }
    FakeVirsh virsh;
    upgd_test::LogCollector log;
};

TEST_F(Probe, NamesOutsideTheAlphabetOrLikeAnOptionRunNothing)
{
    EXPECT_EQ(checkCmdParam("vm-01.test_a/b:xyzABCZ0189"), 0);
    EXPECT_EQ(checkCmdParam(nullptr), -1);
    for (const char *name : {"web 01", "web'01", "web\"01", "a;b", "$(reboot)", "`id`", "a\nb", "a|b", "a&b",
                             "caf\xc3\xa9", "a>b", "a*", "a\\b", "-", "--help", "-c", "-web01"}) {
        EXPECT_EQ(checkCmdParam(name), -1) << name;
        EXPECT_EQ(pingVmGuestAgent(name, PING_MODE_ONCE), 0) << name;
    }
    EXPECT_TRUE(virsh.Calls().empty());
}

TEST_F(Probe, OneAttemptJudgesTheFirstLineOfItsOutput)
{
    const std::vector<std::vector<std::string>> theCall = {
        {"qemu-agent-command", "--timeout", "1", "vm1", "{\"execute\":\"guest-ping\"}"}};
    const struct { const char *what; int mode; FakeVirsh::Reply reply; int want; const char *logged; } rows[] = {
        {"agent answers", PING_MODE_ONCE, {0, "{\"return\":{}}\n", "", ""}, 1, nullptr},
        {"mark after other text", PING_MODE_ONCE, {0, "xx {\"return\":{}} yy\nsecond\n", "", ""}, 1, nullptr},
        {"mark on the second line only", PING_MODE_ONCE, {0, "first line\n{\"return\":{}}\n", "", ""}, 0, nullptr},
        {"agent not connected", PING_MODE_ONCE, kNotConnected, 0, "vm1, qemu-agent-command ping execute failed"},
        {"nothing printed", PING_MODE_ONCE, {0, "", "", ""}, 0, "vm1, qemu-agent-command ping execute failed"},
        {"wrong answer, no retry", PING_MODE_PATIENT, {0, "{\"error\":{}}\n", "", ""}, 0, "vm1 get wrong output"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        virsh.Script("qemu-agent-command", "vm1", r.reply);
        virsh.ClearCalls();
        log.Clear();
        EXPECT_EQ(pingVmGuestAgent("vm1", r.mode), r.want);
        EXPECT_EQ(virsh.Calls(), theCall);   // one attempt, never a retry
        EXPECT_TRUE(r.logged == nullptr || log.WaitFor(r.logged)) << log.Dump();
    }
}

TEST_F(Probe, PatientModeRetriesAFailureAfterFiveSeconds)
{
    virsh.Script("qemu-agent-command", "vm1", kNotConnected);
    std::jthread agentComesUp([&] {
        for (int i = 0; i < 500 && virsh.Calls().empty(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        virsh.Unscript("qemu-agent-command", "vm1");
    });
    auto start = Clock::now();
    EXPECT_EQ(pingVmGuestAgent("vm1", PING_MODE_PATIENT), 1);
    EXPECT_GE(Clock::now() - start, 5s);
    EXPECT_LT(Clock::now() - start, 8s);
    EXPECT_EQ(virsh.Calls().size(), 2u);
}

// Takes the real 30 seconds: labelled slow. That the kill takes what the
// command started along is the runner's own test (seccmd_test).
TEST_F(Probe, HangingCommandIsKilledAfterThirtySeconds)
{
    virsh.Script("qemu-agent-command", "vm1", {0, "", "", "100"});   // the stand-in sleeps 100 s
    auto start = Clock::now();
    EXPECT_EQ(pingVmGuestAgent("vm1", PING_MODE_ONCE), 0);
    EXPECT_GE(Clock::now() - start, 29s);
    EXPECT_LT(Clock::now() - start, 35s);
    EXPECT_TRUE(log.WaitFor("ret is -2 and pszBuffer is ")) << log.Dump();
}

}  // namespace
