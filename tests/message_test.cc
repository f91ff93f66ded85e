// Message I/O on real sockets and the transcript it logs, management client
// connections and the request registry. Every test reads the daemon's lines
// through its own /dev/log collector.
#include "ortavis_upgd_message.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ortavis_upgd_task.h"
#include "ortavis_upgd_wire.h"
#include "unix_socket.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// A connected stream pair with small buffers, so that a big write fills them.
struct SocketPair {
    explicit SocketPair(int flags = 0)
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | flags, 0, fd), 0) << strerror(errno);
        int bytes = 4096;
        setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
        setsockopt(fd[1], SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    }
    ~SocketPair() { close(fd[0]), close(fd[1]); }   // -1 once released: a harmless EBADF
    int Release(int i) { return std::exchange(fd[i], -1); }
    int fd[2] = {-1, -1};
};

// Reads up to n bytes, stopping when nothing comes for waitMs: a writer that gave up shows as a short result.
Bytes Drain(int fd, size_t n = SIZE_MAX, int waitMs = 0)
{
    Bytes out;
    uint8_t buf[4096];
    ssize_t got = 1;   // until the end or an error
    for (pollfd pfd{fd, POLLIN, 0}; got > 0 && out.size() < n && poll(&pfd, 1, waitMs) > 0;) {
        got = recv(fd, buf, std::min(sizeof(buf), n - out.size()), MSG_DONTWAIT);
        out.insert(out.end(), buf, buf + std::max<ssize_t>(got, 0));
    }
    return out;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void WaitReadable(int fd)
{
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
}

// A host message cut or filled to `total` bytes: the header with bufLen as given, then `fill`.
Bytes HostBytes(uint64_t msgId, uint32_t msgType, uint32_t bufLen, size_t total = HOST_HEAD_LEN, uint8_t fill = 0)
{
    MsgHeadInfo head = MakeHostHead(msgId, msgType, bufLen, 0);
    Bytes out(reinterpret_cast<const uint8_t *>(&head), reinterpret_cast<const uint8_t *>(&head) + sizeof(head));
    out.resize(total, fill);
    return out;
}

// Registry entries of three VMs, alive for the whole test program.
VmNode *FakeVm(int i)
{
    static VmNode *vms[3] = {NewVmNode(), NewVmNode(), NewVmNode()};
    return vms[i];
}

class MessageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(CreateConnEndKey(), 0);   // a fresh key: no mark yet
        ASSERT_EQ(InitObjectLock(&g_clientListLock), 0);
        struct sigaction sa {};
        sa.sa_handler = [](int) {};   // no SA_RESTART: a blocked read or write returns EINTR, or what it moved
        ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    }
    upgd_test::LogCollector log_;
};

// ---- Message I/O and client connections -------------------------------------------------

using MessageIO = MessageTest;

TEST_F(MessageIO, TranscriptOfEachDirection)
{
    SocketPair sp;
    const std::string fd = std::to_string(sp.fd[0]);
    uint8_t out[128];
    int len = BuildHostMsg(out, sizeof(out), 42, UPG_MSG_HEALTH_CHECK, 1, "web01:{0}", 9) - 3;   // bufLen past the end
    EXPECT_EQ(log_.TextsLoggedBy([&] { EXPECT_EQ(WriteFD(sp.fd[0], out, len), len); }),
              (Lines{"<<<<<<<<<<< write to host fd: " + fd, "hostMsg->head.msgId   = 42",
                     "hostMsg->head.msgType = UPG_MSG_HEALTH_CHECK", "hostMsg->head.bufLen  = 9",
                     "hostMsg->head.result  = 1", "hostMsg->head.buf     = web01:"}));
    EXPECT_EQ(Drain(sp.fd[1]), Bytes(out, out + len));

    // A guest message is dumped as one; a request read back in pieces is told as it was written.
    const Bytes msg = HostBytes(99, VM_REQ_ATTACH_ISO_MSG, 0, 568);   // msgId, msgType, moduleNum 0
    EXPECT_EQ(log_.TextsLoggedBy([&] { EXPECT_EQ(WriteFD(sp.fd[0], msg.data(), 568), 568); }).size(), 10u);
    EXPECT_EQ(Drain(sp.fd[1]), msg);
    HostRequestReader reader;
    HostRequest req;
    len = BuildHostMsg(out, sizeof(out), 42, UPG_MSG_HEALTH_CHECK, 1, "web01:", 6);
    Lines read = log_.TextsLoggedBy([&] {
        for (auto [from, to] : {std::pair{0, 10}, {10, 60}, {60, len}}) {
            EXPECT_EQ(ReadHostRequest(sp.fd[1], reader, &req), ReadStep::kMore);
            ASSERT_TRUE(simhost::SendAll(sp.fd[0], out + from, static_cast<size_t>(to - from)));
        }
        EXPECT_EQ(ReadHostRequest(sp.fd[1], reader, &req), ReadStep::kWhole);
    });
    EXPECT_EQ(Bytes(req.body, req.body + 7), Bytes(out + HOST_HEAD_LEN, out + len) + Bytes{0});
    const std::string received = ">>>>>>>>>>> receive from host fd: " + std::to_string(sp.fd[1]);
    EXPECT_EQ(read, (Lines{received, "hostMsg->head.msgId   = 42", "hostMsg->head.msgType = UPG_MSG_HEALTH_CHECK",
                           "hostMsg->head.bufLen  = 6", "hostMsg->head.result  = 1", received}));
}

TEST_F(MessageIO, RequestBodiesAndWhatARefusedOneLeaves)
{
    // Each body holds a whole request (msgId 666), and the next request (2) follows: a refused body of at most 968
    // bytes is dropped exactly; a longer one ends the connection, and one not there yet is waited for.
    struct Row { uint32_t bufLen; size_t sent; ReadStep step; int code; bool ends; };
    const int ok = READ_HOST_MSG_OK, tooLong = READ_HOST_MSG_TOO_LONG;
    const ReadStep whole = ReadStep::kWhole;
    for (Row row : {Row{0, 0, whole, ok, false}, Row{524, 524, whole, ok, false}, Row{525, 525, whole, tooLong, false},
                    Row{968, 968, whole, tooLong, false}, Row{600, 0, ReadStep::kMore, ok, false},
                    Row{969, 969, whole, tooLong, true}, Row{0xFFFFFFFFu, 1000, whole, tooLong, true}}) {
        SCOPED_TRACE(row.bufLen);
        SocketPair sp;
        const Bytes body = HostBytes(666, UPG_START_UPGRADE_MSG, 0, row.sent, 'b');
        const Bytes in = HostBytes(7, UPG_MSG_GET_UPG_RES, row.bufLen) + body + HostBytes(2, UPG_MSG_OPEN_CONNECT, 0);
        ASSERT_TRUE(simhost::SendAll(sp.fd[1], in.data(), in.size()));
        HostRequestReader reader;
        HostRequest req;
        std::memset(req.body, 'x', sizeof(req.body));
        Lines lines = log_.TextsLoggedBy([&] { EXPECT_EQ(ReadHostRequest(sp.fd[0], reader, &req), row.step); });
        // The header as read, then the body's receive line or the refusal.
        const std::string received = ">>>>>>>>>>> receive from host fd: " + std::to_string(sp.fd[0]);
        const std::string len = std::to_string(static_cast<int>(row.bufLen));
        Lines expected = {received, "hostMsg->head.msgId   = 7", "hostMsg->head.msgType = UPG_MSG_GET_UPG_RES",
                          "hostMsg->head.bufLen  = " + len, "hostMsg->head.result  = 0",
                          row.bufLen <= 524 ? received : "msg body length " + len + " over than 524"};
        EXPECT_EQ(lines, Lines(expected.begin(), expected.end() - (row.bufLen == 0)));
        if (row.step == ReadStep::kMore) {
            continue;
        }
        EXPECT_EQ(req.code, row.code);
        EXPECT_EQ(req.head.msgId, 7u);
        if (row.code == ok) {
            EXPECT_EQ(Bytes(req.body, req.body + row.sent + 1), body + Bytes{0});
        }
        EXPECT_EQ(req.endsConnection, row.ends);
        if (!row.ends) {
            EXPECT_EQ(ReadHostRequest(sp.fd[0], reader, &req), ReadStep::kWhole);
            EXPECT_EQ(req.head.msgId, 2u);
        }
    }
}

TEST_F(MessageIO, RepliesGoWholeOneAtATimeOrTheClientIsClosed)
{
    SocketPair sp;
    auto conn = OpenClientConn(sp.Release(0), 0);
    const int total = 256 * 1024;
    const Bytes a = HostBytes(1, UPG_MSG_HEALTH_CHECK, 8, total, 'A');
    const Bytes b = HostBytes(2, UPG_MSG_HEALTH_CHECK, 8, total, 'B');
    std::atomic<int> ra{0}, rb{0};
    // A has sent part and waits for room, through a signal, when B comes.
    auto writeBoth = [&](int bLen) {
        std::thread ta([&] { ra = ClientWrite(*conn, a.data(), total); });
        WaitReadable(sp.fd[1]);
        std::this_thread::sleep_for(50ms);
        pthread_kill(ta.native_handle(), SIGUSR1);
        std::thread tb([&, bLen] { rb = ClientWrite(*conn, b.data(), bLen); });
        std::this_thread::sleep_for(100ms);
        return std::pair(std::move(ta), std::move(tb));
    };
    auto [ta, tb] = writeBoth(total);
    Bytes got = Drain(sp.fd[1], 2 * total, 2000);
    ta.join();
    tb.join();
    EXPECT_EQ(ra + rb, 2 * total);
    EXPECT_TRUE(got == a + b || got == b + a) << "the two replies are mixed";

    // A client that stops reading: the stuck reply gives up after PEER_WRITE_MS and shuts the connection
    // down, so its worker sees the end; the reply queued behind it gives up with it.
    auto start = Clock::now();
    Lines lines = log_.TextsLoggedBy([&] {
        auto [stuck, queued] = writeBoth(HOST_HEAD_LEN);
        stuck.join();
        queued.join();
    });
    EXPECT_GE(Clock::now() - start, Ms(PEER_WRITE_MS - 50));
    EXPECT_LT(Clock::now() - start, Ms(2 * PEER_WRITE_MS));
    EXPECT_EQ(ra + rb, -2);
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "client fd " + std::to_string(conn->fd) + " did not take its reply, errno 110: close it"),
              lines.end());
    Drain(sp.fd[1]);
    char c;
    EXPECT_EQ(recv(sp.fd[1], &c, 1, MSG_DONTWAIT), 0);
    EXPECT_EQ(CloseClientConn(*conn), 0);

    // With the close path running meanwhile, a stuck reply ends at once.
    SocketPair sp2;
    conn = OpenClientConn(sp2.Release(0), 0);
    std::thread stuck([&] { EXPECT_EQ(ClientWrite(*conn, a.data(), total), -1); });
    WaitReadable(sp2.fd[1]);
    start = Clock::now();
    EXPECT_EQ(CloseClientConn(*conn), 0);
    stuck.join();
    EXPECT_LT(Clock::now() - start, Ms(PEER_WRITE_MS / 2)) << "the close waited out the stuck reply";
}

// ---- Request registry --------------------------------------------------------------------

class MessageRegistry : public MessageTest {
protected:
    std::shared_ptr<ClientConn> Client()
    {
        pairs_.push_back(std::make_unique<SocketPair>());
        return OpenClientConn(pairs_.back()->Release(0), 0);
    }
    void Add(const std::shared_ptr<ClientConn> &conn, uint64_t msgId, VmNode *vm, const char *name = "vm")
    {
        MsgHeadInfo head = MakeHostHead(msgId, UPG_MSG_HEALTH_CHECK, 0, 0);
        ObjectLockGuard guard(&g_clientListLock);
        addMsgNode(conn, &head, vm, name);
    }
    // The connection found, or null.
    std::shared_ptr<ClientConn> Get(uint64_t msgId, const VmNode *vm)
    {
        std::shared_ptr<ClientConn> conn;
        ObjectLockGuard guard(&g_clientListLock);
        EXPECT_TRUE(getMsgNode(&conn, msgId, vm) == 0 ? conn != nullptr : conn == nullptr);
        return conn;
    }
    void Delete(ClientConn &conn)
    {
        ObjectLockGuard guard(&g_clientListLock);
        deleteMsgNode(conn);
    }
    std::vector<std::unique_ptr<SocketPair>> pairs_;
};

TEST_F(MessageRegistry, EntriesBelongToTheirConnection)
{
    auto a = Client(), b = Client(), c = Client();
    const int number = a->fd;
    const std::string fa = std::to_string(number), fb = std::to_string(b->fd), fc = std::to_string(c->fd);
    Add(c, 41, FakeVm(0));
    Add(a, 42, FakeVm(0));
    Add(b, 42, FakeVm(1));
    Add(c, 42, FakeVm(0));   // same request id, same VM, newer
    EXPECT_EQ(log_.TextsLoggedBy([&] { Add(c, 43, nullptr, nullptr); }), Lines{"addMsgNode doUpgCtrl, fd " + fc});
    struct Row { uint64_t msgId; VmNode *vm; ClientConn *conn; };
    for (Row row : {Row{42, FakeVm(1), b.get()}, Row{42, FakeVm(0), a.get()}, Row{43, nullptr, c.get()},
                    Row{42, nullptr, nullptr}, Row{44, FakeVm(0), nullptr}, Row{42, FakeVm(2), nullptr}}) {
        EXPECT_EQ(Get(row.msgId, row.vm).get(), row.conn) << row.msgId;
    }

    // A forwarder has looked a up when its client goes; a new client lands on its number and registers before
    // a's close path runs. a's entries are never matched again, nor does d get what was meant for a.
    std::shared_ptr<ClientConn> held = Get(42, FakeVm(0));
    EXPECT_EQ(CloseClientConn(*a), 0);
    EXPECT_EQ(fcntl(number, F_GETFD), -1) << "closing a connection closes its descriptor";
    SocketPair fresh;
    ASSERT_EQ(fresh.Release(0), number);   // the lowest free number
    auto d = OpenClientConn(number, 0);
    Add(d, 7, FakeVm(0));
    EXPECT_EQ(Get(42, FakeVm(0)), c);
    EXPECT_EQ(log_.TextsLoggedBy([&] { Delete(*a); }), Lines{"delete MsgNode fd " + fa + " success"});
    EXPECT_EQ(log_.TextsLoggedBy([&] { Delete(*a); }), Lines{"can't find MsgNode fd:" + fa});
    EXPECT_EQ(CloseClientConn(*a), -1);   // closed once; the number is d's now
    uint8_t reply[64];
    int len = BuildHostMsg(reply, sizeof(reply), 42, UPG_MSG_HEALTH_CHECK, 0, "vm:{0}", 6);
    EXPECT_EQ(ClientWrite(*held, reply, len), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(Drain(fresh.fd[1]).empty());
    std::shared_ptr<ClientConn> forD = Get(7, FakeVm(0));
    ASSERT_EQ(forD, d);
    EXPECT_EQ(ClientWrite(*forD, reply, len), len);
    EXPECT_EQ(Drain(fresh.fd[1]), Bytes(reply, reply + len));
    // The departed connection's last holder leaves the number alone; an open one's closes it.
    a.reset();
    held.reset();
    EXPECT_NE(fcntl(number, F_GETFD), -1);
    forD.reset();
    Delete(*d);
    d.reset();
    char end;
    EXPECT_EQ(recv(fresh.fd[1], &end, 1, MSG_DONTWAIT), 0);

    // A client keeps its newest MSG_NODE_PER_CLIENT requests; the others' stay.
    for (uint64_t id = 101; id < 100 + MSG_NODE_PER_CLIENT; ++id) {
        Add(b, id, FakeVm(1));
    }
    EXPECT_EQ(Get(42, FakeVm(1)), b);
    EXPECT_EQ(log_.TextsLoggedBy([&] { Add(b, 99, FakeVm(1)); }),
              (Lines{"fd " + fb + " has 64 requests waiting, drop the oldest MsgNode, messID 42",
                     "addMsgNode vm, fd " + fb}));
    EXPECT_EQ(Get(42, FakeVm(1)), nullptr);
    EXPECT_EQ(Get(101, FakeVm(1)), b);
    EXPECT_EQ(Get(99, FakeVm(1)), b);
    EXPECT_EQ(Get(41, FakeVm(0)), c);
}

}  // namespace
