// The ortavis-upgctl binary against a scripted daemon on the real socket path (the
// request each command sends, what it prints, its exit status), then against the
// real daemon: JSON output of guest-chosen text, and status.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "daemon_host.h"
#include "fake_manage_daemon.h"
#include "upgd_sandbox.h"

namespace {

using namespace upgd_test;

// Runs the tool with args (none holds a '): exit status, stdout, stderr.
std::tuple<int, std::string, std::string> Upgctl(const std::vector<std::string> &args)
{
    std::string cmd = UPGCTL_PATH;
    for (const std::string &a : args) {
        cmd += " '" + a + "'";
    }
    int status = std::system((cmd + " >/run/sandbox/upgctl.out 2>/run/sandbox/upgctl.err").c_str());
    return std::tuple(ExitCode(status), ReadFile("/run/sandbox/upgctl.out").value_or("?"),
                      ReadFile("/run/sandbox/upgctl.err").value_or("?"));
}

TEST(Upgctl, EachCommandSendsItsRequestAndReportsTheAnswer)
{
    const std::string v127(127, 'v'), v128(128, 'v'), p512(512, 'p'), p513(513, 'p'), fail = "ortavis-upgctl: ";
    auto L = [](uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), sizeof(v)); };   // a number
    auto T = [&](const std::string &text) { return L(static_cast<uint32_t>(text.size())) + text; };   // a text
    // The daemon answers with result and reply, or ends the connection ("<close>"). What the tool prints goes to
    // stderr when it starts with "ortavis-upgctl: ", else to stdout. A usage error sends nothing, says why in a line.
    struct Row { std::vector<std::string> args; std::string request; int32_t result; std::string reply, printed;
                 int exit; };
    const std::vector<Row> rows = {
        {{"health", "web01"}, L(3) + T("web01") + L(1), 0, "web01:{0}", "web01:{0}\n", 0},
        {{"fix", "web01"}, L(3) + T("web01") + L(2), 0, "web01:{13}", "web01:{13}\n", 0},
        {{"result", "web01", "tools"}, L(4) + T("web01") + T("tools"), 0, "w:{t,2,0,3}", "w:{t,2,0,3}\n", 0},
        {{"auto", "db-2", "3"}, L(6) + T("db-2") + L(3), 0, "db-2:{5}", "db-2:{5}\n", 0},
        {{"health", v127}, L(3) + T(v127) + L(1), 0, "long", "long\n", 0},
        {{"health", "ghost"}, L(3) + T("ghost") + L(1), 1, "ghost:{13}", "ghost:{13}\n", 1},
        {{"health", "vm"}, L(3) + T("vm") + L(1), 0, "<close>", fail + "the request failed: Protocol error\n", 3},
        {{"off"}, L(5) + L(2) + L(0) + T("no"), 0, "", "periodic upgrade stopped\n", 0},
        {{"interval", "30"}, L(5) + L(1) + L(30) + T("no"), 0, "", "periodic upgrade every 30 minutes\n", 0},
        {{"upgrade", p512}, L(5) + L(1) + L(0) + T(p512), 0, "", "upgrade requested\n", 0},
        {{"upgrade", "no"}, L(5) + L(1) + L(0) + T("no"), 0, "", "upgrade of all VMs requested\n", 0},
        {{"upgrade", "no"}, L(5) + L(1) + L(0) + T("no"), 2, "", fail + "an upgrade run is already under way\n", 1},
        {{"upgrade", "vm"}, L(5) + L(1) + L(0) + T("vm"), 3, "", fail + "none of the named VMs was found\n", 1},
        {{"interval", "525600"}, L(5) + L(1) + L(525600) + T("no"), 5, "", fail + "a parameter is out of range\n",
         1},
        {{"off"}, L(5) + L(2) + L(0) + T("no"), 1, "", fail + "the daemon refused the request\n", 1},
        {{"off"}, L(5) + L(2) + L(0) + T("no"), 0, "<close>", fail + "no answer from the daemon\n", 3},
        {{"--json", "upgrade", "a,b"}, L(5) + L(1) + L(0) + T("a,b"), 0, "",
         R"({"request":"upgrade","type":5,"vms":["a","b"],"all":false,"result":0,"meaning":"done"})" "\n", 0},
        {{"--json", "result", "w", "t"}, L(4) + T("w") + T("t"), 0, "w:{t,1,2,x,3}",   // a comma too many: no fields
         R"({"request":"result","type":4,"vm":"w","module":"t","result":0,"meaning":"answered","reply":"w:{t,1,2,x,3}"})"
         "\n", 0},
    };
    const std::vector<std::vector<std::string>> usageErrors = {
        {}, {"bogus"}, {"health"}, {"health", "web01", "web02"}, {"off", "now"}, {"auto", "web01", "4"},
        {"auto", "web01", "0"}, {"auto", "web01", "x"}, {"auto", "web01", "+2"}, {"interval", "29"},
        {"interval", "525601"}, {"interval", "3o"}, {"interval", "-60"}, {"interval", " 60"},
        {"interval", "99999999999999999999"}, {"result", "web01"}, {"result", "web01", std::string(16, 'm')},
        {"result", "web01", ""}, {"health", v128}, {"health", ""}, {"upgrade", ""}, {"upgrade", p513},
        {"status"}, {"status", "-m", "ortavis"}, {"status", "-m", "a,,b", "vm"}, {"status", "vm", v128},
    };
    const std::string noDaemon = "cannot connect to /var/run/upgraded_manage: No such file or directory";
    EXPECT_EQ(Upgctl({"health", "web01"}), std::tuple(3, "", fail + noDaemon + "\n"));   // before the daemon is there
    EXPECT_EQ(Upgctl({"--json", "fix", "web01"}),
              std::tuple(3, R"({"request":"fix","type":3,"vm":"web01","error":")" + noDaemon + "\"}\n",
                         fail + noDaemon + "\n"));
    EXPECT_EQ(std::get<1>(Upgctl({"--json", "auto", "web01", "7"})),
              R"({"request":"auto","error":"the value must be 1, 2 or 3, not '7'"})" "\n");
    std::atomic<const Row *> current{nullptr};
    FakeManageDaemon daemon([&](FakeManageDaemon::Session &s, const ManageRequest &req) {
        const Row &row = *current.load();
        EXPECT_EQ(L(req.head.msgType) + req.body, row.request);
        row.reply == "<close>" ? s.Close() : (void)s.Reply(req, row.result, row.reply);
    });
    for (const Row &row : rows) {
        current = &row;
        const bool toErr = row.printed.rfind(fail, 0) == 0;
        EXPECT_EQ(Upgctl(row.args), std::tuple(row.exit, toErr ? "" : row.printed, toErr ? row.printed : ""));
    }
    for (const auto &args : usageErrors) {
        auto [code, out, err] = Upgctl(args);
        EXPECT_EQ(code, 2) << testing::PrintToString(args);
        EXPECT_TRUE(out.empty() && err.rfind(fail, 0) == 0 && err.find('\n') == err.size() - 1) << err;
    }
}

// The real daemon: vm1 answers and holds a module whose name and versions are hostile text, vm2's guest tools stay
// silent, mute's guest agent does not answer, ghost is not running. The module has its ISO, so it is offered.
class UpgctlOnHost : public DaemonHost {
protected:
    void SetUp() override
    {
        virsh.Script("qemu-agent-command", "mute", {1, "\n", "error: Guest agent is not responding", ""});
        ASSERT_TRUE(MakeDirs(kIsoDir) && WriteFile(std::string(kIsoDir) + "/" + kMod + "-linux-1.0.iso", "iso"));
        SetUpHost({"vm1", "vm2", "mute"});
        host.SetBehaviour("vm2", guestsim::Behaviour::Silent);
        guestsim::Profile p = Guest().profile;
        p.checkresult = "\x1b[2J";   // a terminal escape
        host.SetProfile("vm1", p);
        host.SetModule("vm1", {kMod, "1\"\\\x7f", "\xf0\x9f\x98\x80\xed\xa0\x80", 0, ISO_LINUX});   // and a surrogate
    }
    // Quote, backslash, control characters, UTF-8 'e' acute, a stray byte.
    static constexpr const char *kMod = "q\"\\\x01\t\xc3\xa9\xff";
    static constexpr const char *kModJson = R"(q\"\\\u0001\u0009\u00e9\ufffd)";
};

TEST_F(UpgctlOnHost, JsonEscapesWhatTheGuestChose)
{
    const std::string mod = kModJson, answer = R"({"module":")" + mod +
                                               R"(","curversion":"1\"\\\u007f","rescode":0,"tarversion":"\ud83d\ude00\ufffd\ufffd\ufffd"})";
    EXPECT_EQ(Upgctl({"--json", "result", "vm1", kMod}),
              std::tuple(0, R"({"request":"result","type":4,"vm":"vm1","module":")" + mod +
                                R"(","result":0,"meaning":"answered","reply":"vm1:{)" + mod +
                                R"(,1\"\\\u007f,0,\ud83d\ude00\ufffd\ufffd\ufffd}","answer":)" + answer + "}\n",
                         ""));
    // One object per VM: the health answer, each module's, and what the VM alone would make the exit status.
    auto [code, out, err] = Upgctl({"--json", "status", "ghost", "mute"});
    EXPECT_EQ(code, 1);
    EXPECT_EQ(out.substr(0, out.find('\n') + 1),
              R"({"request":"status","vm":"ghost","channel":"refused","result":1,"meaning":"refused",)"
              R"("error":"the daemon refused the request","modules":[],"exit":1})" "\n");
    EXPECT_NE(out.find(R"("vm":"mute","channel":"unreachable","result":1,"meaning":"unreachable","reply":"mute:{13}")"
                       R"(,"answer":{"checkresult":"13"},"modules":[{"module":"ortavis","type":4,"result":1,)"),
              std::string::npos) << out;
}

// Each VM's rows in the order asked; guest text shown with its unprintable bytes as \xNN. The silent guest gives 3,
// a module refused beside an answering guest 1.
TEST_F(UpgctlOnHost, StatusTabulatesAnsweringSilentUnreachableAndUnknownVms)
{
    const std::string head = "VM   CHANNEL    CHECK    MODULE  CURRENT  TARGET  RESULT\n";
    EXPECT_EQ(Upgctl({"status", "-m", "nope", "vm1"}), std::tuple(1, head + R"(vm1  answering  \x1b[2J  nope    -        -       refused
)", ""));
    EXPECT_EQ(Upgctl({"status", "vm1", "vm2", "mute", "ghost"}),
              std::tuple(3, R"(VM     CHANNEL      CHECK    MODULE                      CURRENT     TARGET                        RESULT
vm1    answering    \x1b[2J  ortavis                     1.0.0.1     1.0.0.1                       0
vm1    answering    \x1b[2J  q"\x5c\x01\x09\xc3\xa9\xff  1"\x5c\x7f  \xf0\x9f\x98\x80\xed\xa0\x80  0
vm2    silent       -        -                           -           -                             -
mute   unreachable  -        ortavis                     0.0.0.0     0.0.0.0                       13
mute   unreachable  -        q"\x5c\x01\x09\xc3\xa9\xff  0.0.0.0     0.0.0.0                       13
ghost  refused      -        -                           -           -                             -
)", ""));
}

}  // namespace
