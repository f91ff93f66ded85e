// The client library against a scripted daemon on the real socket path.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_manage_daemon.h"
#include "ortavis_upgclient.h"
#include "unix_socket.h"

namespace {

using namespace upgd_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Session = FakeManageDaemon::Session;
using Script = std::function<void(Session &, uint64_t id)>;

struct HandleCloser {
    void operator()(UpgClientHandle *h) const { upgClientClose(h); }
};
using Handle = std::unique_ptr<UpgClientHandle, HandleCloser>;

Handle Connect()
{
    return Handle(upgClientConnect(AF_UNIX));
}

// Takes ownership of a reply text; "<null>" stands for no reply.
std::string Take(char *text)
{
    std::string s = text != nullptr ? text : "<null>";
    std::free(text);
    return s;
}

// A health check's reply text, or an immediate start's result as text.
std::string Ask(UpgClientHandle *h, bool control)
{
    return control ? std::to_string(upgClientControlUpgrade(h, 1, 0, "no"))
                   : Take(upgClientHealthCheck(h, "web01", 1));
}

// The four little-endian bytes of v.
std::string Le(uint32_t v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof(v));
}

std::string ControlBody(int32_t action, int32_t interval, const std::string &para)
{
    return Le(action) + Le(interval) + Le(static_cast<uint32_t>(para.size())) + para;
}

uint64_t NowUs()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Script Sends(std::function<std::string(uint64_t)> bytes)
{
    return [bytes](Session &s, uint64_t id) { s.Send(bytes(id)); };
}

void Ignore(Session &, const ManageRequest &) {}

// ---- Requests and their bytes -------------------------------------------------

TEST(ClientRequests, RefusedArgumentsSendNothing)
{
    FakeManageDaemon daemon(Ignore);
    ASSERT_TRUE(daemon.Listening());
    Handle h = Connect();
    ASSERT_TRUE(h);
    UpgClientHandle *hp = h.get();
    const std::string p513(513, 'v'), n129(129, 'n'), m17(17, 'm');
    // The length of the list is checked before the action's rules, the action before the length.
    struct Control { int action, interval; const char *para; int want; };
    for (Control r : {Control{1, 29, "no", 5}, {1, 525601, "no", 5}, {1, -30, "no", 5}, {1, 30, "web01", 5},
                      {2, 5, "no", 5}, {2, 0, "web01", 5}, {0, 0, "no", 5}, {3, 0, "no", 5}, {1, 0, nullptr, 5},
                      {1, 0, p513.c_str(), 4}, {2, 5, p513.c_str(), 4}, {0, 0, p513.c_str(), 5}}) {
        EXPECT_EQ(upgClientControlUpgrade(hp, r.action, r.interval, r.para), r.want)
            << r.action << "/" << r.interval << "/" << (r.para ? std::string(r.para).substr(0, 8) : "(null)");
    }
    EXPECT_EQ(upgClientControlUpgrade(nullptr, 2, 0, "no"), -1);
    EXPECT_EQ(Take(upgClientHealthCheck(nullptr, "web01", 1)), "<null>");
    EXPECT_EQ(Take(upgClientAutoCtrl(nullptr, "web01", 1)), "<null>");
    EXPECT_EQ(Take(upgClientGetUpgResult(nullptr, "web01", "tools")), "<null>");
    using Pair = std::pair<const char *, int>;
    for (auto [vm, kind] : {Pair{nullptr, 1}, {n129.c_str(), 1}, {"web01", 0}, {"web01", 3}, {"web01", -1}}) {
        EXPECT_EQ(Take(upgClientHealthCheck(hp, vm, kind)), "<null>") << "health " << kind;
    }
    for (auto [vm, value] : {Pair{nullptr, 1}, {n129.c_str(), 1}, {"web01", 0}, {"web01", 4}}) {
        EXPECT_EQ(Take(upgClientAutoCtrl(hp, vm, value)), "<null>") << "auto " << value;
    }
    using Names = std::pair<const char *, const char *>;
    for (auto [vm, mod] :
         {Names{nullptr, "tools"}, {"web01", nullptr}, {n129.c_str(), "tools"}, {"web01", m17.c_str()}}) {
        EXPECT_EQ(Take(upgClientGetUpgResult(hp, vm, mod)), "<null>") << "result " << (mod ? mod : "(null)");
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(daemon.RequestCount(), 0u);
}

TEST(ClientRequests, AcceptedRequestsHaveExactBytesAndReturnTheReply)
{
    // The daemon answers request i with result rows[i].result and body "reply<i>".
    const std::string p512(512, 'w'), n128(128, 'n'), m16(16, 'm');
    struct Row { std::function<std::string(UpgClientHandle *)> call; uint32_t type; std::string body; int32_t result; };
    auto control = [](int a, int interval, std::string para) {
        return [=](UpgClientHandle *h) {
            return std::to_string(upgClientControlUpgrade(h, a, interval, para.c_str()));
        };
    };
    auto health = [](std::string vm, int kind) {
        return [=](UpgClientHandle *h) { return Take(upgClientHealthCheck(h, vm.c_str(), kind)); };
    };
    const std::vector<Row> rows = {
        {control(2, 0, "no"), 5, ControlBody(2, 0, "no"), 0},
        {control(1, 30, "no"), 5, ControlBody(1, 30, "no"), 0},
        {control(1, 525600, "no"), 5, ControlBody(1, 525600, "no"), 2},
        {control(1, 0, "web01, web02"), 5, ControlBody(1, 0, "web01, web02"), 5},
        {control(1, 0, p512), 5, ControlBody(1, 0, p512), 1},
        {control(1, 0, ""), 5, ControlBody(1, 0, ""), 1},   // any text goes with an immediate start
        {control(1, 0, "no"), 5, ControlBody(1, 0, "no"), -1},
        {health("web01", 1), 3, Le(5) + "web01" + Le(1), 0},
        {health("web01", 2), 3, Le(5) + "web01" + Le(2), 0},
        {health(n128, 1), 3, Le(128) + n128 + Le(1), 0},
        {[](UpgClientHandle *h) { return Take(upgClientAutoCtrl(h, "db-2", 3)); }, 6, Le(4) + "db-2" + Le(3), 0},
        {[](UpgClientHandle *h) { return Take(upgClientGetUpgResult(h, "web01", "tools")); }, 4,
         Le(5) + "web01" + Le(5) + "tools", 0},
        {[&](UpgClientHandle *h) { return Take(upgClientGetUpgResult(h, n128.c_str(), m16.c_str())); }, 4,
         Le(128) + n128 + Le(16) + m16, 0},
    };
    std::atomic<size_t> answered{0};
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        size_t i = answered++;
        s.Reply(req, rows[i].result, rows[i].type == 5 ? "" : "reply" + std::to_string(i));
    });
    Handle h = Connect();
    ASSERT_TRUE(h);
    uint64_t before = NowUs();
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string want = rows[i].type == 5 ? std::to_string(rows[i].result) : "reply" + std::to_string(i);
        EXPECT_EQ(rows[i].call(h.get()), want) << i;
    }
    uint64_t after = NowUs();
    std::vector<ManageRequest> reqs = daemon.Requests();
    ASSERT_EQ(reqs.size(), rows.size());
    std::set<uint64_t> ids;
    for (size_t i = 0; i < reqs.size(); ++i) {
        // Header (reserved zero) and body, nothing else; the identifier is the time in microseconds.
        EXPECT_EQ(reqs[i].raw, ManageMessage(reqs[i].head.msgId, rows[i].type, 0, rows[i].body)) << i;
        EXPECT_GE(reqs[i].head.msgId, before);
        EXPECT_LE(reqs[i].head.msgId, after);
        ids.insert(reqs[i].head.msgId);
    }
    EXPECT_EQ(ids.size(), reqs.size()) << "identifiers repeat";
    // One literal check of the layout the helpers above build.
    EXPECT_EQ(reqs[0].body, std::string("\x02\0\0\0" "\0\0\0\0" "\x02\0\0\0" "no", 14));
}

// ---- Replies ------------------------------------------------------------------------

TEST(ClientReplies, OnlyTheAnswerToThisRequestIsTaken)
{
    const std::string body968(968, 'y');
    struct Row { const char *what; bool control; Script script; std::string want; };
    const std::vector<Row> rows = {
        {"identifier 0 counts as ours", true, Sends([](uint64_t) { return ManageMessage(0, 5, 3, ""); }), "3"},
        {"another identifier is skipped", true,
         Sends([](uint64_t id) { return ManageMessage(id + 1, 5, 2, "") + ManageMessage(id, 5, 0, ""); }), "0"},
        {"a late text reply is skipped with its body", true,
         Sends([](uint64_t id) { return ManageMessage(id - 1, 3, 0, "web01:{0}") + ManageMessage(id, 5, 4, ""); }),
         "4"},
        {"our identifier with another type fails", true, Sends([](uint64_t id) { return ManageMessage(id, 3, 0, ""); }),
         "-1"},
        {"a result below -1 is not an answer", true,
         Sends([](uint64_t id) { return ManageMessage(id, 5, -7, "") + ManageMessage(id, 5, 2, ""); }), "2"},
        {"a stale reply is skipped", false,
         Sends([](uint64_t id) {
             return ManageMessage(id - 1, 3, 0, "old:{0}") + ManageMessage(id, 3, 0, "web01:{0}");
         }),
         "web01:{0}"},
        {"a body of 969 is read, refused, and the wait goes on", false,
         Sends([](uint64_t id) {
             return ManageMessage(id, 3, 0, std::string(969, 'x')) + ManageMessage(id, 3, 0, "web01:{0}");
         }),
         "web01:{0}"},
        {"a stale over-long reply is consumed too", false,
         Sends([](uint64_t id) {
             return ManageMessage(id + 9, 4, 0, std::string(5000, 'x')) + ManageMessage(id, 3, 0, "web01:{0}");
         }),
         "web01:{0}"},
        {"a body of 968 is taken whole", false, Sends([&](uint64_t id) { return ManageMessage(id, 3, 0, body968); }),
         body968},
        {"an empty body is no reply", false, Sends([](uint64_t id) { return ManageMessage(id, 3, 1, ""); }), "<null>"},
        {"an answer on the guest's behalf is returned", false,
         Sends([](uint64_t id) { return ManageMessage(id, 3, 1, "web01:{13}"); }), "web01:{13}"},
        {"the identifier alone ties a reply", false, Sends([](uint64_t id) { return ManageMessage(id, 6, 0, "x"); }),
         "x"},
        {"a body that comes after its header is waited for", false,
         [](Session &s, uint64_t id) {
             std::string msg = ManageMessage(id, 3, 0, "web01:{slow}");
             s.Send(msg.substr(0, 60));
             std::this_thread::sleep_for(300ms);
             s.Send(msg.substr(60));
         },
         "web01:{slow}"},
    };
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        rows[req.session - 1].script(s, req.head.msgId);
    });
    for (const Row &r : rows) {
        Handle h = Connect();
        ASSERT_TRUE(h);
        auto start = Clock::now();
        EXPECT_EQ(Ask(h.get(), r.control), r.want) << r.what;
        EXPECT_LT(MsSince(start), 900) << r.what;
    }
}

// The one test that waits the whole ten seconds.
TEST(ClientReplies, UnansweredRequestTimesOutAndTheHandleStaysUsable)
{
    uint64_t firstId = 0;
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        if (firstId == 0) {
            firstId = req.head.msgId;   // never answered in time
            return;
        }
        s.Send(ManageMessage(firstId, 3, 0, "web01:{late}"));
        s.Reply(req, 0, "web02:{0}");
    });
    Handle h = Connect();
    ASSERT_TRUE(h);
    auto start = Clock::now();
    EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), "<null>");
    int64_t waited = MsSince(start);
    EXPECT_GE(waited, 9500);
    EXPECT_LE(waited, 12000);
    start = Clock::now();
    EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web02", 1)), "web02:{0}");
    EXPECT_LT(MsSince(start), 900);
}

TEST(ClientReplies, BrokenStreamFailsThisAndEveryLaterRequestAtOnce)
{
    // first: what the request meeting the break gets, within maxMs.
    struct Row { const char *what; bool control; Script script; std::string first; int64_t maxMs; };
    const std::vector<Row> rows = {
        {"closed after half a body", false,
         [](Session &s, uint64_t id) {
             s.Send(ManageMessage(id, 3, 0, "0123456789", 20));
             s.Close();
         },
         "<null>", 500},
        {"closed after half a header", false,
         [](Session &s, uint64_t id) {
             s.Send(ManageMessage(id, 3, 0, "web01:{0}").substr(0, 30));
             s.Close();
         },
         "<null>", 500},
        {"control reply closed after 40 bytes", true,
         [](Session &s, uint64_t id) {
             s.Send(ManageMessage(id, 5, 0, "").substr(0, 40));
             s.Close();
         },
         "-1", 500},
        {"stalled inside the body", false,
         Sends([](uint64_t id) { return ManageMessage(id, 3, 0, "0123456789", 200); }), "<null>", 2500},
        {"stalled inside the header", false,
         Sends([](uint64_t id) { return ManageMessage(id, 3, 0, "web01:{0}").substr(0, 20); }), "<null>", 2500},
        {"a body no reply has", false, Sends([](uint64_t id) { return ManageMessage(id, 3, 0, "", 0x7fffffffu); }),
         "<null>", 500},
        {"the daemon answers, then goes: a failed request, not a signal", false,
         [](Session &s, uint64_t id) {
             s.Send(ManageMessage(id, 3, 0, "web01:{0}"));
             s.Close();
         },
         "web01:{0}", 500},
    };
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        rows[req.session - 1].script(s, req.head.msgId);
    });
    for (const Row &r : rows) {
        Handle h = Connect();
        ASSERT_TRUE(h);
        size_t before = daemon.RequestCount();
        auto start = Clock::now();
        EXPECT_EQ(Ask(h.get(), r.control), r.first) << r.what;
        EXPECT_LT(MsSince(start), r.maxMs) << r.what;
        // Whatever is left in the stream must never be read as a reply.
        std::this_thread::sleep_for(20ms);
        start = Clock::now();
        EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), "<null>") << r.what;
        EXPECT_EQ(upgClientControlUpgrade(h.get(), 2, 0, "no"), -1) << r.what;
        EXPECT_LT(MsSince(start), 100) << r.what;
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(daemon.RequestCount(), before + 1) << r.what << ": sent after the stream broke";
    }
}

TEST(ClientReplies, ThreadsSharingAHandleEachGetTheirOwnReply)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 5;
    std::atomic<int> overlapped{0};
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        // A second request arriving now would mean two were in flight at once.
        std::this_thread::sleep_for(15ms);
        if (s.Pending() != 0) {
            ++overlapped;
        }
        // A stale reply with a body comes first, whatever was asked.
        s.Send(ManageMessage(req.head.msgId ^ 0x5a5a, 3, 0, "someone-else:{0}"));
        std::this_thread::sleep_for(std::chrono::milliseconds(req.head.msgId % 7));
        if (req.head.msgType == UPG_START_UPGRADE_MSG) {
            s.Reply(req, 3);
            return;
        }
        int32_t len = 0;
        std::memcpy(&len, req.body.data(), sizeof(len));
        s.Reply(req, 0, req.body.substr(4, static_cast<size_t>(len)) + ":{0}");
    });
    Handle h = Connect();
    ASSERT_TRUE(h);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if (t == 0) {
                    wrong += upgClientControlUpgrade(h.get(), 1, 0, "vm-a,vm-b") != 3;
                    continue;
                }
                std::string vm = "vm-" + std::to_string(t) + "-" + std::to_string(i);
                wrong += Take(upgClientHealthCheck(h.get(), vm.c_str(), 1)) != vm + ":{0}";
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(overlapped.load(), 0);
    std::set<uint64_t> ids;
    for (const ManageRequest &req : daemon.Requests()) {
        ids.insert(req.head.msgId);
    }
    EXPECT_EQ(ids.size(), static_cast<size_t>(kThreads * kRounds));
}

// ---- Connecting ----------------------------------------------------------

TEST(ClientConnect, OnlyAListeningUnixSocketGivesAHandle)
{
    // A failed connect says why.
    errno = 0;
    EXPECT_EQ(upgClientConnect(AF_UNIX), nullptr) << "no socket file";
    EXPECT_EQ(errno, ENOENT);
    int fd = simhost::BindUnix(kManageSocket, SOCK_STREAM, -1);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(upgClientConnect(AF_UNIX), nullptr) << "bound, not listening";
    EXPECT_EQ(errno, ECONNREFUSED);
    close(fd);

    FakeManageDaemon daemon(Ignore);
    ASSERT_TRUE(daemon.Listening());
    for (int family : {AF_INET, AF_INET6, AF_UNSPEC, AF_PACKET, -1, 1000}) {
        UpgClientHandle *h = upgClientConnect(family);
        EXPECT_EQ(h, nullptr) << "family " << family;
        upgClientClose(h);
    }
    EXPECT_EQ(upgClientClose(nullptr), -1);
    UpgClientHandle *h = upgClientConnect(AF_UNIX);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(upgClientClose(h), 0);
}

TEST(ClientLibrary, ExportsOnlyItsCInterface)
{
    FILE *nm = popen("nm -D --defined-only " UPGCLIENT_LIB, "r");
    ASSERT_NE(nm, nullptr);
    std::vector<std::string> exported;
    char line[512];
    while (fgets(line, sizeof(line), nm) != nullptr) {
        std::string name = line;
        name = name.substr(name.rfind(' ') + 1);
        name.pop_back();   // the newline
        exported.push_back(name);
    }
    ASSERT_EQ(pclose(nm), 0);
    std::sort(exported.begin(), exported.end());
    EXPECT_EQ(exported, (std::vector<std::string>{"upgClientAutoCtrl", "upgClientClose", "upgClientConnect",
                                                  "upgClientControlUpgrade", "upgClientGetUpgResult",
                                                  "upgClientHealthCheck", "upgClientRequest"}));
}

}  // namespace
