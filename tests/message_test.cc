// Message I/O on real sockets, the transcript it logs, management client
// connections and the request registry. Runs in the sandbox: every test
// reads the log through its own /dev/log collector.
#include "ortavis_upgd_message.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
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
        int type = SOCK_STREAM | (nonBlocking ? SOCK_NONBLOCK : 0);
        if (socketpair(AF_UNIX, type, 0, fd) != 0) {
            ADD_FAILURE() << "socketpair: " << strerror(errno);
        }
        if (bufBytes > 0) {
            setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &bufBytes, sizeof(bufBytes));
            setsockopt(fd[1], SOL_SOCKET, SO_RCVBUF, &bufBytes, sizeof(bufBytes));
        }
    }
    ~SocketPair()
    {
        for (int f : fd) {
            if (f >= 0) {
                close(f);
            }
        }
    }
    int Release(int i)
    {
        int f = fd[i];
        fd[i] = -1;
        return f;
    }
    void CloseEnd(int i) { close(Release(i)); }
    int fd[2] = {-1, -1};
};

// Everything readable on fd right now.
Bytes Pending(int fd)
{
    Bytes out;
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
        if (n <= 0) {
            return out;
        }
        out.insert(out.end(), buf, buf + n);
    }
}

// Reads n bytes, a small piece at a time; stops early when nothing comes for
// two seconds, so a writer that gave up shows as a short result, not a hang.
Bytes Drain(int fd, size_t n)
{
    Bytes out;
    uint8_t buf[4096];
    while (out.size() < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 2000) <= 0) {
            break;
        }
        ssize_t got = recv(fd, buf, std::min(sizeof(buf), n - out.size()), MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN)) {
            break;
        }
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
        }
    }
    return out;
}

void SendAll(int fd, const Bytes &bytes)
{
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

Bytes HeadBytes(uint64_t msgId, uint32_t msgType, uint32_t bufLen, int32_t result)
{
    MsgHeadInfo head = MakeHostHead(msgId, msgType, bufLen, result);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&head);
    return Bytes(p, p + sizeof(head));
}

// A host message of `total` bytes: a header announcing 8 body bytes (so the
// dump stays short) and then `fill`.
Bytes BigMessage(uint8_t fill, size_t total)
{
    Bytes out = HeadBytes(1, UPG_MSG_HEALTH_CHECK, 8, 0);
    out.resize(total, fill);
    return out;
}

Bytes VmBytes(uint32_t type)
{
    VmMsg msg{};
    msg.msgId = 99;
    msg.msgType = type;
    msg.moduleNum = 1;
    std::strcpy(msg.module[0].name, "tools");
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&msg);
    return Bytes(p, p + sizeof(msg));
}

const VmNode *FakeVm(int i)
{
    static int cells[8];
    return reinterpret_cast<const VmNode *>(&cells[i]);
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

Lines Between(const Lines &texts, const std::string &begin, const std::string &end)
{
    Lines out;
    bool inside = false;
    for (const std::string &t : texts) {
        if (t == begin) {
            inside = true;
        } else if (t == end) {
            break;
        } else if (inside) {
            out.push_back(t);
        }
    }
    return out;
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

    // The texts logged by fn, in order, between two markers of our own.
    Lines LoggedBy(const std::function<void()> &fn)
    {
        ++round_;
        std::string begin = "-- round " + std::to_string(round_) + " begins --";
        std::string end = "-- round " + std::to_string(round_) + " ends --";
        syslog(LOG_INFO, "%s", begin.c_str());
        EXPECT_TRUE(log_.WaitFor(begin)) << log_.Dump();
        fn();
        syslog(LOG_INFO, "%s", end.c_str());
        EXPECT_TRUE(log_.WaitFor(end)) << log_.Dump();
        return Between(log_.Texts(), begin, end);
    }

    upgd_test::LogCollector log_;
    int round_ = 0;
};

std::string Fd(const char *text, int fd)
{
    return text + std::to_string(fd);
}

// ---- ReadFD ------------------------------------------------------------------------

class MessageReadFD : public MessageTest {};

TEST_F(MessageReadFD, NullBufferAndEmptyLengths)
{
    SocketPair sp;
    SendAll(sp.fd[1], {1, 2, 3});
    EXPECT_EQ(LoggedBy([&] { EXPECT_EQ(ReadFD(sp.fd[0], nullptr, 3), -1); }), Lines{"read buf is NULL"});
    EXPECT_EQ(GetConnEndMark(), nullptr);
    uint8_t buf[8];
    EXPECT_EQ(LoggedBy([&] {
                  EXPECT_EQ(ReadFD(sp.fd[0], buf, 0), 0);
                  EXPECT_EQ(ReadFD(sp.fd[0], buf, -5), 0);
              }),
              Lines{});
    EXPECT_EQ(Pending(sp.fd[0]), (Bytes{1, 2, 3}));   // nothing was consumed
}

TEST_F(MessageReadFD, SilentNonBlockingSocketUsesUpTenRetries)
{
    SocketPair sp(true);
    uint8_t buf[56];
    int ret = 0;
    int err = 0;
    auto start = Clock::now();
    Lines lines = LoggedBy([&] {
        ret = ReadFD(sp.fd[0], buf, sizeof(buf));
        err = errno;
    });
    auto elapsed = Clock::now() - start;
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(err, EAGAIN);
    EXPECT_EQ(lines, Lines{"retry 10 times read failed"});
    EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
    EXPECT_GE(elapsed, 950ms);   // ten pauses of 100 ms
    EXPECT_LT(elapsed, 5s);
}

TEST_F(MessageReadFD, ProgressDoesNotRenewTheBudget)
{
    // A byte every 300 ms: each gap costs about three retries, never ten, but
    // together they use up the one budget of the call.
    SocketPair sp(true);
    std::thread drip([&] {
        for (uint8_t i = 0; i < 8; ++i) {
            send(sp.fd[1], &i, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(300ms);
        }
    });
    uint8_t buf[8];
    int ret = 0;
    Lines lines = LoggedBy([&] { ret = ReadFD(sp.fd[0], buf, sizeof(buf)); });
    drip.join();
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(lines, Lines{"retry 10 times read failed"});
    EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
}

TEST_F(MessageReadFD, PeerClosesAfter20Of56Bytes)
{
    SocketPair sp;
    SendAll(sp.fd[1], Bytes(20, 7));
    sp.CloseEnd(1);
    uint8_t buf[56];
    int ret = 0;
    EXPECT_EQ(LoggedBy([&] { ret = ReadFD(sp.fd[0], buf, sizeof(buf)); }), Lines{"read to the end"});
    EXPECT_EQ(ret, -1);
    EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
}

TEST_F(MessageReadFD, HardErrorEndsAtOnce)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    uint8_t buf[4];
    int ret = 0;
    int err = 0;
    auto start = Clock::now();
    Lines lines = LoggedBy([&] {
        ret = ReadFD(p[1], buf, sizeof(buf));   // the write end can't be read
        err = errno;
    });
    EXPECT_LT(Clock::now() - start, 90ms);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(lines, Lines{"read failed"});
    EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
}

TEST_F(MessageReadFD, AssemblesPiecesAndLogsTheReceive)
{
    SocketPair sp;
    Bytes whole = HeadBytes(5, UPG_MSG_OPEN_CONNECT, 0, 0);
    std::thread writer([&] {
        for (size_t off : {size_t{0}, size_t{10}, size_t{40}}) {
            size_t end = off == 40 ? whole.size() : (off == 0 ? 10 : 40);
            send(sp.fd[1], whole.data() + off, end - off, MSG_NOSIGNAL);
            std::this_thread::sleep_for(50ms);
        }
    });
    uint8_t buf[56];
    int ret = 0;
    Lines lines = LoggedBy([&] { ret = ReadFD(sp.fd[0], buf, sizeof(buf)); });
    writer.join();
    EXPECT_EQ(ret, 56);
    EXPECT_EQ(Bytes(buf, buf + 56), whole);
    EXPECT_EQ(lines, Lines{Fd(">>>>>>>>>>> receive from host fd: ", sp.fd[0])});
    EXPECT_EQ(GetConnEndMark(), nullptr);
}

TEST_F(MessageReadFD, VmMessageIsDumped)
{
    SocketPair sp;
    Bytes msg = VmBytes(VM_REQ_ATTACH_ISO_MSG);
    SendAll(sp.fd[1], msg);
    uint8_t buf[568];
    int ret = 0;
    Lines lines = LoggedBy([&] { ret = ReadFD(sp.fd[0], buf, sizeof(buf)); });
    EXPECT_EQ(ret, 568);
    EXPECT_EQ(Bytes(buf, buf + 568), msg);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], Fd(">>>>>>>>>>> receive from vm fd: ", sp.fd[0]));
    EXPECT_EQ(lines[1], "vmMsg->msgId                 = 99");
    EXPECT_EQ(lines[2], "vmMsg->msgType               = VM_REQ_ATTACH_ISO_MSG");
    EXPECT_EQ(lines[5], "vmMsg->module[0].name        = tools");
}

// ---- WriteFD -----------------------------------------------------------------------

class MessageWriteFD : public MessageTest {};

TEST_F(MessageWriteFD, HostReplyTranscript)
{
    SocketPair sp;
    uint8_t out[128];
    int len = BuildHostMsg(out, sizeof(out), 42, UPG_MSG_HEALTH_CHECK, 0, "web01:{0}", 9);
    ASSERT_EQ(len, 65);
    int ret = 0;
    Lines lines = LoggedBy([&] { ret = WriteFD(sp.fd[0], out, len); });
    EXPECT_EQ(ret, len);
    EXPECT_EQ(Pending(sp.fd[1]), Bytes(out, out + len));
    EXPECT_EQ(lines, (Lines{Fd("<<<<<<<<<<< write to host fd: ", sp.fd[0]), "hostMsg->head.msgId   = 42",
                            "hostMsg->head.msgType = UPG_MSG_HEALTH_CHECK", "hostMsg->head.bufLen  = 9",
                            "hostMsg->head.result  = 0", "hostMsg->head.buf     = web01:{0}"}));
}

TEST_F(MessageWriteFD, VmMessageTranscript)
{
    SocketPair sp;
    Bytes msg = VmBytes(UPG_MSG_START_UPGRADE);
    int ret = 0;
    Lines lines = LoggedBy([&] { ret = WriteFD(sp.fd[0], msg.data(), static_cast<int>(msg.size())); });
    EXPECT_EQ(ret, 568);
    EXPECT_EQ(Pending(sp.fd[1]), msg);
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[0], Fd("<<<<<<<<<<< write to vm fd: ", sp.fd[0]));
    EXPECT_EQ(lines[2], "vmMsg->msgType               = UPG_MSG_START_UPGRADE");
}

TEST_F(MessageWriteFD, NullZeroAndNegativeLengths)
{
    SocketPair sp;
    uint8_t out[56] = {};
    EXPECT_EQ(LoggedBy([&] { EXPECT_EQ(WriteFD(sp.fd[0], nullptr, 56), -1); }), Lines{});

    Lines zero = LoggedBy([&] { EXPECT_EQ(WriteFD(sp.fd[0], out, 0), 0); });
    ASSERT_FALSE(zero.empty());
    EXPECT_EQ(zero[0], Fd("<<<<<<<<<<< write to host fd: ", sp.fd[0]));

    Lines negative = LoggedBy([&] {
        errno = EINTR;
        EXPECT_EQ(WriteFD(sp.fd[0], out, -1), 0);
    });
    ASSERT_FALSE(negative.empty());
    EXPECT_EQ(negative.back(), "WriteFD failed, fd: " + std::to_string(sp.fd[0]) + ", errno: 4");
    EXPECT_TRUE(Pending(sp.fd[1]).empty());
}

TEST_F(MessageWriteFD, ClosedPeerFailsWithoutKillingTheProcess)
{
    SocketPair sp;
    sp.CloseEnd(1);
    uint8_t out[56] = {};
    EXPECT_EQ(WriteFD(sp.fd[0], out, sizeof(out)), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(MessageWriteFD, FullNonBlockingSocketEndsWithoutRetry)
{
    SocketPair sp(true, 4096);
    const size_t total = 1 << 20;
    Bytes msg = BigMessage('A', total);
    std::atomic<bool> done{false};
    // Should WriteFD wait for room, this drains after 2 s so the test ends and fails.
    std::thread watchdog([&] {
        auto until = Clock::now() + 2s;
        while (!done && Clock::now() < until) {
            std::this_thread::sleep_for(10ms);
        }
        if (!done) {
            int flags = fcntl(sp.fd[1], F_GETFL);
            fcntl(sp.fd[1], F_SETFL, flags & ~O_NONBLOCK);
            Drain(sp.fd[1], total);
        }
    });
    int ret = WriteFD(sp.fd[0], msg.data(), static_cast<int>(total));
    done = true;
    watchdog.join();
    EXPECT_EQ(ret, -1);
    size_t got = Pending(sp.fd[1]).size();
    EXPECT_GT(got, 0u);       // the first write went through in part
    EXPECT_LT(got, total);
}

void NoOpHandler(int) {}

TEST_F(MessageWriteFD, GoesOnAfterAnInterruptedPartialWrite)
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
    std::this_thread::sleep_for(200ms);   // blocked with part of the message sent
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
    const std::vector<Row> rows = {
        {0, READ_HOST_MSG_OK, nullptr},
        {3, READ_HOST_MSG_OK, nullptr},
        {524, READ_HOST_MSG_OK, nullptr},
        {525, READ_HOST_MSG_TOO_LONG, "msg body length 525 over than 524"},
        {969, READ_HOST_MSG_TOO_LONG, "msg body length 969 over than 524"},
        {0xFFFFFFFFu, READ_HOST_MSG_TOO_LONG, "msg body length -1 over than 524"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.bufLen);
        SocketPair sp;
        size_t sent = std::min<size_t>(row.bufLen, 1000);
        Bytes body(sent);
        for (size_t i = 0; i < sent; ++i) {
            body[i] = static_cast<uint8_t>('a' + i % 26);
        }
        SendAll(sp.fd[1], HeadBytes(7, UPG_MSG_GET_UPG_RES, row.bufLen, 0));
        if (sent != 0) {
            SendAll(sp.fd[1], body);
        }
        MsgHeadInfo head{};
        uint8_t buf[HOST_MSG_BODY_BUF];
        std::memset(buf, 'x', sizeof(buf));
        int ret = -9;
        Lines lines = LoggedBy([&] { ret = readHostMsg(sp.fd[0], &head, buf, sizeof(buf)); });
        EXPECT_EQ(ret, row.ret);
        EXPECT_EQ(head.bufLen, row.bufLen);
        Lines expected = {Fd(">>>>>>>>>>> receive from host fd: ", sp.fd[0]), "hostMsg->head.msgId   = 7",
                          "hostMsg->head.msgType = UPG_MSG_GET_UPG_RES",
                          "hostMsg->head.bufLen  = " + std::to_string(static_cast<int>(row.bufLen)),
                          "hostMsg->head.result  = 0"};
        if (row.ret == READ_HOST_MSG_OK) {
            EXPECT_EQ(Bytes(buf, buf + sent), body);
            EXPECT_EQ(buf[sent], 0);
            if (sent != 0) {
                expected.push_back(Fd(">>>>>>>>>>> receive from host fd: ", sp.fd[0]));
            }
        } else {
            expected.push_back(row.log);
            EXPECT_EQ(Bytes(buf, buf + sizeof(buf)), Bytes(sizeof(buf), 'x'));
            EXPECT_EQ(Pending(sp.fd[0]).size(), sent);   // the body stays unread
        }
        EXPECT_EQ(lines, expected);
    }
}

TEST_F(MessageReadHostMsg, BodyCutShortByTheClient)
{
    SocketPair sp;
    SendAll(sp.fd[1], HeadBytes(7, UPG_MSG_HEALTH_CHECK, 10, 0));
    SendAll(sp.fd[1], {1, 2, 3, 4});
    sp.CloseEnd(1);
    MsgHeadInfo head{};
    uint8_t buf[HOST_MSG_BODY_BUF];
    Lines lines = LoggedBy([&] { EXPECT_EQ(readHostMsg(sp.fd[0], &head, buf, sizeof(buf)), 1); });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "read to the end");
    EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
}

TEST_F(MessageReadHostMsg, HeaderCutShortByTheClient)
{
    SocketPair sp;
    SendAll(sp.fd[1], Bytes(30, 1));
    sp.CloseEnd(1);
    MsgHeadInfo head{};
    uint8_t buf[HOST_MSG_BODY_BUF];
    EXPECT_EQ(LoggedBy([&] { EXPECT_EQ(readHostMsg(sp.fd[0], &head, buf, sizeof(buf)), 1); }),
              Lines{"read to the end"});
}

// ---- Client connections -------------------------------------------------------------

class MessageClientConn : public MessageTest {};

TEST_F(MessageClientConn, IdsAreUniqueAndNegativeDescriptorsRefused)
{
    SocketPair a, b;
    auto ca = OpenClientConn(a.Release(0));
    auto cb = OpenClientConn(b.Release(0));
    ASSERT_NE(ca, nullptr);
    ASSERT_NE(cb, nullptr);
    EXPECT_GE(ca->id, 1u);
    EXPECT_GT(cb->id, ca->id);
    EXPECT_EQ(OpenClientConn(-1), nullptr);
}

TEST_F(MessageClientConn, ClosedOnceAndNeverAgain)
{
    SocketPair sp;
    auto conn = OpenClientConn(sp.Release(0));
    int number = conn->fd;
    EXPECT_EQ(CloseClientConn(*conn), 0);
    // The number now belongs to someone else; a second close must leave it be.
    SocketPair other;
    ASSERT_EQ(dup2(other.fd[0], number), number);
    EXPECT_EQ(CloseClientConn(*conn), -1);
    EXPECT_NE(fcntl(number, F_GETFD), -1);
    close(number);
}

TEST_F(MessageClientConn, LastHolderClosesAnOpenConnection)
{
    SocketPair sp;
    auto conn = OpenClientConn(sp.Release(0));
    int number = conn->fd;
    conn.reset();
    EXPECT_EQ(fcntl(number, F_GETFD), -1);
    char c;
    EXPECT_EQ(recv(sp.fd[1], &c, 1, MSG_DONTWAIT), 0);   // the peer sees the end
}

TEST_F(MessageClientConn, ClosedConnectionIsNeverWritten)
{
    SocketPair sp;
    auto conn = OpenClientConn(sp.Release(0));
    int number = conn->fd;
    CloseClientConn(*conn);
    uint8_t out[56] = {};
    int ret = 0;
    int err = 0;
    Lines lines = LoggedBy([&] {
        ret = ClientWrite(*conn, out, sizeof(out));
        err = errno;
    });
    EXPECT_EQ(ret, -1);
    EXPECT_EQ(err, EBADF);
    EXPECT_EQ(lines, Lines{"client fd " + std::to_string(number) + " is closed, reply dropped"});
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
        std::this_thread::sleep_for(50ms);   // A is blocked part-way through
        std::thread tb([&] { rb = ClientWrite(*conn, b.data(), static_cast<int>(total)); });
        std::this_thread::sleep_for(100ms);
        Bytes got = Drain(sp.fd[1], 2 * total);
        ta.join();
        tb.join();
        EXPECT_EQ(ra.load(), static_cast<int>(total));
        EXPECT_EQ(rb.load(), static_cast<int>(total));
        ASSERT_EQ(got.size(), 2 * total);
        Bytes first(got.begin(), got.begin() + total);
        Bytes second(got.begin() + total, got.end());
        EXPECT_TRUE((first == a && second == b) || (first == b && second == a))
            << "the two replies are mixed";
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
    void Add(const std::shared_ptr<ClientConn> &conn, uint64_t msgId, const VmNode *vm,
             const char *name = "vm")
    {
        MsgHeadInfo head = MakeHostHead(msgId, UPG_MSG_HEALTH_CHECK, 0, 0);
        ObjectLockGuard guard(&g_clientListLock);
        addMsgNode(conn, &head, vm, name);
    }
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

TEST_F(MessageRegistry, EmptyList)
{
    int fd = -7;
    Lines lines = LoggedBy([&] {
        ObjectLockGuard guard(&g_clientListLock);
        EXPECT_EQ(getMsgNode(&fd, 1, FakeVm(0)), -1);
        deleteMsgNode(5);
    });
    EXPECT_EQ(fd, -7);
    EXPECT_EQ(lines, (Lines{"MsgNode empty list", "MsgNode empty list"}));
}

TEST_F(MessageRegistry, AddLogsTheVmOrTheUpgradeControl)
{
    auto c = Client();
    Lines lines = LoggedBy([&] {
        Add(c, 1, FakeVm(0), "web01");
        Add(c, 2, nullptr, nullptr);
    });
    EXPECT_EQ(lines, (Lines{"addMsgNode web01, fd " + std::to_string(c->fd),
                            "addMsgNode doUpgCtrl, fd " + std::to_string(c->fd)}));
    EXPECT_EQ(Entries(), (std::vector<std::pair<int, uint64_t>>{{c->fd, 1}, {c->fd, 2}}));
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
    struct Row { uint64_t msgId; const VmNode *vm; int fd; };
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

TEST_F(MessageRegistry, DeleteTakesTheOldestEntryOfThatDescriptor)
{
    auto a = Client();
    auto b = Client();
    Add(a, 1, FakeVm(0));
    Add(b, 2, FakeVm(0));
    Add(a, 3, FakeVm(1));
    EXPECT_EQ(LoggedBy([&] { Delete(a->fd); }), Lines{"delete MsgNode fd " + std::to_string(a->fd) + " success"});
    EXPECT_EQ(Entries(), (std::vector<std::pair<int, uint64_t>>{{b->fd, 2}, {a->fd, 3}}));
    EXPECT_EQ(LoggedBy([&] { Delete(999); }), Lines{"can't find MsgNode fd:999"});
    Delete(a->fd);
    Delete(b->fd);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(MessageRegistry, ReusedDescriptorNeverGetsAnOldClientsAnswer)
{
    auto a = Client();
    int number = a->fd;
    Add(a, 7, FakeVm(0));
    Add(a, 8, FakeVm(0));

    // A forwarder has looked the client up...
    std::shared_ptr<ClientConn> held;
    ASSERT_EQ(Get(7, FakeVm(0), &held), number);
    // ...when the client goes and a new one lands on the same number.
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
}

TEST_F(MessageRegistry, StaleEntriesGoWithTheNextDelete)
{
    auto a = Client();
    int number = a->fd;
    Add(a, 1, FakeVm(0));
    Add(a, 2, FakeVm(0));
    Add(a, 3, FakeVm(0));
    auto other = Client();
    Add(other, 4, FakeVm(1));
    Delete(number);
    CloseClientConn(*a);
    EXPECT_EQ(Entries().size(), 3u);   // a's second and third, and other's

    Lines lines = LoggedBy([&] { Delete(other->fd); });
    EXPECT_EQ(lines, (Lines{"drop 2 MsgNode of closed clients",
                            "delete MsgNode fd " + std::to_string(other->fd) + " success"}));
    EXPECT_TRUE(Entries().empty());
}

TEST_F(MessageRegistry, EntryOfAGoneConnectionIsStale)
{
    auto a = Client();
    Add(a, 5, FakeVm(0));
    a.reset();   // the serving worker let go: the connection closed itself
    EXPECT_EQ(Get(5, FakeVm(0)), -1);
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
