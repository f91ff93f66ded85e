// Message I/O on real sockets, the transcript it logs, management client
// connections and the request registry. Runs in the sandbox: every test
// reads the log through its own /dev/log collector.
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_vm.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ortavis_upgd_task.h"
#include "ortavis_upgd_wire.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

struct SocketPair {
    explicit SocketPair(bool nonBlocking = false, int bufBytes = 0)
    {
        if (socketpair(AF_UNIX, SOCK_STREAM | (nonBlocking ? SOCK_NONBLOCK : 0), 0, fd) != 0) {
            ADD_FAILURE() << "socketpair: " << strerror(errno);
        }
        if (bufBytes > 0) {
            setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &bufBytes, sizeof(bufBytes));
            setsockopt(fd[1], SOL_SOCKET, SO_RCVBUF, &bufBytes, sizeof(bufBytes));
        }
    }
    ~SocketPair()
    {
        close(fd[0]);   // -1 once released: a harmless EBADF
        close(fd[1]);
    }
    int Release(int i) { return std::exchange(fd[i], -1); }
    void CloseEnd(int i) { close(Release(i)); }
    int fd[2] = {-1, -1};
};

// Reads up to n bytes; stops when nothing comes for waitMs, so a writer that
// gave up shows as a short result, not a hang. Pending: what is there now.
Bytes Drain(int fd, size_t n, int waitMs = 2000)
{
    Bytes out;
    uint8_t buf[4096];
    for (pollfd pfd{fd, POLLIN, 0}; out.size() < n && poll(&pfd, 1, waitMs) > 0;) {
        ssize_t got = recv(fd, buf, std::min(sizeof(buf), n - out.size()), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN)) {
            break;
        }
        out.insert(out.end(), buf, buf + std::max<ssize_t>(got, 0));
    }
    return out;
}

Bytes Pending(int fd)
{
    return Drain(fd, SIZE_MAX, 0);
}

Bytes Cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void SendAll(int fd, const Bytes &bytes)
{
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

Bytes HeadBytes(uint64_t msgId, uint32_t msgType, uint32_t bufLen)
{
    MsgHeadInfo head = MakeHostHead(msgId, msgType, bufLen, 0);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&head);
    return Bytes(p, p + sizeof(head));
}

// A host message of `total` bytes: a header announcing 8 body bytes (so the
// dump stays short), then `fill`.
Bytes BigMessage(uint8_t fill, size_t total)
{
    Bytes out = HeadBytes(1, UPG_MSG_HEALTH_CHECK, 8);
    out.resize(total, fill);
    return out;
}

// Registry entries of three VMs, alive for the whole test program.
VmNode *FakeVm(int i)
{
    static VmNode *vms[3] = {NewVmNode(), NewVmNode(), NewVmNode()};
    return vms[i];
}

// Waits until bytes are waiting to be read on fd.
void WaitUntilReadable(int fd)
{
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
}

// The registry from oldest to newest, as (fd, msgId).
std::vector<std::pair<int, uint64_t>> Entries()
{
    std::vector<std::pair<int, uint64_t>> out;
    for (const MsgNode *n = g_msgNodeHead.next.get(); n != nullptr; n = n->next.get()) {
        out.emplace_back(n->fd, n->msgId);
    }
    return out;
}

std::string Fd(const char *text, int fd)
{
    return text + std::to_string(fd);
}

class MessageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static bool keyMade = CreateConnEndKey() == 0;
        ASSERT_TRUE(keyMade);
        ASSERT_EQ(SetConnEndMark(nullptr), 0);
        ASSERT_EQ(InitObjectLock(&g_clientListLock), 0);
        ObjectLockGuard guard(&g_clientListLock);
        InitMsgNodeList();
    }


    upgd_test::LogCollector log_;
};

// ---- ReadFD and WriteFD ----------------------------------------------------------------

class MessageIO : public MessageTest {};

TEST_F(MessageIO, ReadEndsEarlyWithTheMark)
{
    // Silent; a byte every 300 ms (each gap costs about three retries, but progress does not renew the budget of
    // ten); and the write end of a pipe, which can't be read: no retry.
    enum Source { kSilent, kDrip, kUnreadable };
    struct Row { Source source; int err; const char *log; std::chrono::milliseconds min, max; };
    for (Row r : {Row{kSilent, EAGAIN, "retry 10 times read failed", 950ms, 5000ms},
                  Row{kDrip, EAGAIN, "retry 10 times read failed", 950ms, 5000ms},
                  Row{kUnreadable, EBADF, "read failed", 0ms, 90ms}}) {
        SCOPED_TRACE(r.source);
        ASSERT_EQ(SetConnEndMark(nullptr), 0);
        SocketPair sp(true);
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        std::thread writer([&] {
            for (uint8_t i = 0; r.source == kDrip && i < 8; ++i) {
                send(sp.fd[1], &i, 1, MSG_NOSIGNAL);
                std::this_thread::sleep_for(300ms);
            }
        });
        uint8_t buf[8];
        int ret = 0;
        int err = 0;
        Clock::duration elapsed{};
        Lines lines = log_.TextsLoggedBy([&] {
            auto start = Clock::now();
            ret = ReadFD(r.source == kUnreadable ? p[1] : sp.fd[0], buf, sizeof(buf));
            err = errno;
            elapsed = Clock::now() - start;
        });
        writer.join();
        close(p[0]);
        close(p[1]);
        EXPECT_EQ(ret, -1);
        EXPECT_EQ(err, r.err);
        EXPECT_EQ(lines, Lines{r.log});
        EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
        EXPECT_GE(elapsed, r.min);   // ten pauses of 100 ms
        EXPECT_LT(elapsed, r.max);
    }
}

TEST_F(MessageIO, TranscriptOfEachDirection)
{
    SocketPair sp;
    uint8_t out[128];
    int len = BuildHostMsg(out, sizeof(out), 42, UPG_MSG_HEALTH_CHECK, 0, "web01:{0}", 9);
    EXPECT_EQ(log_.TextsLoggedBy([&] { EXPECT_EQ(WriteFD(sp.fd[0], out, len), len); }),
              (Lines{Fd("<<<<<<<<<<< write to host fd: ", sp.fd[0]), "hostMsg->head.msgId   = 42",
                     "hostMsg->head.msgType = UPG_MSG_HEALTH_CHECK", "hostMsg->head.bufLen  = 9",
                     "hostMsg->head.result  = 0", "hostMsg->head.buf     = web01:{0}"}));
    EXPECT_EQ(Pending(sp.fd[1]), Bytes(out, out + len));

    VmMsg vm{};
    vm.msgId = 99;
    vm.msgType = VM_REQ_ATTACH_ISO_MSG;
    const Bytes msg(reinterpret_cast<const uint8_t *>(&vm), reinterpret_cast<const uint8_t *>(&vm) + 568);
    Lines written = log_.TextsLoggedBy([&] { EXPECT_EQ(WriteFD(sp.fd[0], msg.data(), 568), 568); });
    EXPECT_EQ(Pending(sp.fd[1]), msg);
    // The same message read back arrives in pieces, to be put together.
    std::thread writer([&] {
        for (auto [from, to] : {std::pair{0, 10}, {10, 300}, {300, 568}}) {
            send(sp.fd[1], msg.data() + from, static_cast<size_t>(to - from), MSG_NOSIGNAL);
            std::this_thread::sleep_for(50ms);
        }
    });
    uint8_t buf[568];
    Lines read = log_.TextsLoggedBy([&] { EXPECT_EQ(ReadFD(sp.fd[0], buf, sizeof(buf)), 568); });
    writer.join();
    EXPECT_EQ(Bytes(buf, buf + 568), msg);
    EXPECT_EQ(GetConnEndMark(), nullptr);
    ASSERT_EQ(written.size(), 10u);
    ASSERT_EQ(read.size(), 10u);
    EXPECT_EQ(written[0], Fd("<<<<<<<<<<< write to vm fd: ", sp.fd[0]));
    EXPECT_EQ(written[2], "vmMsg->msgType               = VM_REQ_ATTACH_ISO_MSG");
    EXPECT_EQ(read[0], Fd(">>>>>>>>>>> receive from vm fd: ", sp.fd[0]));
    EXPECT_EQ(Lines(read.begin() + 1, read.end()), Lines(written.begin() + 1, written.end()));
}

TEST_F(MessageIO, NullBufferAndEmptyLengths)
{
    SocketPair sp;
    SendAll(sp.fd[1], {1, 2, 3});
    uint8_t buf[56] = {};
    EXPECT_EQ(log_.TextsLoggedBy([&] {
                  EXPECT_EQ(ReadFD(sp.fd[0], nullptr, 3), -1);
                  EXPECT_EQ(ReadFD(sp.fd[0], buf, 0), 0);
                  EXPECT_EQ(ReadFD(sp.fd[0], buf, -5), 0);
                  EXPECT_EQ(WriteFD(sp.fd[0], nullptr, 56), -1);
              }),
              Lines{"read buf is NULL"});
    EXPECT_EQ(GetConnEndMark(), nullptr);
    EXPECT_EQ(Pending(sp.fd[0]), (Bytes{1, 2, 3}));   // nothing was consumed
    Lines zero = log_.TextsLoggedBy([&] { EXPECT_EQ(WriteFD(sp.fd[0], buf, 0), 0); });
    ASSERT_FALSE(zero.empty());
    EXPECT_EQ(zero[0], Fd("<<<<<<<<<<< write to host fd: ", sp.fd[0]));
    Lines negative = log_.TextsLoggedBy([&] {
        errno = EINTR;
        EXPECT_EQ(WriteFD(sp.fd[0], buf, -1), 0);
    });
    ASSERT_FALSE(negative.empty());
    EXPECT_EQ(negative.back(), "WriteFD failed, fd: " + std::to_string(sp.fd[0]) + ", errno: 4");
    EXPECT_TRUE(Pending(sp.fd[1]).empty());

    sp.CloseEnd(1);   // a closed peer fails the write without SIGPIPE
    EXPECT_EQ(WriteFD(sp.fd[0], buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(MessageIO, WriteToAFullNonBlockingSocketEndsWithoutRetry)
{
    SocketPair sp(true, 4096);
    const size_t total = 1 << 20;
    Bytes msg = BigMessage('A', total);
    std::atomic<bool> done{false};
    // Should WriteFD wait for room, this drains after 2 s so the test ends and fails.
    std::thread watchdog([&] {
        for (auto until = Clock::now() + 2s; !done && Clock::now() < until;) {
            std::this_thread::sleep_for(10ms);
        }
        if (!done) {
            fcntl(sp.fd[1], F_SETFL, fcntl(sp.fd[1], F_GETFL) & ~O_NONBLOCK);
            Drain(sp.fd[1], total);
        }
    });
    int ret = WriteFD(sp.fd[0], msg.data(), static_cast<int>(total));
    done = true;
    watchdog.join();
    EXPECT_EQ(ret, -1);
    size_t got = Pending(sp.fd[1]).size();
    EXPECT_GT(got, 0u);   // the first write went through in part
    EXPECT_LT(got, total);
}

void NoOpHandler(int) {}

TEST_F(MessageIO, WriteGoesOnAfterAnInterruptedPartialWrite)
{
    struct sigaction sa {};
    sa.sa_handler = NoOpHandler;   // no SA_RESTART: the blocked send returns what it sent
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    SocketPair sp(false, 4096);
    const size_t total = 1 << 20;
    Bytes msg = BigMessage(0, total);
    for (size_t i = 56; i < total; ++i) {
        msg[i] = static_cast<uint8_t>(i * 31 + 7);
    }
    std::atomic<int> ret{0};
    std::thread writer([&] { ret = WriteFD(sp.fd[0], msg.data(), static_cast<int>(total)); });
    WaitUntilReadable(sp.fd[1]);   // the writer has sent part and is blocked on the rest
    std::this_thread::sleep_for(50ms);
    pthread_kill(writer.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(100ms);
    Bytes got = Drain(sp.fd[1], total);
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(ret.load(), static_cast<int>(total));
    EXPECT_TRUE(got == msg) << "received " << got.size() << " bytes";
}

// ---- readHostMsg -------------------------------------------------------------------

class MessageReadHostMsg : public MessageTest {};

TEST_F(MessageReadHostMsg, BodyLengths)
{
    struct Row { uint32_t bufLen; int ret; const char *log; };
    for (Row row : {Row{0, READ_HOST_MSG_OK, nullptr}, Row{3, READ_HOST_MSG_OK, nullptr},
                    Row{524, READ_HOST_MSG_OK, nullptr},
                    Row{0x7FFFFFFFu, READ_HOST_MSG_TOO_LONG, "msg body length 2147483647 over than 524"},
                    Row{0x80000000u, READ_HOST_MSG_TOO_LONG, "msg body length -2147483648 over than 524"},
                    Row{525, READ_HOST_MSG_TOO_LONG, "msg body length 525 over than 524"},
                    Row{969, READ_HOST_MSG_TOO_LONG, "msg body length 969 over than 524"},
                    Row{0xFFFFFFFFu, READ_HOST_MSG_TOO_LONG, "msg body length -1 over than 524"}}) {
        SCOPED_TRACE(row.bufLen);
        SocketPair sp;
        size_t sent = std::min<size_t>(row.bufLen, 1000);
        Bytes body(sent, 'b');
        SendAll(sp.fd[1], HeadBytes(7, UPG_MSG_GET_UPG_RES, row.bufLen));
        if (sent != 0) {
            SendAll(sp.fd[1], body);
        }
        MsgHeadInfo head{};
        uint8_t buf[HOST_MSG_BODY_BUF];
        std::memset(buf, 'x', sizeof(buf));
        int ret = -9;
        Lines lines = log_.TextsLoggedBy([&] { ret = readHostMsg(sp.fd[0], &head, buf, sizeof(buf)); });
        EXPECT_EQ(ret, row.ret);
        EXPECT_EQ(head.bufLen, row.bufLen);
        const std::string received = Fd(">>>>>>>>>>> receive from host fd: ", sp.fd[0]);
        Lines expected = {received, "hostMsg->head.msgId   = 7", "hostMsg->head.msgType = UPG_MSG_GET_UPG_RES",
                          "hostMsg->head.bufLen  = " + std::to_string(static_cast<int>(row.bufLen)),
                          "hostMsg->head.result  = 0"};
        if (row.ret == READ_HOST_MSG_OK) {
            EXPECT_EQ(Bytes(buf, buf + sent), body);
            EXPECT_EQ(buf[sent], 0);
            if (sent != 0) {
                expected.push_back(received);
            }
        } else {
            expected.push_back(row.log);
            EXPECT_EQ(Bytes(buf, buf + sizeof(buf)), Bytes(sizeof(buf), 'x'));
            EXPECT_EQ(Pending(sp.fd[0]).size(), sent);   // the body stays unread
        }
        EXPECT_EQ(lines, expected);
    }
}

TEST_F(MessageReadHostMsg, ClientGoneMidMessage)
{
    const Bytes headerPart(30, 1);
    const Bytes bodyPart = Cat(HeadBytes(7, UPG_MSG_HEALTH_CHECK, 10), Bytes{1, 2, 3, 4});
    for (const Bytes &sent : {headerPart, bodyPart}) {
        SCOPED_TRACE(sent.size());
        ASSERT_EQ(SetConnEndMark(nullptr), 0);
        SocketPair sp;
        SendAll(sp.fd[1], sent);
        sp.CloseEnd(1);
        MsgHeadInfo head{};
        uint8_t buf[HOST_MSG_BODY_BUF];
        Lines lines = log_.TextsLoggedBy([&] { EXPECT_EQ(readHostMsg(sp.fd[0], &head, buf, sizeof(buf)), 1); });
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "read to the end");
        EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
    }
}

// ---- Client connections -------------------------------------------------------------

class MessageClientConn : public MessageTest {};

TEST_F(MessageClientConn, OwnsItsDescriptorUntilClosedOnce)
{
    SocketPair a, b;
    auto ca = OpenClientConn(a.Release(0));
    auto cb = OpenClientConn(b.Release(0));
    ASSERT_NE(ca, nullptr);
    ASSERT_NE(cb, nullptr);
    EXPECT_GE(ca->id, 1u);
    EXPECT_GT(cb->id, ca->id);
    EXPECT_EQ(OpenClientConn(-1), nullptr);
    // The last holder closes an open connection; the peer sees the end.
    int number = ca->fd;
    ca.reset();
    EXPECT_EQ(fcntl(number, F_GETFD), -1);
    char c;
    EXPECT_EQ(recv(a.fd[1], &c, 1, MSG_DONTWAIT), 0);

    // Once closed, the number belongs to someone else: the old connection must leave it be.
    number = cb->fd;
    EXPECT_EQ(CloseClientConn(*cb), 0);
    SocketPair other;
    ASSERT_EQ(dup2(other.fd[0], number), number);
    EXPECT_EQ(CloseClientConn(*cb), -1);
    EXPECT_NE(fcntl(number, F_GETFD), -1);
    uint8_t out[56] = {};
    int ret = 0;
    int err = 0;
    Lines lines = log_.TextsLoggedBy([&] {
        ret = ClientWrite(*cb, out, sizeof(out));
        err = errno;
    });
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(lines, Lines{"client fd " + std::to_string(number) + " is closed, reply dropped"});
    EXPECT_TRUE(Pending(other.fd[1]).empty());
    close(number);
}

TEST_F(MessageClientConn, ConcurrentRepliesNeverInterleave)
{
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        SocketPair sp(false, 4096);
        auto conn = OpenClientConn(sp.Release(0));
        const size_t total = 256 * 1024;
        Bytes a = BigMessage('A', total);
        Bytes b = BigMessage('B', total);
        std::atomic<int> ra{0}, rb{0};
        std::thread ta([&] { ra = ClientWrite(*conn, a.data(), static_cast<int>(total)); });
        WaitUntilReadable(sp.fd[1]);   // A has sent part and is blocked on the rest
        std::thread tb([&] { rb = ClientWrite(*conn, b.data(), static_cast<int>(total)); });
        std::this_thread::sleep_for(100ms);
        Bytes got = Drain(sp.fd[1], 2 * total);
        ta.join();
        tb.join();
        EXPECT_EQ(ra.load(), static_cast<int>(total));
        EXPECT_EQ(rb.load(), static_cast<int>(total));
        ASSERT_EQ(got.size(), 2 * total);
        EXPECT_TRUE(got == Cat(a, b) || got == Cat(b, a)) << "the two replies are mixed";
    }
}

// ---- Request registry --------------------------------------------------------------------

class MessageRegistry : public MessageTest {
protected:
    std::shared_ptr<ClientConn> Client()
    {
        pairs_.push_back(std::make_unique<SocketPair>());
        return OpenClientConn(pairs_.back()->Release(0));
    }
    void Add(const std::shared_ptr<ClientConn> &conn, uint64_t msgId, VmNode *vm, const char *name = "vm")
    {
        MsgHeadInfo head = MakeHostHead(msgId, UPG_MSG_HEALTH_CHECK, 0, 0);
        ObjectLockGuard guard(&g_clientListLock);
        addMsgNode(conn, &head, vm, name);
    }
    // The descriptor found, or -1.
    int Get(uint64_t msgId, const VmNode *vm, std::shared_ptr<ClientConn> *conn = nullptr)
    {
        int fd = -1;
        ObjectLockGuard guard(&g_clientListLock);
        return getMsgNode(&fd, msgId, vm, conn) == 0 ? fd : -1;
    }
    void Delete(int fd)
    {
        ObjectLockGuard guard(&g_clientListLock);
        deleteMsgNode(fd);
    }
    std::vector<std::unique_ptr<SocketPair>> pairs_;
};

TEST_F(MessageRegistry, AddAndDeleteTheOldestEntryOfADescriptor)
{
    int fd = -7;
    EXPECT_EQ(log_.TextsLoggedBy([&] {
                  ObjectLockGuard guard(&g_clientListLock);
                  EXPECT_EQ(getMsgNode(&fd, 1, FakeVm(0)), -1);
                  deleteMsgNode(5);
              }),
              (Lines{"MsgNode empty list", "MsgNode empty list"}));
    EXPECT_EQ(fd, -7);

    auto a = Client();
    auto b = Client();
    const std::string fa = std::to_string(a->fd), fb = std::to_string(b->fd);
    EXPECT_EQ(log_.TextsLoggedBy([&] {
                  Add(a, 1, FakeVm(0), "web01");
                  Add(b, 2, nullptr, nullptr);
                  Add(a, 3, FakeVm(1));
              }),
              (Lines{"addMsgNode web01, fd " + fa, "addMsgNode doUpgCtrl, fd " + fb, "addMsgNode vm, fd " + fa}));
    EXPECT_EQ(log_.TextsLoggedBy([&] { Delete(a->fd); }), Lines{"delete MsgNode fd " + fa + " success"});
    EXPECT_EQ(Entries(), (std::vector<std::pair<int, uint64_t>>{{b->fd, 2}, {a->fd, 3}}));
    EXPECT_EQ(log_.TextsLoggedBy([&] { Delete(999); }), Lines{"can't find MsgNode fd:999"});
    Delete(a->fd);
    Delete(b->fd);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(MessageRegistry, LookupByMsgIdAndVm)
{
    auto a = Client();
    auto b = Client();
    auto c = Client();
    Add(a, 42, FakeVm(0));
    Add(b, 42, FakeVm(1));
    Add(c, 42, FakeVm(0));   // same request id, same VM, newer
    Add(c, 43, nullptr);
    struct Row { uint64_t msgId; VmNode *vm; int fd; };
    for (Row row : {Row{42, FakeVm(1), b->fd}, Row{42, FakeVm(0), a->fd}, Row{43, nullptr, c->fd},
                    Row{42, nullptr, -1}, Row{44, FakeVm(0), -1}, Row{42, FakeVm(2), -1}}) {
        EXPECT_EQ(Get(row.msgId, row.vm), row.fd) << row.msgId;
    }
    int fd = -3;
    {
        ObjectLockGuard guard(&g_clientListLock);
        EXPECT_EQ(getMsgNode(&fd, 99, FakeVm(0)), -1);
    }
    EXPECT_EQ(fd, -3);   // untouched when nothing matched
    std::shared_ptr<ClientConn> conn;
    EXPECT_EQ(Get(42, FakeVm(1), &conn), b->fd);
    EXPECT_EQ(conn, b);
}

TEST_F(MessageRegistry, ReusedDescriptorNeverGetsAnOldClientsAnswer)
{
    auto a = Client();
    int number = a->fd;
    Add(a, 7, FakeVm(0));
    Add(a, 8, FakeVm(0));
    // A forwarder has looked the client up when the client goes and a new one lands on the same number.
    std::shared_ptr<ClientConn> held;
    ASSERT_EQ(Get(7, FakeVm(0), &held), number);
    SocketPair fresh;
    Delete(number);
    CloseClientConn(*a);
    ASSERT_EQ(dup2(fresh.fd[0], number), number);
    close(fresh.Release(0));
    auto b = OpenClientConn(number);
    ASSERT_EQ(b->fd, number);

    uint8_t reply[64];
    int len = BuildHostMsg(reply, sizeof(reply), 7, UPG_MSG_HEALTH_CHECK, 0, "vm:{0}", 6);
    EXPECT_EQ(ClientWrite(*held, reply, len), -1);
    EXPECT_EQ(Get(8, FakeVm(0)), -1);   // a's other entry is stale
    EXPECT_TRUE(Pending(fresh.fd[1]).empty());

    // The new client's own request with the same id and VM is answered.
    Add(b, 8, FakeVm(0));
    std::shared_ptr<ClientConn> forB;
    EXPECT_EQ(Get(8, FakeVm(0), &forB), number);
    ASSERT_EQ(forB, b);
    EXPECT_EQ(ClientWrite(*forB, reply, len), len);
    EXPECT_EQ(Pending(fresh.fd[1]), Bytes(reply, reply + len));

    // Stale entries, of closed and of gone connections, go with the next delete.
    auto gone = Client();
    Add(gone, 5, FakeVm(1));
    gone.reset();   // the serving worker let go: the connection closed itself
    EXPECT_EQ(Get(5, FakeVm(1)), -1);
    EXPECT_EQ(Entries().size(), 3u);
    EXPECT_EQ(log_.TextsLoggedBy([&] { Delete(number); }),
              (Lines{"drop 2 MsgNode of closed clients", "delete MsgNode fd " + std::to_string(number) + " success"}));
    EXPECT_TRUE(Entries().empty());
}

TEST_F(MessageRegistry, LongListIsFreedWithoutRecursion)
{
    ObjectLockGuard guard(&g_clientListLock);
    MsgNode *tail = &g_msgNodeHead;
    for (int i = 0; i < 1000000; ++i) {
        tail->next = std::make_unique<MsgNode>();
        tail = tail->next.get();
    }
    InitMsgNodeList();
    EXPECT_EQ(g_msgNodeHead.next, nullptr);
}

}  // namespace
