// The host state request against the real daemon on the simulated host:
// what it tells of VMs in each state it can know them in, read through the
// client library, and how it cuts the VMs into pages, read as raw bytes.
// GCC 12 misreads <regex>'s own std::function members as uninitialised when
// built with the sanitizers; the exposition parser below uses it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "daemon_host.h"
#include "upgctl_run.h"
#include "ortavis_upgclient_owners.h"

namespace {

using namespace upgd_test;
using namespace std::chrono_literals;

// The state once `done` holds of it, or the last one read after 10 s.
template <typename Pred>
UpgState WaitState(UpgClientHandle *h, Pred done)
{
    UpgState last;
    WaitUntil([&] {
        UpgClientHostState *s = nullptr;
        if (upgClientGetHostState(h, &s) != 0) {
            return false;
        }
        last.reset(s);
        return done(*s);
    }, 10s);
    return last;
}

// The page reader refuses what the daemon never sends and keeps nothing of it.
TEST(StatePage, RefusesWhatDoesNotParseAndKeepsNothingOfIt)
{
    auto head = [](uint32_t next, uint16_t count) {
        UpgStateHead h{next, count, 0};
        return std::string(reinterpret_cast<const char *>(&h), sizeof(h));
    };
    auto vm = [](const std::string &name, uint8_t modules = 0) {
        UpgStateVm v{0, 0, 0, static_cast<uint8_t>(name.size()), 1, modules, 0, 0, {}};
        return std::string(reinterpret_cast<const char *>(&v), sizeof(v)) + name;
    };
    const struct { unsigned page; std::string body; int ret; } rows[] = {
        {1, head(0, 1) + vm("a"), 0},
        {1, head(0, 1) + vm("a") + "x", -1},            // a byte after the last VM
        {1, head(0, 1) + vm("ab").substr(0, 21), -1},   // a name cut
        {1, head(3, 1) + vm("a"), -1},                  // a next page that skips a VM
        {1, head(0, 1) + vm("a", 1), -1},               // a module announced, not sent
        {1, head(0, 2) + vm("b") + vm("a"), 0},         // out of name order: the repeat is dropped
        {0, head(0, 1), -1},                            // a VM on the daemon's page
    };
    for (const auto &r : rows) {
        UpgClientHostState st{};
        unsigned next = 7;
        EXPECT_EQ(upgClientParseStatePage(reinterpret_cast<const unsigned char *>(r.body.data()), r.body.size(),
                                          r.page, &st, &next), r.ret) << r.body.size();
        EXPECT_EQ(st.vmCount, r.ret == 0 ? 1u : 0u);
        std::free(st.vms);
    }
}

class HostState : public DaemonHost {};

// The Prometheus text exposition format, strictly: every sample's family has
// its HELP and TYPE first, names and label values as the format spells them,
// and each value a number. The samples by "name{labels}".
bool ParseExposition(const std::string &text, std::map<std::string, std::string> *samples)
{
    const std::regex help(R"(# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) .+)");
    const std::regex type(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|untyped))");
    const std::regex sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*"\})? )"
                            R"((-?[0-9]+(?:\.[0-9]+)?(?:e[+-]?[0-9]+)?))");
    std::string helped, typed;
    std::istringstream in(text);
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_match(line, m, help)) {
            helped = m[1];
        } else if (std::regex_match(line, m, type) && m[1] == helped) {
            typed = m[1];
        } else if (!std::regex_match(line, m, sample) || m[1] != typed ||
                   !samples->emplace(m[1].str() + m[2].str(), m[3]).second) {
            return false;
        }
    }
    return !text.empty() && text.back() == '\n';
}

// cur reported the offered version, old an older one when asked, iso asked for
// the ISO and keeps it (upgrading), mute's guest agent is silent, full's drive
// holds a medium of its own (refused).
TEST_F(HostState, EachVmAsTheDaemonKnowsItFromWhatItsGuestSent)
{
    const FakeVirsh::Reply failed = {1, "\n", "error: Guest agent is not responding", ""};
    virsh.Script("qemu-agent-command", "mute", failed);
    virsh.Script("gethdbiso", "full", {1, "/images/user.iso\n", "", ""});
    SetUpHost({"cur", "old", "iso", "mute", "full"});
    UpgHandle h(upgClientConnect(AF_UNIX));
    ASSERT_TRUE(h);
    host.SetModule("cur", {"ortavis", "1.0.0.2", "1.0.0.2", 0, ISO_LINUX});
    host.SetBehaviour("cur", guestsim::Behaviour::BadCount, 7);   // one module, said to be seven
    ASSERT_TRUE(host.SendRequest("cur", VM_RSP_UPGRADE_STATE_MSG));
    char *text = upgClientGetUpgResult(h.get(), "old", "ortavis");
    EXPECT_STREQ(text, "old:{ortavis,1.0.0.1,0,1.0.0.1}");
    std::free(text);
    for (const char *vm : {"iso", "mute", "full"}) {
        ASSERT_TRUE(host.SendRequest(vm, VM_REQ_ATTACH_ISO_MSG));
    }
    ASSERT_TRUE(log.WaitFor("attach iso success") && log.WaitFor("attachIso ortavis not running"));
    UpgState s = WaitState(h.get(), [](const UpgClientHostState &st) {
        return st.daemon.refusals == 1 && st.vmCount == 5 && st.vms[0].moduleCount == 1 &&
               st.vms[3].state == UPGRADE_CONNECT_TIMEOUT_STATE;
    });
    ASSERT_TRUE(s);
    const UpgStateDaemon &d = s->daemon;
    EXPECT_STREQ(d.version, "0.1.0");
    EXPECT_TRUE(d.startTime > 0 && d.startTime <= d.now);
    EXPECT_EQ(std::tuple(d.intervalMinutes, d.nextFire, d.runActive, d.runs, d.attaches, d.refusals, d.vmCount),
              std::tuple(0u, 0u, 0, 0u, 1u, 1u, 5));
    ASSERT_EQ(s->offerCount, 1);
    EXPECT_EQ(std::tuple(std::string(s->offer[0].module), std::string(s->offer[0].version), s->offer[0].os),
              std::tuple("ortavis", "1.0.0.2", ISO_LINUX));
    struct Row { const char *name; int state, outcome, iso; const char *isoName; int modules; const char *cur;
                 int available; };
    const Row rows[] = {
        {"cur", UPGRADE_IDLE_STATE, UPG_OUTCOME_REPORTED, 0, "", 1, "1.0.0.2", 0},
        {"full", UPGRADE_ATTACH_REFUSED_STATE, UPG_OUTCOME_REFUSED, 0, "", 0, "", 0},
        {"iso", UPGRADE_RUNNING_STATE, UPG_OUTCOME_NONE, 1, "ortavis-linux.iso", 0, "", 0},
        {"mute", UPGRADE_CONNECT_TIMEOUT_STATE, UPG_OUTCOME_NONE, 0, "", 0, "", 0},
        {"old", UPGRADE_IDLE_STATE, UPG_OUTCOME_NONE, 0, "", 1, "1.0.0.1", 1},
    };
    ASSERT_EQ(s->vmCount, std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row &r = rows[i];
        const UpgClientVmState &vm = s->vms[i];
        SCOPED_TRACE(r.name);
        EXPECT_STREQ(vm.name, r.name);
        EXPECT_EQ(std::tuple(vm.channel, vm.state, vm.outcome, vm.isoInDrive, std::string(vm.iso), vm.moduleCount,
                             vm.upgradeAvailable),
                  std::tuple(1, r.state, r.outcome, r.iso, std::string(r.isoName), r.modules, r.available));
        if (r.modules == 1) {
            EXPECT_EQ(std::tuple(std::string(vm.modules[0].name), std::string(vm.modules[0].curversion),
                                 vm.modules[0].rescode),
                      std::tuple("ortavis", r.cur, 0));
            EXPECT_LE(vm.modules[0].age, d.now - d.startTime);   // reported since the daemon started
        }
    }
    virsh.ClearCalls();
    UpgClientHostState *again = nullptr;
    ASSERT_EQ(upgClientGetHostState(h.get(), &again), 0);
    upgClientFreeHostState(again);
    EXPECT_TRUE(virsh.Calls().empty()) << "answered from memory, without a command";

    // The tool: list's table and its exit, 4 for mute's silent agent.
    auto [exit, out, err] = Upgctl({"list"});
    EXPECT_EQ(std::tuple(exit, out, err),
              std::tuple(4,
                         "VM    CHANNEL  STATE        TOOLS        MODULES                   ISO\n"
                         "cur   up       idle         current      ortavis=1.0.0.2           -\n"
                         "full  up       refused      unknown      -                         -\n"
                         "iso   up       upgrading    unknown      -                         ortavis-linux.iso\n"
                         "mute  up       unreachable  no-answer    -                         -\n"
                         "old   up       idle         out-of-date  ortavis=1.0.0.1->1.0.0.2  -\n"
                         "5 VMs: 1 current, 1 out of date, 1 no answer, 2 unknown; ISO in drive: 1\n",
                         ""));
    const struct { std::vector<std::string> args; int exit; std::string said; } calls[] = {
        {{"list", "--json"}, 4, R"({"request":"list","vms":5,"current":1,"out-of-date":1,"no-answer":1,)"
                                R"("unknown":2,"iso_in_drive":1,"code":"guest-silent"})"},
        {{"list", "--json"}, 4, R"("tools":"out-of-date","modules":[{"module":"ortavis","curversion":"1.0.0.1",)"},
        {{"info"}, 0, "offer        ortavis 1.0.0.2 (linux)\nVMs          5\n"
                      "since start  0 runs, 1 attaches, 0 detaches, 0 failures, 1 refusals\n"},
        {{"info", "-j"}, 0, R"("offer":[{"module":"ortavis","version":"1.0.0.2","os":"linux"}])"},
    };
    for (const auto &r : calls) {
        auto [e, o, _] = Upgctl(r.args);
        EXPECT_EQ(e, r.exit) << testing::PrintToString(r.args);
        EXPECT_NE(o.find(r.said), std::string::npos) << o;
    }
    auto [mexit, metrics, merr] = Upgctl({"metrics"});
    EXPECT_EQ(mexit, 0) << merr;
    std::map<std::string, std::string> samples;
    ASSERT_TRUE(ParseExposition(metrics, &samples)) << metrics;
    const std::map<std::string, std::string> want = {
        {R"(ortavis_upgd_info{version="0.1.0"})", "1"},   {"ortavis_upgd_attaches_total", "1"},
        {"ortavis_upgd_refusals_total", "1"},             {"ortavis_upgd_runs_total", "0"},
        {R"(ortavis_upgd_vm_state{vm="full"})", "9"},     {R"(ortavis_upgd_vm_state{vm="iso"})", "1"},
        {R"(ortavis_upgd_vm_out_of_date{vm="old"})", "1"}, {R"(ortavis_upgd_vm_out_of_date{vm="cur"})", "0"},
    };
    for (const auto &[name, value] : want) {
        EXPECT_EQ(samples[name], value) << name;
    }
    EXPECT_EQ(samples.size(), 18u);
}

// Pages of VMs without modules: 4 names of 109 characters fill a reply, a
// fifth goes to the next; 127-character names go three to a reply, each page
// whole. Each page goes on after the last name held, so a VM that runs
// through a whole fetch is in it once, whatever stops between its pages.
TEST_F(HostState, PagesHoldWholeVmsAndGoOnFromTheLastName)
{
    SetUpHost({});
    ManageClient client;
    // The daemon's part once it counts `vms`, each request a discovery pass.
    auto daemonPart = [&](UpgClientHostState *st, size_t vms) {
        unsigned more = 0;
        EXPECT_TRUE(WaitUntil([&] {
            auto [result, body] = Ask(UPG_MSG_HOST_STATE, StateBody(UPG_STATE_DAEMON), client);
            return (upgClientParseStatePage(reinterpret_cast<const unsigned char *>(body.data()), body.size(),
                                            UPG_STATE_DAEMON, st, &more) == 0 && st->daemon.vmCount == vms) ||
                   (Ask(UPG_MSG_HEALTH_CHECK, ActionBody("none", 1), client), false);
        }, 10s)) << vms;
    };
    // The next page of VMs into st: how many it held, and whether more follow.
    auto nextPage = [&](UpgClientHostState *st) {
        std::string after = st->vmCount > 0 ? st->vms[st->vmCount - 1].name : "";
        auto [result, body] = Ask(UPG_MSG_HOST_STATE, StateBody(UPG_STATE_VMS, after), client);
        EXPECT_EQ(result, HOST_RESULT_OK);
        EXPECT_LE(body.size(), HOST_MSG_BODY_MAX);
        size_t before = st->vmCount;
        unsigned more = 0;
        EXPECT_EQ(upgClientParseStatePage(reinterpret_cast<const unsigned char *>(body.data()), body.size(),
                                          UPG_STATE_VMS, st, &more), 0);
        return std::pair(static_cast<int>(st->vmCount - before), more == 1);
    };
    // The last row: between its first page and its second, a VM of the first stops.
    struct Row { int vms; size_t nameLen; std::vector<int> perPage; };
    const Row rows[] = {
        {0, 0, {0}}, {1, 5, {1}}, {4, 109, {4}}, {5, 109, {4, 1}}, {7, 127, {3, 3, 1}}, {40, 5, {20, 20}},
    };
    std::vector<std::string> running;
    char row = '0';
    for (const Row &r : rows) {
        SCOPED_TRACE(r.vms);
        for (const std::string &n : running) {
            host.StopVm(n);
        }
        running.clear();
        for (int i = 0; i < r.vms; ++i) {
            running.push_back(row + std::to_string(100 + i).substr(1) + std::string(r.nameLen - 3, 'x'));
            ASSERT_TRUE(host.AddVm(running.back(), Guest()));
        }
        UpgClientHostState st{}, now{};
        daemonPart(&st, running.size());
        std::vector<int> perPage;
        for (bool more = true; more;) {
            auto [held, after] = nextPage(&st);
            perPage.push_back(held);
            more = after;
            if (&r == std::end(rows) - 1 && perPage.size() == 1) {
                host.StopVm(running[3]);
                daemonPart(&now, running.size() - 1);
            }
        }
        EXPECT_EQ(perPage, r.perPage);
        ASSERT_EQ(st.vmCount, running.size());
        for (size_t i = 0; i < running.size(); ++i) {
            EXPECT_EQ(st.vms[i].name, running[i]);
        }
        std::free(st.vms);
        std::free(now.vms);
        ++row;
    }
    // A tagged request whose fields do not hold is refused.
    auto [result, body] = Ask(UPG_MSG_HOST_STATE, StateBody(UPG_STATE_DAEMON) + "x", client);
    EXPECT_EQ(std::tuple(result, body.size()), std::tuple(HOST_RESULT_FAIL, 0u));
}

// A client that asks for pages and reads none holds up only itself: while
// the daemon's write to it waits out its deadline, another client's health
// checks of an unknown VM (a discovery pass and a look-up in the registry,
// no command) are answered as fast as ever.
TEST_F(HostState, AClientThatReadsNoPageHoldsUpNoOtherRequest)
{
    SetUpHost({"vm1"});
    ManageClient stuck, other;
    std::thread flood([&] {
        std::string requests;
        for (uint64_t id = 1; id <= 20000; ++id) {
            requests += ManageMessage(id, UPG_MSG_HOST_STATE, 0, StateBody(UPG_STATE_DAEMON));
        }
        (void)stuck.Send(requests);   // fails once the daemon gives up on it
    });
    auto slowest = std::chrono::steady_clock::duration::zero();
    int asked = 0;
    const auto end = std::chrono::steady_clock::now() + 20s;   // the stuck write gives up after 3 s
    while (log.Count("did not take its reply") == 0 && std::chrono::steady_clock::now() < end) {
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(Ask(UPG_MSG_HEALTH_CHECK, ActionBody("ghost", 1), other), std::pair(1, std::string()));
        slowest = std::max(slowest, std::chrono::steady_clock::now() - t0);
        ++asked;
    }
    stuck.Shutdown();   // not closed under the flood's send
    flood.join();
    EXPECT_GT(log.Count("did not take its reply"), 0u) << asked;
    EXPECT_LT(slowest, 2500ms) << "a health check waited on the stuck client's 3-second write";
}

// upgrade --wait follows a real run: vm1 (1.0.0.1, 1.0.0.2 offered) is served,
// its guest attaches, installs and reports, and the tool ends once it has.
TEST_F(HostState, UpgradeWaitFollowsTheRunUntilItsVmHasAnswered)
{
    SetUpHost({"vm1"});
    auto [exit, out, err] = Upgctl({"upgrade", "--wait", "vm1"});
    EXPECT_EQ(std::tuple(exit, out), std::tuple(0, "upgrade requested\n")) << err;
    EXPECT_NE(err.find("run: 0 of 1 VMs served, serving vm1; 0 of 1 VMs up to date\n"), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("run ended; 1 of 1 VMs up to date\n")) << err;
    EXPECT_EQ(std::get<0>(Upgctl({"list"})), 0);
}

}  // namespace
