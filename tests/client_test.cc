// The client library against a scripted daemon on the real socket path. What
// each ortavis-upgctl command sends through it is read in upgctl_test; here
// the calls the tool does not make, the limits the tool refuses before the
// library sees them, and every way a reply can come or fail to.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fake_manage_daemon.h"
#include "manage_client.h"
#include "ortavis_upgclient_owners.h"
#include "unix_socket.h"
#include "upgd_sandbox.h"

namespace {

using namespace upgd_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Session = FakeManageDaemon::Session;


UpgHandle Connect()
{
    return UpgHandle(upgClientConnect(AF_UNIX));
}

// Takes ownership of a reply text; "<null>" stands for no reply.
std::string Take(char *text)
{
    std::string s = text != nullptr ? text : "<null>";
    std::free(text);
    return s;
}

int64_t MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// ---- Requests -------------------------------------------------------------------------

TEST(ClientRequests, RefusedArgumentsSendNothingAndTheTextCallsGoOutExactly)
{
    FakeManageDaemon daemon([](Session &s, const ManageRequest &r) { s.Reply(r, 1, std::to_string(r.head.msgType)); });
    UpgHandle h = Connect();
    ASSERT_TRUE(h);
    const std::string p513(513, 'v'), n128(128, 'n'), m16(16, 'm'), n127(127, 'n'), m15(15, 'm');
    // The length of the list is checked before the action's rules, the action before the length.
    struct Control { int action, interval; const char *para; int want; };
    for (Control r : {Control{1, 29, "no", 5}, {1, 525601, "no", 5}, {1, -30, "no", 5}, {1, 30, "web01", 5},
                      {2, 5, "no", 5}, {2, 0, "web01", 5}, {0, 0, "no", 5}, {3, 0, "no", 5}, {1, 0, nullptr, 5},
                      {1, 0, p513.c_str(), 4}, {2, 5, p513.c_str(), 4}, {0, 0, p513.c_str(), 5}}) {
        EXPECT_EQ(upgClientControlUpgrade(h.get(), r.action, r.interval, r.para), r.want) << r.interval;
    }
    EXPECT_EQ(upgClientControlUpgrade(nullptr, 2, 0, "no"), -1);
    // Text requests: type 3 takes kind 1 or 2, type 6 a value 1 to 3, type 4 a module of 1 to 15; names 1 to 127.
    struct Text { UpgClientHandle *h; int type; const char *vm, *mod; int value; };
    UpgClientHandle *hp = h.get();
    for (Text t : {Text{nullptr, 3, "vm", nullptr, 1}, {hp, 3, nullptr, nullptr, 1}, {hp, 3, n128.c_str(), nullptr, 1}, {hp, 3, "", nullptr, 1},
                   {hp, 3, "vm", nullptr, 0}, {hp, 3, "vm", nullptr, 3}, {hp, 6, "vm", nullptr, 0},
                   {hp, 6, "vm", nullptr, 4}, {hp, 4, "vm", nullptr, 0}, {hp, 4, "vm", m16.c_str(), 0}, {hp, 4, "vm", "", 0},
                   {hp, 4, n128.c_str(), "tools", 0}, {hp, 5, "vm", "tools", 1}}) {
        char *text = nullptr;
        errno = 0;
        EXPECT_EQ(upgClientRequest(t.h, t.type, t.vm, t.mod, t.value, &text), -1) << t.type << "/" << t.value;
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(text, nullptr);
    }
    // The three calls at the longest names the daemon takes: the first requests the daemon sees.
    EXPECT_EQ(Take(upgClientHealthCheck(h.get(), n127.c_str(), 2)), "3");
    EXPECT_EQ(Take(upgClientAutoCtrl(h.get(), "db-2", 3)), "6");
    EXPECT_EQ(Take(upgClientGetUpgResult(h.get(), n127.c_str(), m15.c_str())), "4");
    const std::vector<std::pair<uint32_t, std::string>> sent = {
        {3, ActionBody(n127, 2)}, {6, ActionBody("db-2", 3)}, {4, QueryBody(n127, m15)}};
    std::vector<ManageRequest> reqs = daemon.Requests();
    ASSERT_EQ(reqs.size(), sent.size());
    for (size_t i = 0; i < reqs.size(); ++i) {
        // Header (reserved zero) and body, nothing else; the identifiers never repeat.
        EXPECT_EQ(reqs[i].raw, ManageMessage(reqs[i].head.msgId, sent[i].first, 0, sent[i].second)) << i;
        EXPECT_GT(reqs[i].head.msgId, i == 0 ? 0 : reqs[i - 1].head.msgId);
    }
}

// ---- Replies ------------------------------------------------------------------------

TEST(ClientReplies, EachRequestTakesItsOwnAnswerOrFailsTheHandle)
{
    // The bytes the daemon sends for a connection's first request (pausing 300 ms after `pause` of them; with
    // `goes`, it then ends the connection), and what that request gets: a health check's text, or a control's
    // result, within maxMs (well short of the 10-second reply wait). The next request gets its answer then, or,
    // when the stream broke, every later request fails at once, sending nothing.
    using Bytes = std::function<std::string(uint64_t id)>;
    struct Row { const char *what; bool control; Bytes bytes; std::string want;
                 bool breaks = false, goes = false; int64_t maxMs = 3000; size_t pause = 0; };
    const std::string body968(968, 'y'), x969(969, 'x'), x5000(5000, 'x');
    const std::vector<Row> rows = {
        {"identifier 0 counts as ours", true, [](uint64_t) { return ManageMessage(0, 5, 3, ""); }, "3"},
        {"a late text reply is skipped with its body", true,
         [](uint64_t id) { return ManageMessage(id - 1, 3, 0, "web01:{0}") + ManageMessage(id, 5, 4, ""); }, "4"},
        {"our identifier with another type fails", true, [](uint64_t id) { return ManageMessage(id, 3, 0, ""); }, "-1"},
        {"a result below -1 is not an answer", true,
         [](uint64_t id) { return ManageMessage(id, 5, -7, "") + ManageMessage(id, 5, 2, ""); }, "2"},
        {"a stale reply is skipped", false,
         [](uint64_t id) { return ManageMessage(id - 1, 3, 0, "old:{0}") + ManageMessage(id, 3, 0, "web01:{0}"); },
         "web01:{0}"},
        {"bodies over 968 are read and dropped, stale or not, and the wait goes on", false, [&](uint64_t id) {
             return ManageMessage(id + 9, 4, 0, x5000) + ManageMessage(id, 3, 0, x969) + ManageMessage(id, 3, 0, "w");
         },
         "w"},
        {"a body of 968 is taken whole", false, [&](uint64_t id) { return ManageMessage(id, 3, 0, body968); }, body968},
        {"an empty body is no reply", false, [](uint64_t id) { return ManageMessage(id, 3, 1, ""); }, "<null>"},
        {"the identifier alone ties a reply", false, [](uint64_t id) { return ManageMessage(id, 6, 1, "x"); }, "x"},
        {"a body that comes after its header is waited for", false,
         [](uint64_t id) { return ManageMessage(id, 3, 0, "web01:{slow}"); }, "web01:{slow}", false, false, 3000, 60},
        {"no answer within ten polls of a second", false, [](uint64_t) { return ""; }, "<null>", false, false, 12000},
        {"closed after half a body", false, [](uint64_t id) { return ManageMessage(id, 3, 0, "0123456789", 20); },
         "<null>", true, true},
        {"control reply closed after half a header", true,
         [](uint64_t id) { return ManageMessage(id, 5, 0, "").substr(0, 40); }, "-1", true, true},
        {"stalled inside the body", false, [](uint64_t id) { return ManageMessage(id, 3, 0, "0123456789", 200); },
         "<null>", true, false, 5000},
        {"a body no reply has", false, [](uint64_t id) { return ManageMessage(id, 3, 0, "", 0x7fffffffu); }, "<null>",
         true},
        {"the daemon answers, then goes: a failed request, not a signal", false,
         [](uint64_t id) { return ManageMessage(id, 3, 0, "web01:{0}"); }, "web01:{0}", true, true},
    };
    std::atomic<int> lastSession{0};
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        if (lastSession.exchange(req.session) == req.session) {
            s.Reply(req, 0, "again");
            return;
        }
        const Row &r = rows[req.session - 1];
        std::string bytes = r.bytes(req.head.msgId);
        size_t first = r.pause != 0 ? r.pause : bytes.size();
        s.Send(bytes.substr(0, first));
        std::this_thread::sleep_for(r.pause != 0 ? 300ms : 0ms);
        s.Send(bytes.substr(first));
        if (r.goes) {
            s.Close();
        }
    });
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        UpgHandle h = Connect();
        ASSERT_TRUE(h);
        size_t before = daemon.Requests().size();
        auto start = Clock::now();
        EXPECT_EQ(r.control ? std::to_string(upgClientControlUpgrade(h.get(), 1, 0, "no"))
                            : Take(upgClientHealthCheck(h.get(), "web01", 1)),
                  r.want);
        EXPECT_LT(MsSince(start), r.maxMs);
        EXPECT_GE(MsSince(start), r.maxMs > 10000 ? 9500 : 0);
        std::this_thread::sleep_for(20ms);   // whatever is left in the stream has arrived
        start = Clock::now();
        EXPECT_EQ(Take(upgClientHealthCheck(h.get(), "web01", 1)), r.breaks ? "<null>" : "again");
        EXPECT_EQ(upgClientControlUpgrade(h.get(), 2, 0, "no"), r.breaks ? -1 : 0);
        EXPECT_LT(MsSince(start), r.breaks ? 1000 : 3000);   // at once, not after a reply wait of 10 s
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(daemon.Requests().size(), before + (r.breaks ? 1 : 3));
    }
}

TEST(ClientReplies, ThreadsSharingAHandleEachGetTheirOwnReply)
{
    std::atomic<int> overlapped{0};
    FakeManageDaemon daemon([&](Session &s, const ManageRequest &req) {
        std::this_thread::sleep_for(15ms);
        overlapped += s.Pending() != 0;   // a second request now: two were in flight at once
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
    UpgHandle h = Connect();
    ASSERT_TRUE(h);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                std::string vm = "vm-" + std::to_string(t) + "-" + std::to_string(i);
                wrong += t == 0 ? upgClientControlUpgrade(h.get(), 1, 0, "vm-a,vm-b") != 3
                                : Take(upgClientHealthCheck(h.get(), vm.c_str(), 1)) != vm + ":{0}";
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(overlapped.load(), 0);
}

// ---- Connecting and the library ---------------------------------------------------------

TEST(ClientLibrary, AConnectThatMeetsAFullListenQueueTriesAgainUntilThereIsRoom)
{
    int listening = simhost::BindUnix(kManageSocket, SOCK_STREAM, 0);   // room for one connection not yet accepted
    UpgHandle first = Connect(), second;
    std::atomic<pid_t> tid{0};
    std::thread connecting([&] { tid = gettid(), second = Connect(); });
    // Pausing between attempts, it has met the full queue; one connection accepted makes room.
    EXPECT_TRUE(WaitUntil([&] {
        auto call = ReadFile("/proc/self/task/" + std::to_string(tid) + "/syscall").value_or("");
        return tid != 0 && call.starts_with(std::to_string(SYS_clock_nanosleep) + " ");
    }, 2s));
    EXPECT_GE(accept(listening, nullptr, nullptr), 0);
    connecting.join();
    EXPECT_TRUE(first && second);
}

TEST(ClientLibrary, ExportsOnlyItsCInterface)
{
    FILE *nm = popen("nm -D --defined-only " UPGCLIENT_LIB " | awk '{print $NF}' | LC_ALL=C sort", "r");
    ASSERT_NE(nm, nullptr);
    std::string names;
    for (int c = fgetc(nm); c != EOF; c = fgetc(nm)) {
        names += static_cast<char>(c);
    }
    ASSERT_EQ(pclose(nm), 0);
    EXPECT_EQ(names, "upgClientAutoCtrl\nupgClientClose\nupgClientConnect\nupgClientControlUpgrade\n"
                     "upgClientFreeHostState\nupgClientGetHostState\nupgClientGetUpgResult\nupgClientHealthCheck\n"
                     "upgClientParseCheckReply\nupgClientParseModuleReply\nupgClientParseStatePage\n"
                     "upgClientRequest\nupgClientSetTimeout\n");
}

}  // namespace
