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
#include <set>
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

TEST_F(MessageIO, WriteWaitsForRoomAFewSecondsAtMost)
{
    // A peer that drains after one second takes the whole message; one that never reads costs the writer
    // PEER_WRITE_MS, on a blocking socket as on a non-blocking one.
    struct Row { bool nonBlocking; bool drains; };
    for (Row r : {Row{true, true}, Row{true, false}, Row{false, false}}) {
        SCOPED_TRACE(testing::Message() << r.nonBlocking << r.drains);
        SocketPair sp(r.nonBlocking, 4096);
        const size_t total = 1 << 20;
        Bytes msg = BigMessage('A', total);
        std::thread reader([&] {
            std::this_thread::sleep_for(1s);
            if (r.drains) {
                Drain(sp.fd[1], total);
            }
        });
        auto start = Clock::now();
        int ret = WriteFD(sp.fd[0], msg.data(), static_cast<int>(total));
        int err = errno;
        auto elapsed = Clock::now() - start;
        reader.join();
        if (r.drains) {
            EXPECT_EQ(ret, static_cast<int>(total));
            continue;
        }
        EXPECT_EQ(ret, -1);
        EXPECT_EQ(err, ETIMEDOUT);
        EXPECT_GE(elapsed, std::chrono::milliseconds(PEER_WRITE_MS - 50));
        EXPECT_LT(elapsed, std::chrono::milliseconds(PEER_WRITE_MS + 1000));
    }
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
    // unread: body bytes a refused request leaves; the connection then ends (the mark).
    struct Row { uint32_t bufLen; int ret; const char *log; size_t unread; };
    for (Row row : {Row{0, READ_HOST_MSG_OK, nullptr, 0}, Row{3, READ_HOST_MSG_OK, nullptr, 0},
                    Row{524, READ_HOST_MSG_OK, nullptr, 0},
                    Row{0x7FFFFFFFu, READ_HOST_MSG_TOO_LONG, "msg body length 2147483647 over than 524", 1000},
                    Row{0x80000000u, READ_HOST_MSG_TOO_LONG, "msg body length -2147483648 over than 524", 1000},
                    Row{525, READ_HOST_MSG_TOO_LONG, "msg body length 525 over than 524", 0},
                    Row{968, READ_HOST_MSG_TOO_LONG, "msg body length 968 over than 524", 0},
                    Row{969, READ_HOST_MSG_TOO_LONG, "msg body length 969 over than 524", 969},
                    Row{0xFFFFFFFFu, READ_HOST_MSG_TOO_LONG, "msg body length -1 over than 524", 1000}}) {
        SCOPED_TRACE(row.bufLen);
        ASSERT_EQ(SetConnEndMark(nullptr), 0);
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
            EXPECT_EQ(Pending(sp.fd[0]).size(), row.unread);
            EXPECT_EQ(GetConnEndMark() != nullptr, row.unread > 0);
        }
        EXPECT_EQ(lines, expected);
    }
}

TEST_F(MessageReadHostMsg, ARefusedBodyIsNeverReadAsTheNextRequest)
{
    // The body of an over-long request carries a whole request; the client's next request follows it. When
    // the body does not arrive in time, the connection ends instead.
    for (bool bodyArrives : {true, false}) {
        SCOPED_TRACE(bodyArrives);
        ASSERT_EQ(SetConnEndMark(nullptr), 0);
        SocketPair sp;
        Bytes smuggled = HeadBytes(666, UPG_START_UPGRADE_MSG, 0);
        smuggled.resize(600, 0);
        SendAll(sp.fd[1], HeadBytes(1, UPG_MSG_HEALTH_CHECK, 600));
        if (bodyArrives) {
            SendAll(sp.fd[1], Cat(smuggled, HeadBytes(2, UPG_MSG_OPEN_CONNECT, 0)));
        }
        MsgHeadInfo head{};
        uint8_t buf[HOST_MSG_BODY_BUF];
        auto start = Clock::now();
        EXPECT_EQ(readHostMsg(sp.fd[0], &head, buf, sizeof(buf)), READ_HOST_MSG_TOO_LONG);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(DISCARD_BODY_MS + 500));
        if (!bodyArrives) {
            EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
            continue;
        }
        EXPECT_EQ(GetConnEndMark(), nullptr);
        EXPECT_EQ(readHostMsg(sp.fd[0], &head, buf, sizeof(buf)), READ_HOST_MSG_OK);
        EXPECT_EQ(head.msgId, 2u);
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

TEST_F(MessageClientConn, AClientThatTakesNoReplyIsClosedAndNobodyWaitsOnIt)
{
    // Stuck on a client that never reads, the first reply gives up after PEER_WRITE_MS and closes the
    // connection; a reply queued behind it and the close path give up with it, not one deadline later.
    // With the close path running meanwhile, the stuck reply ends at once.
    for (bool closeMeanwhile : {false, true}) {
        SCOPED_TRACE(closeMeanwhile);
        SocketPair sp(false, 4096);
        auto conn = OpenClientConn(sp.Release(0));
        const std::string number = std::to_string(conn->fd);
        Bytes big = BigMessage('A', 1 << 20);
        std::atomic<int> second{0};
        Clock::duration firstTook{}, secondTook{}, closeTook{};
        Lines lines = log_.TextsLoggedBy([&] {
            auto start = Clock::now();
            std::thread first([&] {
                EXPECT_EQ(ClientWrite(*conn, big.data(), static_cast<int>(big.size())), -1);
                firstTook = Clock::now() - start;
            });
            WaitUntilReadable(sp.fd[1]);
            std::thread queued([&] {
                second = ClientWrite(*conn, big.data(), 56);
                secondTook = Clock::now() - start;
            });
            std::this_thread::sleep_for(500ms);
            if (closeMeanwhile) {
                auto closeStart = Clock::now();
                EXPECT_EQ(CloseClientConn(*conn), 0);
                closeTook = Clock::now() - closeStart;
            }
            first.join();
            queued.join();
        });
        EXPECT_EQ(second.load(), -1);
        EXPECT_TRUE(conn->closed.load());
        auto bound = closeMeanwhile ? 1s : std::chrono::milliseconds(PEER_WRITE_MS + 1000);
        EXPECT_LT(firstTook, bound);
        EXPECT_LT(secondTook, bound);
        EXPECT_LT(closeTook, 200ms);
        if (!closeMeanwhile) {
            EXPECT_GE(firstTook, std::chrono::milliseconds(PEER_WRITE_MS - 50));
            EXPECT_NE(std::find(lines.begin(), lines.end(),
                                "client fd " + number + " did not take its reply, errno 110: close it"),
                      lines.end());
            EXPECT_LT(Drain(sp.fd[1], SIZE_MAX).size(), big.size());   // then the end: the worker sees it
            EXPECT_EQ(CloseClientConn(*conn), 0);
        }
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
    // The connection found, or null.
    std::shared_ptr<ClientConn> Get(uint64_t msgId, const VmNode *vm)
    {
        std::shared_ptr<ClientConn> conn;
        ObjectLockGuard guard(&g_clientListLock);
        int found = getMsgNode(&conn, msgId, vm);
        EXPECT_EQ(found == 0, conn != nullptr);
        return conn;
    }
    void Delete(ClientConn &conn)
    {
        ObjectLockGuard guard(&g_clientListLock);
        deleteMsgNode(conn);
    }
    // The registry's entries, as (fd, msgId).
    std::set<std::pair<int, uint64_t>> Entries()
    {
        std::set<std::pair<int, uint64_t>> out;
        ObjectLockGuard guard(&g_clientListLock);
        for (ClientConn *c = g_msgNodeHead.get(); c != nullptr; c = c->nextListed.get()) {
            for (const MsgNode *n = c->oldest.get(); n != nullptr; n = n->next.get()) {
                out.emplace(c->fd, n->msgId);
            }
        }
        return out;
    }
    std::vector<std::unique_ptr<SocketPair>> pairs_;
};

TEST_F(MessageRegistry, EntriesGoWithTheirConnection)
{
    auto a = Client();
    std::shared_ptr<ClientConn> none;
    EXPECT_EQ(log_.TextsLoggedBy([&] {
                  ObjectLockGuard guard(&g_clientListLock);
                  EXPECT_EQ(getMsgNode(&none, 1, FakeVm(0)), -1);
                  deleteMsgNode(*a);
              }),
              (Lines{"MsgNode empty list", "MsgNode empty list"}));
    EXPECT_EQ(none, nullptr);

    auto b = Client();
    const std::string fa = std::to_string(a->fd), fb = std::to_string(b->fd);
    EXPECT_EQ(log_.TextsLoggedBy([&] {
                  Add(a, 1, FakeVm(0), "web01");
                  Add(b, 2, nullptr, nullptr);
                  Add(a, 3, FakeVm(1));
              }),
              (Lines{"addMsgNode web01, fd " + fa, "addMsgNode doUpgCtrl, fd " + fb, "addMsgNode vm, fd " + fa}));
    EXPECT_EQ(log_.TextsLoggedBy([&] { Delete(*a); }), Lines{"delete MsgNode fd " + fa + " success"});
    EXPECT_EQ(Entries(), (std::set<std::pair<int, uint64_t>>{{b->fd, 2}}));
    EXPECT_EQ(log_.TextsLoggedBy([&] { Delete(*a); }), Lines{"can't find MsgNode fd:" + fa});
    Delete(*b);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(MessageRegistry, LookupByMsgIdAndVm)
{
    auto a = Client();
    auto b = Client();
    auto c = Client();
    Add(c, 41, FakeVm(0));
    Add(a, 42, FakeVm(0));
    Add(b, 42, FakeVm(1));
    Add(c, 42, FakeVm(0));   // same request id, same VM, newer
    Add(c, 43, nullptr);
    struct Row { uint64_t msgId; VmNode *vm; ClientConn *conn; };
    for (Row row : {Row{42, FakeVm(1), b.get()}, Row{42, FakeVm(0), a.get()}, Row{43, nullptr, c.get()},
                    Row{42, nullptr, nullptr}, Row{44, FakeVm(0), nullptr}, Row{42, FakeVm(2), nullptr}}) {
        EXPECT_EQ(Get(row.msgId, row.vm).get(), row.conn) << row.msgId;
    }
    // A closed connection's entries are never matched, even before its close path removed them.
    CloseClientConn(*a);
    EXPECT_EQ(Get(42, FakeVm(0)), c);
}

TEST_F(MessageRegistry, ADepartedClientNeverTouchesANewerClientOnItsNumber)
{
    auto a = Client();
    int number = a->fd;
    Add(a, 7, FakeVm(0));
    // A forwarder has looked the client up when the client goes and a new one lands on the same number,
    // registering before the old client's close path has run.
    std::shared_ptr<ClientConn> held = Get(7, FakeVm(0));
    ASSERT_EQ(held, a);
    CloseClientConn(*a);
    SocketPair fresh;
    if (fresh.fd[0] != number) {   // the lowest free number is usually the one just freed
        ASSERT_EQ(dup2(fresh.fd[0], number), number);
        close(fresh.fd[0]);
    }
    fresh.Release(0);
    auto b = OpenClientConn(number);
    Add(b, 8, FakeVm(0));
    Delete(*a);

    uint8_t reply[64];
    int len = BuildHostMsg(reply, sizeof(reply), 7, UPG_MSG_HEALTH_CHECK, 0, "vm:{0}", 6);
    EXPECT_EQ(ClientWrite(*held, reply, len), -1);
    EXPECT_TRUE(Pending(fresh.fd[1]).empty());
    std::shared_ptr<ClientConn> forB = Get(8, FakeVm(0));
    ASSERT_EQ(forB, b);
    EXPECT_EQ(ClientWrite(*forB, reply, len), len);
    EXPECT_EQ(Pending(fresh.fd[1]), Bytes(reply, reply + len));
}

TEST_F(MessageRegistry, AClientKeepsItsNewestRequestsOnly)
{
    auto a = Client();
    auto b = Client();
    Add(b, 1000, FakeVm(1));
    for (uint64_t id = 1; id <= MSG_NODE_PER_CLIENT; ++id) {
        Add(a, id, FakeVm(0));
    }
    Lines lines = log_.TextsLoggedBy([&] { Add(a, 99, FakeVm(0)); });
    EXPECT_EQ(lines.front(), "fd " + std::to_string(a->fd) + " has 64 requests waiting, drop the oldest MsgNode, messID 1");
    EXPECT_EQ(Entries().size(), static_cast<size_t>(MSG_NODE_PER_CLIENT) + 1);
    EXPECT_EQ(Get(1, FakeVm(0)), nullptr);
    for (uint64_t id : {2u, 64u, 99u}) {
        EXPECT_EQ(Get(id, FakeVm(0)), a) << id;
    }
    EXPECT_EQ(Get(1000, FakeVm(1)), b);
}

}  // namespace
