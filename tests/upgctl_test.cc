// The ortavis-upgctl binary: the bytes each command sends and what it makes
// of replies the real daemon never sends, against a scripted daemon on the real
// socket path; then its arguments and every exit status against the real
// daemon on the simulated host, and its JSON and status table of guest text.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "daemon_host.h"
#include "fake_manage_daemon.h"
#include "upgctl_run.h"
#include "upgd_sandbox.h"

namespace {

using namespace upgd_test;

TEST(Upgctl, EachCommandSendsItsRequestAndReadsWhatTheRealDaemonNeverSends)
{
    const std::string p512(512, 'p');
    // The daemon answers with result and reply, or ends the connection ("<close>"); the tool's exit status.
    struct Row { std::vector<std::string> args; uint32_t type; std::string body; int32_t result; std::string reply;
                 int exit; };
    const std::string off = ControlBody(2, 0, "no");
    const std::vector<Row> rows = {
        {{"health", "web01"}, 3, ActionBody("web01", 1), 0, "web01:{0}", 0},
        {{"fix", "web01"}, 3, ActionBody("web01", 2), 0, "web01:{0}", 0},
        {{"result", "web01", "tools"}, 4, QueryBody("web01", "tools"), 0, "web01:{t,2,0,3}", 0},
        {{"auto", "db-2", "3"}, 6, ActionBody("db-2", 3), 0, "db-2:{5}", 0},
        {{"off"}, 5, off, 0, "", 0},
        {{"interval", "30"}, 5, ControlBody(1, 30, "no"), 0, "", 0},
        {{"upgrade", p512}, 5, ControlBody(1, 0, p512), 0, "", 0},
        {{"upgrade", "no"}, 5, ControlBody(1, 0, "no"), 2, "", 1},
        {{"health", "vm"}, 3, ActionBody("vm", 1), 0, "<close>", 3},
        {{"off"}, 5, off, 0, "<close>", 3},
        {{"health", "web01"}, 3, ActionBody("web01", 1), 0, "", 1},               // an empty answer
        {{"health", "web01"}, 3, ActionBody("web01", 1), 0, "db-2:{0}", 5},       // about another VM
        {{"result", "w", "t"}, 4, QueryBody("w", "t"), 0, "w:{t,1,0,x,3}", 5},   // a comma too many
    };
    std::atomic<const Row *> current{nullptr};
    FakeManageDaemon daemon([&](FakeManageDaemon::Session &s, const ManageRequest &req) {
        const Row &row = *current.load();
        EXPECT_EQ(std::tie(req.head.msgType, req.body), std::tie(row.type, row.body));
        row.reply == "<close>" ? s.Close() : (void)s.Reply(req, row.result, row.reply);
    });
    for (const Row &row : rows) {
        current = &row;
        EXPECT_EQ(std::get<0>(Upgctl(row.args)), row.exit) << testing::PrintToString(row.args);
    }
}

// The real daemon: vm1 answers and holds the module q (hostile text, see below) and bad, whose last upgrade failed;
// vm2's guest tools stay silent, mute's guest agent does not answer, cd has its CD-ROM on sdb, ghost is not
// running. bad's ISO is offered; q's is not (its name could not reach a command line), so status asks about
// bad and ortavis.
class UpgctlOnHost : public DaemonHost {
protected:
    void SetUp() override
    {
        virsh.Script("qemu-agent-command", "mute", {1, "\n", "error: Guest agent is not responding", ""});
        for (const char *iso : {"bad-linux-1.0.iso", "q\"\\\x01\t\xc3\xa9\xff-linux-1.0.iso"}) {
            ASSERT_TRUE(MakeDirs(kIsoDir) && WriteFile(std::string(kIsoDir) + "/" + iso, "iso"));
        }
        guestsim::VmOptions sdb = Guest();
        sdb.cdromDev = "sdb";
        ASSERT_TRUE(host.AddVm("cd", sdb));
        SetUpHost({"vm1", "vm2", "mute"});
        host.SetBehaviour("vm2", guestsim::Behaviour::Silent);
        guestsim::Profile p = Guest().profile;
        p.checkresult = "\x1b[2J";   // a terminal escape
        host.SetProfile("vm1", p);
        host.SetModule("vm1", {"bad", "0.9", "1.0", 1, ISO_LINUX});
        host.SetModule("vm1", {kMod, "1\"\\\x7f", "\xf0\x9f\x98\x80\xed\xa0\x80", 0, ISO_LINUX});   // and a surrogate
    }
    // Quote, backslash, control characters, UTF-8 'e' acute, a stray byte.
    static constexpr const char *kMod = "q\"\\\x01\t\xc3\xa9\xff";
};

// One row per outcome, with options before, among and after the operands; the JSON code names the exit status.
TEST_F(UpgctlOnHost, ArgumentsAndEveryExitStatus)
{
    struct Row { std::vector<std::string> args; int exit; std::string said; };   // said: in stdout or stderr
    const std::vector<Row> rows = {
        {{"health", "vm1", "--json"}, 0, R"("code":"ok")"},
        {{"-q", "result", "vm1", "ortavis"}, 0, ""},
        {{"result", "vm1", "bad"}, 5, "vm1: module bad: the guest reports a failure (code 1)"},
        {{"health", "-j", "cd"}, 5, R"("reply":"cd:{ok,9}","answer":{"checkresult":"ok,9"},"code":"guest-failure")"},
        {{"auto", "mute", "1"}, 5, "mute: its guest agent does not answer (code 13), the daemon answering"},
        {{"health", "vm2", "--timeout", "1", "--json"}, 4, R"("code":"guest-silent")"},
        {{"-t1", "status", "vm1", "-m", "ortavis", "vm2"}, 4, "vm2  silent"},
        {{"status", "-m", "bad", "vm1"}, 5, "vm1  answering  \\x1b[2J  bad     0.9      1.0     1"},
        {{"health", "ghost"}, 1, "the daemon refused the request (is ghost a running VM?)"},
        {{"--json", "upgrade", "ghost"}, 1, R"("result":3,"meaning":"not-found","not_running":["ghost"],"code":"refused")"},
        {{"upgrade", "vm1, ghost"}, 0, "warning: VM ghost is not running: no run serves it\nupgrade requested\n"},
        {{"interval", "60"}, 0, "every 60 minutes; a run starts now unless one is under way"},
        {{"off"}, 0, "periodic upgrade stopped"},
        {{"--", "health", "-x"}, 1, "(is -x a running VM?)"},
        {{"health", "vm1", "-x"}, 2, "unknown option '-x'"},
        {{"health", "--json", "vm1", "vm2"}, 2, R"({"request":"health","code":"usage","error":"wrong number)"},
        {{"status", "-m", "a,,b", "vm1"}, 2, "-m takes"},
        {{"health", "-m", "a", "vm1"}, 2, "-m is an option of 'status' only"},
        {{"--timeout", "0", "off"}, 2, "--timeout takes whole seconds"},
        {{"-t"}, 2, "option '-t' needs an argument"},
        {{"interval", "29"}, 2, "MINUTES must be"},
        {{"interval", "+60"}, 2, "MINUTES must be"},
        {{"status", "vm1", "--help"}, 0, "Usage: ortavis-upgctl [OPTION...] status [-m"},
        {{"--help"}, 0, "  5  guest-failure  the guest answered with a failure or a finding"},
        {{"--version"}, 0, "ortavis-upgctl 0.1.0\n"},
    };
    for (const Row &row : rows) {
        auto [exit, out, err] = Upgctl(row.args);
        EXPECT_EQ(exit, row.exit) << testing::PrintToString(row.args) << out << err;
        EXPECT_NE((err + out).find(row.said), std::string::npos) << testing::PrintToString(row.args) << out << err;
        EXPECT_TRUE(row.args[0] != "-q" || out + err == "") << out << err;
    }
    EXPECT_EQ(ReadFile(kUpgradeConf).value_or(""), "interval=0");
    auto start = std::chrono::steady_clock::now();   // --timeout is the wait, not a word in the message
    EXPECT_EQ(std::get<0>(Upgctl({"-t", "2", "auto", "vm2", "1"})), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    StopDaemon();
    EXPECT_EQ(Upgctl({"fix", "vm1"}),
              std::tuple(3, "", "ortavis-upgctl: cannot connect to /var/run/upgraded_manage: Connection refused (is the "
                                "daemon running? see 'systemctl status ortavis-upgd')\n"));
    StartDaemon();
}

TEST_F(UpgctlOnHost, JsonAndTheTableShowWhatTheGuestChoseAsPlainText)
{
    EXPECT_EQ(Upgctl({"--json", "result", "vm1", kMod}),
              std::tuple(0, R"({"request":"result","type":4,"vm":"vm1","module":"q\"\\\u0001\t\u00e9\ufffd")"
                            R"(,"result":0,"reply":"vm1:{q\"\\\u0001\t\u00e9\ufffd,1\"\\\u007f,0,\ud83d\ude00\ufffd)"
                            R"(\ufffd\ufffd}","answer":{"module":"q\"\\\u0001\t\u00e9\ufffd","curversion":)"
                            R"("1\"\\\u007f","rescode":0,"tarversion":"\ud83d\ude00\ufffd\ufffd\ufffd"},"code":"ok"})"
                            "\n", ""));
    EXPECT_EQ(Upgctl({"status", "ghost", "vm1", "mute"}),
              std::tuple(1, R"(VM     CHANNEL      CHECK    MODULE   CURRENT  TARGET   RESULT
ghost  refused      -        -        -        -        -
vm1    answering    \x1b[2J  bad      0.9      1.0      1
vm1    answering    \x1b[2J  ortavis  1.0.0.1  1.0.0.1  0
mute   unreachable  -        bad      0.0.0.0  0.0.0.0  13
mute   unreachable  -        ortavis  0.0.0.0  0.0.0.0  13
)", ""));
}

}  // namespace
