// The ortavis-upgctl binary against a scripted daemon on the real socket path:
// the request each command sends, what it prints of the answer, and its exit
// status (0 done, 1 refused or failed, 2 usage, 3 no connection or no answer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "fake_manage_daemon.h"
#include "upgd_sandbox.h"

namespace {

using namespace upgd_test;

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
        {{"health", "web01"}, L(3) + T("web01") + L(1), 1, "", fail + "the daemon refused the request\n", 1},
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
    };
    const std::vector<std::vector<std::string>> usageErrors = {
        {}, {"bogus"}, {"health"}, {"health", "web01", "web02"}, {"off", "now"}, {"auto", "web01", "4"},
        {"auto", "web01", "0"}, {"auto", "web01", "x"}, {"auto", "web01", "+2"}, {"interval", "29"},
        {"interval", "525601"}, {"interval", "3o"}, {"interval", "-60"}, {"interval", " 60"},
        {"interval", "99999999999999999999"}, {"result", "web01"}, {"result", "web01", std::string(16, 'm')},
        {"result", "web01", ""}, {"health", v128}, {"health", ""}, {"upgrade", ""}, {"upgrade", p513},
    };
    auto run = [](const std::vector<std::string> &args) {
        std::string cmd = UPGCTL_PATH;
        for (const std::string &a : args) {
            cmd += " '" + a + "'";   // no ' in them
        }
        int status = std::system((cmd + " >/run/sandbox/upgctl.out 2>/run/sandbox/upgctl.err").c_str());
        return std::tuple(ExitCode(status), ReadFile("/run/sandbox/upgctl.out").value_or("?"),
                          ReadFile("/run/sandbox/upgctl.err").value_or("?"));
    };
    EXPECT_EQ(run({"health", "web01"}),   // before the daemon is there
              std::tuple(3, "", fail + "cannot connect to /var/run/upgraded_manage: No such file or directory\n"));
    std::atomic<const Row *> current{nullptr};
    FakeManageDaemon daemon([&](FakeManageDaemon::Session &s, const ManageRequest &req) {
        const Row &row = *current.load();
        EXPECT_EQ(L(req.head.msgType) + req.body, row.request);
        row.reply == "<close>" ? s.Close() : (void)s.Reply(req, row.result, row.reply);
    });
    for (const Row &row : rows) {
        current = &row;
        const bool toErr = row.printed.rfind(fail, 0) == 0;
        EXPECT_EQ(run(row.args), std::tuple(row.exit, toErr ? "" : row.printed, toErr ? row.printed : ""));
    }
    for (const auto &args : usageErrors) {
        auto [code, out, err] = run(args);
        EXPECT_EQ(code, 2) << testing::PrintToString(args);
        EXPECT_TRUE(out.empty() && err.rfind(fail, 0) == 0 && err.find('\n') == err.size() - 1) << err;
    }
    auto [code, out, err] = run({"--help"});
    EXPECT_TRUE(code == 0 && out.rfind("Usage: ortavis-upgctl ", 0) == 0 && err.empty()) << out;
}

}  // namespace
