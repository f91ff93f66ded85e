// The client library against a scripted daemon on the real socket path.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_manage_daemon.h"
#include "ortavis_upgclient.h"

namespace {

using namespace upgd_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Session = FakeManageDaemon::Session;

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
    if (text == nullptr) {
        return "<null>";
    }
    std::string s(text);
    std::free(text);
    return s;
}

std::string U32(uint32_t v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof(v));
}

std::string I32(int32_t v)
{
    return std::string(reinterpret_cast<const char *>(&v), sizeof(v));
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

std::string ControlBody(uint32_t action, uint32_t interval, const std::string &para)
{
    return U32(action) + U32(interval) + U32(static_cast<uint32_t>(para.size())) + para;
}

void Ignore(Session &, const ManageRequest &) {}

// ---- Upgrade control ----------------------------------------------------

TEST(ClientControl, RefusedArgumentsAreAnsweredHereAndNothingIsSent)
{
    FakeManageDaemon daemon(Ignore);
    ASSERT_TRUE(daemon.Listening());
    Handle h = Connect();
    ASSERT_TRUE(h);
    const std::string tooLong(513, 'v');
    struct Row {
        int action;
        int interval;
        const char *para;
        int want;
    } rows[] = {
        {1, 29, "no", 5},
        {1, 525601, "no", 5},
        {1, -30, "no", 5},
        {1, 30, "web01", 5},        // a period applies to all VMs only
        {2, 5, "no", 5},
        {2, -1, "no", 5},
        {2, 0, "web01", 5},
        {0, 0, "no", 5},
        {3, 0, "no", 5},
        {1, 0, nullptr, 5},
        {1, 0, tooLong.c_str(), 4},
        {2, 5, tooLong.c_str(), 4},  // length is checked before the action's rules
        {0, 0, tooLong.c_str(), 5},  // the action before the length
    };
    for (const Row &r : rows) {
        EXPECT_EQ(upgClientControlUpgrade(h.get(), r.action, r.interval, r.para), r.want)
            << "action " << r.action << " interval " << r.interval << " para "
            << (r.para ? std::string(r.para).substr(0, 8) : "(null)");
    }
    EXPECT_EQ(upgClientControlUpgrade(nullptr, 2, 0, "no"), -1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(daemon.RequestCount(), 0u);
}

TEST(ClientControl, AcceptedRequestsAreSentAndTheDaemonsResultReturned)
{
    const std::string list512(512, 'w');
    struct Row {
        int action;
        int interval;
        std::string para;
        int32_t daemonResult;
    } rows[] = {
        {1, 30, "no", 0},
        {1, 525600, "no", 2},
        {1, 0, "no", 3},
        {1, 0, "web01, web02", 5},
        {1, 0, list512, 1},
        {1, 0, "", 1},     // any text goes with an immediate start; the daemon judges it
        {2, 0, "no", 0},
        {1, 0, "no", -1},
    };
    std::atomic<size_t> next{0};
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        s.Reply(req, rows[next++].daemonResult);
    });
    Handle h = Connect();
    ASSERT_TRUE(h);
    for (const Row &r : rows) {
        EXPECT_EQ(upgClientControlUpgrade(h.get(), r.action, r.interval, r.para.c_str()), r.daemonResult)
            << r.action << "/" << r.interval << "/" << r.para.substr(0, 16);
    }
    std::vector<ManageRequest> reqs = daemon.Requests();
    ASSERT_EQ(reqs.size(), std::size(rows));
    for (size_t i = 0; i < reqs.size(); ++i) {
        EXPECT_EQ(reqs[i].head.msgType, UPG_START_UPGRADE_MSG) << i;
        EXPECT_EQ(reqs[i].body, ControlBody(rows[i].action, rows[i].interval, rows[i].para)) << i;
    }
}

TEST(ClientControl, StopRequestHasExactlyTheseBytes)
{
    FakeManageDaemon daemon([](Session &s, const ManageRequest &req) { s.Reply(req, 0); });
    Handle h = Connect();
    ASSERT_TRUE(h);
    uint64_t before = NowUs();
    ASSERT_EQ(upgClientControlUpgrade(h.get(), 2, 0, "no"), 0);
    uint64_t after = NowUs();

    std::vector<ManageRequest> reqs = daemon.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    const ManageRequest &req = reqs[0];
    EXPECT_GE(req.head.msgId, before);
    EXPECT_LE(req.head.msgId, after);
    std::string body("\x02\0\0\0" "\0\0\0\0" "\x02\0\0\0" "no", 14);
    // Header (msgType 5, bufLen 14, result 0, reserved zero) then body, nothing else.
    EXPECT_EQ(req.raw, ManageMessage(req.head.msgId, 5, 0, body));
    EXPECT_EQ(req.raw.size(), 70u);
}

TEST(ClientControl, ReplyRules)
{
    using Answer = std::function<std::string(uint64_t id)>;
    struct Row {
        const char *what;
        Answer answer;
        int want;
    } rows[] = {
        {"identifier 0 counts as ours", [](uint64_t) { return ManageMessage(0, 5, 3, ""); }, 3},
        {"another identifier is skipped",
         [](uint64_t id) { return ManageMessage(id + 1, 5, 2, "") + ManageMessage(id, 5, 0, ""); }, 0},
        {"a late text reply is skipped with its body",
         [](uint64_t id) { return ManageMessage(id - 1, 3, 0, "web01:{0}") + ManageMessage(id, 5, 4, ""); }, 4},
        {"our identifier with another type fails the request",
         [](uint64_t id) { return ManageMessage(id, 3, 0, ""); }, -1},
        {"a result below -1 is not an answer",
         [](uint64_t id) { return ManageMessage(id, 5, -7, "") + ManageMessage(id, 5, 2, ""); }, 2},
    };
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        s.Send(rows[req.session - 1].answer(req.head.msgId));
    });
    for (const Row &r : rows) {
        Handle h = Connect();
        ASSERT_TRUE(h);
        auto start = Clock::now();
        EXPECT_EQ(upgClientControlUpgrade(h.get(), 1, 0, "no"), r.want) << r.what;
        EXPECT_LT(MsSince(start), 900) << r.what;
    }
}

// ---- Text requests -------------------------------------------------------

TEST(ClientText, RefusedArgumentsSendNothing)
{
    FakeManageDaemon daemon(Ignore);
    Handle h = Connect();
    ASSERT_TRUE(h);
    UpgClientHandle *hp = h.get();
    const std::string name129(129, 'n');
    const std::string mod17(17, 'm');
    struct Row {
        const char *what;
        std::function<char *()> call;
    } rows[] = {
        {"health, no handle", [&] { return upgClientHealthCheck(nullptr, "web01", 1); }},
        {"health, no name", [&] { return upgClientHealthCheck(hp, nullptr, 1); }},
        {"health, name of 129", [&] { return upgClientHealthCheck(hp, name129.c_str(), 1); }},
        {"health, kind 0", [&] { return upgClientHealthCheck(hp, "web01", 0); }},
        {"health, kind 3", [&] { return upgClientHealthCheck(hp, "web01", 3); }},
        {"health, kind -1", [&] { return upgClientHealthCheck(hp, "web01", -1); }},
        {"auto, no handle", [&] { return upgClientAutoCtrl(nullptr, "web01", 1); }},
        {"auto, no name", [&] { return upgClientAutoCtrl(hp, nullptr, 1); }},
        {"auto, name of 129", [&] { return upgClientAutoCtrl(hp, name129.c_str(), 1); }},
        {"auto, value 0", [&] { return upgClientAutoCtrl(hp, "web01", 0); }},
        {"auto, value 4", [&] { return upgClientAutoCtrl(hp, "web01", 4); }},
        {"result, no handle", [&] { return upgClientGetUpgResult(nullptr, "web01", "tools"); }},
        {"result, no VM", [&] { return upgClientGetUpgResult(hp, nullptr, "tools"); }},
        {"result, no module", [&] { return upgClientGetUpgResult(hp, "web01", nullptr); }},
        {"result, VM of 129", [&] { return upgClientGetUpgResult(hp, name129.c_str(), "tools"); }},
        {"result, module of 17", [&] { return upgClientGetUpgResult(hp, "web01", mod17.c_str()); }},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(Take(r.call()), "<null>") << r.what;
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(daemon.RequestCount(), 0u);
}

TEST(ClientText, RequestsCarryTheirBodiesAndReturnTheReply)
{
    // The daemon answers each request with a body naming its position.
    std::atomic<int> answered{0};
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        s.Reply(req, 0, "reply" + std::to_string(++answered));
    });
    Handle h = Connect();
    ASSERT_TRUE(h);
    UpgClientHandle *hp = h.get();
    const std::string name128(128, 'n');
    const std::string mod16(16, 'm');
    struct Row {
        std::function<char *()> call;
        uint32_t type;
        std::string body;
    } rows[] = {
        {[&] { return upgClientHealthCheck(hp, "web01", 1); }, 3, I32(5) + "web01" + U32(1)},
        {[&] { return upgClientHealthCheck(hp, "web01", 2); }, 3, I32(5) + "web01" + U32(2)},
        {[&] { return upgClientHealthCheck(hp, name128.c_str(), 1); }, 3, I32(128) + name128 + U32(1)},
        {[&] { return upgClientAutoCtrl(hp, "db-2", 1); }, 6, I32(4) + "db-2" + U32(1)},
        {[&] { return upgClientAutoCtrl(hp, "db-2", 3); }, 6, I32(4) + "db-2" + U32(3)},
        {[&] { return upgClientGetUpgResult(hp, "web01", "tools"); }, 4, I32(5) + "web01" + I32(5) + "tools"},
        {[&] { return upgClientGetUpgResult(hp, name128.c_str(), mod16.c_str()); }, 4,
         I32(128) + name128 + I32(16) + mod16},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(Take(rows[i].call()), "reply" + std::to_string(i + 1)) << i;
    }
    std::vector<ManageRequest> reqs = daemon.Requests();
    ASSERT_EQ(reqs.size(), std::size(rows));
    std::set<uint64_t> ids;
    for (size_t i = 0; i < reqs.size(); ++i) {
        EXPECT_EQ(reqs[i].raw, ManageMessage(reqs[i].head.msgId, rows[i].type, 0, rows[i].body)) << i;
        ids.insert(reqs[i].head.msgId);
    }
    EXPECT_EQ(ids.size(), reqs.size()) << "identifiers repeat";
}

TEST(ClientText, ReplyRules)
{
    using Script = std::function<void(Session &, uint64_t id)>;
    auto sends = [](std::function<std::string(uint64_t)> bytes) {
        return Script([bytes](Session &s, uint64_t id) { s.Send(bytes(id)); });
    };
    const std::string body968(968, 'y');
    struct Row {
        const char *what;
        Script script;
        std::string want;
    } rows[] = {
        {"a stale reply is skipped",
         sends([](uint64_t id) { return ManageMessage(id - 1, 3, 0, "old:{0}") + ManageMessage(id, 3, 0, "web01:{0}"); }),
         "web01:{0}"},
        {"a body of 969 is read, refused, and the wait goes on",
         sends([](uint64_t id) {
             return ManageMessage(id, 3, 0, std::string(969, 'x')) + ManageMessage(id, 3, 0, "web01:{0}");
         }),
         "web01:{0}"},
        {"a stale over-long reply is consumed too",
         sends([](uint64_t id) {
             return ManageMessage(id + 9, 4, 0, std::string(5000, 'x')) + ManageMessage(id, 3, 0, "web01:{0}");
         }),
         "web01:{0}"},
        {"a body of 968 is taken whole", sends([&](uint64_t id) { return ManageMessage(id, 3, 0, body968); }),
         body968},
        {"an empty body is no reply", sends([](uint64_t id) { return ManageMessage(id, 3, 1, ""); }), "<null>"},
        {"an answer on the guest's behalf is returned",
         sends([](uint64_t id) { return ManageMessage(id, 3, 1, "web01:{13}"); }), "web01:{13}"},
        {"the identifier alone ties a reply", sends([](uint64_t id) { return ManageMessage(id, 6, 0, "x"); }), "x"},
        {"a body that comes after its header is waited for",
         Script([](Session &s, uint64_t id) {
             std::string msg = ManageMessage(id, 3, 0, "web01:{slow}");
             s.Send(msg.substr(0, 60));
             std::this_thread::sleep_for(300ms);
             s.Send(msg.substr(60));
         }),
         "web01:{slow}"},
    };
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        rows[req.session - 1].script(s, req.head.msgId);
    });
    for (const Row &r : rows) {
        Handle h = Connect();
        ASSERT_TRUE(h);
        auto start = Clock::now();
        EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), r.want) << r.what;
        EXPECT_LT(MsSince(start), 900) << r.what;
    }
}

// The one test that waits the whole ten seconds.
TEST(ClientText, UnansweredRequestTimesOutAndTheHandleStaysUsable)
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

// ---- A stream out of step ----------------------------------------------

TEST(ClientStream, CutOffReplyFailsThisAndEveryLaterRequestAtOnce)
{
    using Script = std::function<void(Session &, uint64_t id)>;
    struct Row {
        const char *what;
        Script script;
        int64_t maxMs;   // for the request that meets the cut
    } rows[] = {
        {"closed after half a body",
         [](Session &s, uint64_t id) {
             s.Send(ManageMessage(id, 3, 0, "0123456789", 20));
             s.Close();
         },
         500},
        {"closed after half a header",
         [](Session &s, uint64_t id) {
             s.Send(ManageMessage(id, 3, 0, "web01:{0}").substr(0, 30));
             s.Close();
         },
         500},
        {"stalled inside the body",
         [](Session &s, uint64_t id) { s.Send(ManageMessage(id, 3, 0, "0123456789", 200)); }, 2500},
        {"stalled inside the header",
         [](Session &s, uint64_t id) { s.Send(ManageMessage(id, 3, 0, "web01:{0}").substr(0, 20)); }, 2500},
        {"a body no reply has", [](Session &s, uint64_t id) { s.Send(ManageMessage(id, 3, 0, "", 0x7fffffffu)); },
         500},
    };
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        rows[req.session - 1].script(s, req.head.msgId);
    });
    for (const Row &r : rows) {
        Handle h = Connect();
        ASSERT_TRUE(h);
        size_t before = daemon.RequestCount();
        auto start = Clock::now();
        EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), "<null>") << r.what;
        EXPECT_LT(MsSince(start), r.maxMs) << r.what;

        // Whatever is left in the stream must never be read as a reply.
        start = Clock::now();
        EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), "<null>") << r.what;
        EXPECT_EQ(upgClientControlUpgrade(h.get(), 2, 0, "no"), -1) << r.what;
        EXPECT_LT(MsSince(start), 100) << r.what;
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(daemon.RequestCount(), before + 1) << r.what << ": sent after the stream broke";
    }
}

TEST(ClientStream, ControlReplyCutOffFailsTheHandle)
{
    FakeManageDaemon daemon([](Session &s, const ManageRequest &req) {
        s.Send(ManageMessage(req.head.msgId, 5, 0, "").substr(0, 40));
        s.Close();
    });
    Handle h = Connect();
    ASSERT_TRUE(h);
    EXPECT_EQ(upgClientControlUpgrade(h.get(), 2, 0, "no"), -1);
    EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), "<null>");
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(daemon.RequestCount(), 1u);
}

TEST(ClientStream, DaemonGoneIsAFailedRequestNotASignal)
{
    FakeManageDaemon daemon([](Session &s, const ManageRequest &req) {
        s.Reply(req, 0, "web01:{0}");
        s.Close();
    });
    Handle h = Connect();
    ASSERT_TRUE(h);
    EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), "web01:{0}");
    std::this_thread::sleep_for(100ms);   // the daemon's side is shut by now
    auto start = Clock::now();
    EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), "<null>");
    EXPECT_EQ(upgClientControlUpgrade(h.get(), 2, 0, "no"), -1);
    EXPECT_LT(MsSince(start), 900);
}

// ---- Sharing a handle ----------------------------------------------------

TEST(ClientShared, ThreadsSharingAHandleEachGetTheirOwnReply)
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

TEST(ClientConnect, OnlyUnixFamilyIsAccepted)
{
    FakeManageDaemon daemon(Ignore);
    ASSERT_TRUE(daemon.Listening());
    for (int family : {AF_INET, AF_INET6, AF_UNSPEC, AF_PACKET, -1, 1000}) {
        UpgClientHandle *h = upgClientConnect(family);
        EXPECT_EQ(h, nullptr) << "family " << family;
        upgClientClose(h);
    }
    Handle h = Connect();
    EXPECT_TRUE(h) << "the listening daemon was reachable all along";
}

TEST(ClientConnect, NobodyListeningGivesNoHandle)
{
    EXPECT_EQ(upgClientConnect(AF_UNIX), nullptr) << "no socket file";

    // A socket file whose owner never listens.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, kManageSocket, sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(upgClientConnect(AF_UNIX), nullptr) << "bound, not listening";
    close(fd);
}

TEST(ClientConnect, CloseReportsANullHandle)
{
    FakeManageDaemon daemon(Ignore);
    EXPECT_EQ(upgClientClose(nullptr), -1);
    UpgClientHandle *h = upgClientConnect(AF_UNIX);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(upgClientClose(h), 0);
}

}  // namespace
