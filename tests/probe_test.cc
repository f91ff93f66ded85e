// The guest agent probe against the fake virsh, and the name check that
// guards every command line.
#include <gtest/gtest.h>
#include <dirent.h>

#include <chrono>
#include <string>
#include <thread>

#include "fake_virsh.h"
#include "ortavis_upgd_probe.h"
#include "ortavis_upgd_seccmd.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using upgd_test::FakeVirsh;
using upgd_test::LogCollector;

const char *const kHostileNames[] = {
    "web 01", "web'01", "web\"01", "a;b", "$(reboot)", "`id`", "a\nb", "a|b", "a&b",
    "caf\xc3\xa9", "a>b", "a*", "a\\b", "-", "--help", "-c", "-web01",   // an option, never a name
};

TEST(CheckCmdParam, AcceptsTheNameAlphabetOnly)
{
    EXPECT_EQ(checkCmdParam("vm-01.test_a/b:x"), 0);
    EXPECT_EQ(checkCmdParam(""), 0);
    EXPECT_EQ(checkCmdParam("ABCxyz0189"), 0);
    for (const char *name : kHostileNames) {
        EXPECT_EQ(checkCmdParam(name), -1) << name;
    }
    EXPECT_EQ(checkCmdParam(nullptr), -1);
}

class Probe : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char *vm : {"vm1", "vm2", "vm3", "vm4"}) {
            ASSERT_TRUE(upgd_test::WriteFile(std::string("/var/run/libvirt/qemu/") + vm + ".xml", "<domstatus/>\n"));
        }
    }
    FakeVirsh virsh;
    LogCollector log;
};

TEST_F(Probe, JudgesTheFirstLine)
{
    struct Row {
        const char *what;
        FakeVirsh::Reply reply;
        int want;
        const char *logged;
    };
    const Row rows[] = {
        {"agent answers", {0, "{\"return\":{}}\n", "", ""}, 1, "ret is 0 and pszBuffer is {\"return\":{}}"},
        {"mark after other text", {0, "xx {\"return\":{}} yy\nsecond\n", "", ""}, 1, nullptr},
        {"mark on the second line only", {0, "first line of text\n{\"return\":{}}\n", "", ""}, 0,
         "get wrong output first line of text"},
        {"agent not connected",
         {1, "\n", "error: Guest agent is not responding: QEMU guest agent is not connected", ""}, 0,
         "domname vm1, qemu-agent-command ping execute failed"},
        {"ten characters", {0, "\"return\":{\n", "", ""}, 0, "vm1 get wrong output"},
        {"nothing printed", {0, "", "", ""}, 0, "domname vm1, qemu-agent-command ping execute failed"},
        {"other reply", {0, "{\"error\":{\"class\":\"GenericError\"}}\n", "", ""}, 0,
         "vm1 get wrong output"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        virsh.Script("qemu-agent-command", "vm1", r.reply);
        virsh.ClearCalls();
        log.Clear();
        EXPECT_EQ(pingVmGuestAgent("vm1", PING_MODE_ONCE), r.want);
        ASSERT_EQ(virsh.Calls().size(), 1u);
        EXPECT_EQ(virsh.Calls()[0], (std::vector<std::string>{"qemu-agent-command", "--timeout", "1", "vm1",
                                                               "{\"execute\":\"guest-ping\"}"}));
        if (r.logged != nullptr) {
            EXPECT_TRUE(log.WaitFor(r.logged)) << log.Dump();
        }
    }
}

TEST_F(Probe, HostileNamesRunNothingInEitherMode)
{
    for (int mode : {PING_MODE_ONCE, PING_MODE_PATIENT}) {
        for (const char *name : kHostileNames) {
            log.Clear();
            EXPECT_EQ(pingVmGuestAgent(name, mode), 0) << name;
            EXPECT_TRUE(log.WaitFor("The vmname is invalid")) << name;
        }
    }
    EXPECT_TRUE(virsh.Calls().empty());
}

TEST_F(Probe, PatientModeRetriesAFailureAfterFiveSeconds)
{
    virsh.Script("qemu-agent-command", "vm2", {1, "\n", "error: Guest agent is not responding: QEMU guest agent is not connected", ""});
    std::thread agentComesUp([&] {
        for (int i = 0; i < 500 && virsh.Calls().empty(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        virsh.Unscript("qemu-agent-command", "vm2");
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pingVmGuestAgent("vm2", PING_MODE_PATIENT), 1);
    auto took = std::chrono::steady_clock::now() - start;
    agentComesUp.join();
    EXPECT_EQ(virsh.Calls().size(), 2u);
    EXPECT_GE(took, 5s);
    EXPECT_LT(took, 8s);
}

TEST_F(Probe, TheVirshStandInRefusesOptionsTheRealOneRefuses)
{
    // A wrong flag in a command line must fail here as it fails on a host.
    char *argv[] = {const_cast<char *>("virsh"), const_cast<char *>("domstate"), const_cast<char *>("--frobnicate"),
                    const_cast<char *>("vm1"), nullptr};
    int status = -1;
    ASSERT_EQ(seccmd_run_argset(nullptr, nullptr, &status, argv, nullptr), 0);
    EXPECT_EQ(status, 1);
}

TEST_F(Probe, PatientModeGivesUpAtOnceOnAWrongAnswer)
{
    virsh.Script("qemu-agent-command", "vm3", {0, "{\"return\":\"nope\"}\n", "", ""});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pingVmGuestAgent("vm3", PING_MODE_PATIENT), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_EQ(virsh.Calls().size(), 1u);
}

bool MarkerSleepAlive(const std::string &marker)
{
    DIR *proc = opendir("/proc");
    bool found = false;
    while (dirent *e = proc != nullptr ? readdir(proc) : nullptr) {
        std::string cmdline = upgd_test::ReadFile(std::string("/proc/") + e->d_name + "/cmdline").value_or("");
        if (cmdline == "sleep" + std::string(1, '\0') + marker + std::string(1, '\0')) {
            found = true;
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return found;
}

// Takes the real 30 seconds: labelled slow.
TEST_F(Probe, HangingCommandIsKilledWithEverythingItStarted)
{
    const std::string marker = std::to_string(900000 + getpid() % 90000);
    FakeVirsh::Reply hang{0, "", "", marker};
    virsh.Script("qemu-agent-command", "vm4", hang);
    auto start = std::chrono::steady_clock::now();
    std::thread watch([&] {
        std::this_thread::sleep_for(2s);
        EXPECT_TRUE(MarkerSleepAlive(marker)) << "the stand-in is not hanging as scripted";
    });
    EXPECT_EQ(pingVmGuestAgent("vm4", PING_MODE_ONCE), 0);
    watch.join();
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 29s);
    EXPECT_LT(took, 35s);
    EXPECT_TRUE(log.WaitFor("ret is -2 and pszBuffer is ")) << log.Dump();
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(MarkerSleepAlive(marker)) << "a child of the killed command was left behind";
}

}  // namespace
