// Message I/O, management client connections and the request registry; the
// contracts are in the header.
#include "ortavis_upgd_message.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_wire.h"

std::shared_ptr<ClientConn> g_msgNodeHead;

namespace {

std::atomic<uint64_t> g_nextConnId{1};
uint64_t g_nextMsgNodeSeq GUARDED_BY(g_clientListLock.lock) = 1;

// Writes len bytes before the deadline, never blocking in a write: a socket
// is written with MSG_DONTWAIT, anything else after it polled writable.
int WriteBefore(int fd, const uint8_t *bytes, int len, int64_t deadline)
{
    bool isSocket = true;   // send() keeps a closed peer from raising SIGPIPE
    int done = 0;
    while (done < len) {
        size_t want = static_cast<size_t>(len - done);
        ssize_t put = isSocket ? send(fd, bytes + done, want, MSG_NOSIGNAL | MSG_DONTWAIT)
                               : write(fd, bytes + done, want);
        if (put < 0 && isSocket && errno == ENOTSOCK) {
            isSocket = false;
            if (!PollBefore(fd, POLLOUT, deadline)) {
                return -1;
            }
            continue;
        }
        if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (!PollBefore(fd, POLLOUT, deadline)) {
                return -1;
            }
            continue;
        }
        if (put <= 0) {
            return -1;
        }
        done += static_cast<int>(put);
    }
    return len;
}

void DumpVmBuffer(const void *buf)
{
    VmMsg msg;
    std::memcpy(&msg, buf, sizeof(msg));
    dumpVmMsg(&msg);
}

// A host message as written: the header (bytes missing from a short buffer
// read as zero) and the body that follows it.
void DumpHostBuffer(const void *buf, int len)
{
    MsgHeadInfo head{};
    size_t have = len > 0 ? static_cast<size_t>(len) : 0;
    std::memcpy(&head, buf, have < sizeof(head) ? have : sizeof(head));
    const uint8_t *bytes = static_cast<const uint8_t *>(buf);
    if (have >= sizeof(head)) {
        dumpHostMsg(&head, bytes + sizeof(head), have - sizeof(head));
    } else {
        dumpHostMsg(&head, bytes, 0);
    }
}

}  // namespace

// ---- Message I/O ---------------------------------------------------------------

int WriteFD(int fd, const void *buf, int len)
{
    if (buf == nullptr) {
        return -1;
    }
    int callErrno = errno;   // what a negative length reports, before the log lines run
    if (len == VM_MSG_LEN) {
        UPG_LOG("<<<<<<<<<<< write to vm fd: %d", fd);
        DumpVmBuffer(buf);
    } else {
        UPG_LOG("<<<<<<<<<<< write to host fd: %d", fd);
        DumpHostBuffer(buf, len);
    }
    if (len == 0) {
        return 0;
    }
    if (len < 0) {
        UPG_LOG("WriteFD failed, fd: %d, errno: %d", fd, callErrno);
        errno = callErrno;
        return 0;
    }
    return WriteBefore(fd, static_cast<const uint8_t *>(buf), len, MonotonicMs() + PEER_WRITE_MS);
}

ReadStep ReadHostRequest(int fd, HostRequestReader &reader, HostRequest *out)
{
    for (;;) {
        uint8_t sink[256];
        size_t want = 0;
        uint8_t *into = sink;
        MsgHeadInfo head{};
        if (reader.have >= static_cast<size_t>(HOST_HEAD_LEN)) {
            std::memcpy(&head, reader.bytes, sizeof(head));
        }
        if (reader.discard > 0) {
            want = reader.discard < sizeof(sink) ? reader.discard : sizeof(sink);
        } else if (reader.have < static_cast<size_t>(HOST_HEAD_LEN)) {
            want = static_cast<size_t>(HOST_HEAD_LEN) - reader.have;
            into = reader.bytes + reader.have;
        } else {
            want = HOST_HEAD_LEN + head.bufLen - reader.have;
            into = reader.bytes + reader.have;
        }
        // Never waits, so no signal interrupts it.
        ssize_t got = want == 0 ? 0 : recv(fd, into, want, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return ReadStep::kMore;
        }
        if (got < 0 || (got == 0 && want > 0)) {
            UPG_LOG(got == 0 ? "read to the end" : "read failed");
            return ReadStep::kEnd;
        }
        if (reader.have == 0 && reader.discard == 0) {
            reader.startedMs = MonotonicMs();
        }
        bool headerDone = false;
        if (reader.discard > 0) {
            reader.discard -= static_cast<uint32_t>(got);
        } else {
            bool hadHeader = reader.have >= static_cast<size_t>(HOST_HEAD_LEN);
            reader.have += static_cast<size_t>(got);
            headerDone = !hadHeader && reader.have == static_cast<size_t>(HOST_HEAD_LEN);
            if (headerDone) {
                std::memcpy(&head, reader.bytes, sizeof(head));
                UPG_LOG(">>>>>>>>>>> receive from host fd: %d", fd);
                dumpHostMsg(&head, nullptr, 0);
            }
        }
        if (headerDone && !HostBodyLenAcceptable(head)) {
            UPG_LOG("msg body length %d over than %d", static_cast<int>(head.bufLen),
                    static_cast<int>(HOST_MSG_BODY_MAX));
            // Its bytes must never be taken for the next request.
            reader.discard = head.bufLen > CLIENT_MSG_BODY_MAX ? 0 : head.bufLen;
            reader.startedMs = MonotonicMs();
        }
        bool refused = reader.have >= static_cast<size_t>(HOST_HEAD_LEN) && !HostBodyLenAcceptable(head);
        if (refused && reader.discard == 0) {
            out->head = head;
            out->code = READ_HOST_MSG_TOO_LONG;
            out->endsConnection = head.bufLen > CLIENT_MSG_BODY_MAX;
            reader.have = 0;
            return ReadStep::kWhole;
        }
        if (!refused && reader.have == HOST_HEAD_LEN + static_cast<size_t>(head.bufLen)) {
            if (head.bufLen > 0 && !headerDone) {
                UPG_LOG(">>>>>>>>>>> receive from host fd: %d", fd);
            }
            out->head = head;
            std::memcpy(out->body, reader.bytes + HOST_HEAD_LEN, head.bufLen);
            out->body[head.bufLen] = '\0';
            out->code = READ_HOST_MSG_OK;
            out->endsConnection = false;
            reader.have = 0;
            return ReadStep::kWhole;
        }
    }
}

// ---- Management client connections ------------------------------------------------

ClientConn::~ClientConn()
{
    if (!closing.load()) {
        close(fd);
    }
    ReleaseLogBudget(logBudget);
}

std::shared_ptr<ClientConn> OpenClientConn(int fd, uid_t uid)
{
    if (fd < 0) {
        return nullptr;
    }
    return std::make_shared<ClientConn>(fd, g_nextConnId.fetch_add(1), ClientLogBudget(uid));
}

int CloseClientConn(ClientConn &conn)
{
    if (conn.closing.exchange(true)) {
        return -1;
    }
    conn.closed.store(true);
    (void)shutdown(conn.fd, SHUT_RDWR);   // a reply stuck on this client ends now
    MutexGuard guard(&conn.writeLock);
    close(conn.fd);
    return 0;
}

int ClientWrite(ClientConn &conn, const void *buf, int len)
{
    MutexGuard guard(&conn.writeLock);
    if (conn.closed.load()) {
        UPG_LOG("client fd %d is closed, reply dropped", conn.fd);
        errno = EBADF;
        return -1;
    }
    int ret = WriteFD(conn.fd, buf, len);
    if (ret < 0 && buf != nullptr) {
        int err = errno;
        {
            // The daemon's own line: a client's flood of requests never hides it.
            LogPeerScope daemon(nullptr);
            UPG_LOG("client fd %d did not take its reply, errno %d: close it", conn.fd, err);
        }
        conn.closed.store(true);
        (void)shutdown(conn.fd, SHUT_RDWR);   // its worker sees the end and closes fd
        errno = err;
    }
    return ret;
}

int ClientWriteHead(ClientConn &conn, MsgHeadInfo head, int32_t result)
{
    head.bufLen = 0;
    head.result = result;
    return ClientWrite(conn, &head, HOST_HEAD_LEN);
}

// ---- Request registry ---------------------------------------------------------------

// Before the first thread the lock does not exist yet; at shutdown main holds it.
void InitMsgNodeList() NO_THREAD_SAFETY_ANALYSIS
{
    // Unlinked one by one: a long list is never freed by recursion.
    std::shared_ptr<ClientConn> conn = std::move(g_msgNodeHead);
    while (conn != nullptr) {
        std::shared_ptr<ClientConn> next = std::move(conn->nextListed);
        conn->oldest.reset();
        conn->newest = nullptr;
        conn->entries = 0;
        conn->listed = false;
        conn = std::move(next);
    }
}

uint64_t addMsgNode(const std::shared_ptr<ClientConn> &conn, const MsgHeadInfo *head, VmNode *vm,
                    const char *vmName)
{
    if (conn == nullptr || head == nullptr) {
        return 0;
    }
    std::unique_ptr<MsgNode> node(new (std::nothrow) MsgNode);
    if (node == nullptr) {
        UPG_LOG("malloc MsgNode failed");
        return 0;
    }
    node->msgId = head->msgId;
    node->vmNode = VmRef(vm);
    node->seq = g_nextMsgNodeSeq++;

    if (!conn->listed) {
        conn->nextListed = std::move(g_msgNodeHead);
        g_msgNodeHead = conn;
        conn->listed = true;
    }
    MsgNode *added = node.get();
    if (conn->newest != nullptr) {
        conn->newest->next = std::move(node);
    } else {
        conn->oldest = std::move(node);
    }
    conn->newest = added;
    if (++conn->entries > MSG_NODE_PER_CLIENT) {
        std::unique_ptr<MsgNode> dropped = std::move(conn->oldest);
        conn->oldest = std::move(dropped->next);
        --conn->entries;
        UPG_LOG("fd %d has %d requests waiting, drop the oldest MsgNode, messID %lu", conn->fd,
                MSG_NODE_PER_CLIENT, static_cast<unsigned long>(dropped->msgId));
    }

    if (vm != nullptr) {
        UPG_LOG("addMsgNode %s, fd %d", vmName != nullptr ? vmName : "", conn->fd);
    } else {
        UPG_LOG("addMsgNode doUpgCtrl, fd %d", conn->fd);
    }
    return added->seq;
}

namespace {

// Unlinks the connection's entry that `match` accepts first; true when one went.
template <typename Match>
bool UnlinkEntry(ClientConn &conn, Match match) REQUIRES(g_clientListLock.lock)
{
    MsgNode *prev = nullptr;
    for (std::unique_ptr<MsgNode> *link = &conn.oldest; *link != nullptr; link = &(*link)->next) {
        if (match(**link)) {
            std::unique_ptr<MsgNode> gone = std::move(*link);
            *link = std::move(gone->next);
            if (conn.newest == gone.get()) {
                conn.newest = prev;
            }
            --conn.entries;
            return true;
        }
        prev = link->get();
    }
    return false;
}

}  // namespace

int takeMsgNode(std::shared_ptr<ClientConn> *conn, uint64_t msgId, const VmNode *vm)
{
    std::shared_ptr<ClientConn> found;
    if (getMsgNode(&found, msgId, vm) != 0) {
        return -1;
    }
    (void)UnlinkEntry(*found, [&](const MsgNode &n) { return n.msgId == msgId && n.vmNode.get() == vm; });
    if (conn != nullptr) {
        *conn = std::move(found);
    }
    return 0;
}

void dropMsgNode(ClientConn &conn, uint64_t seq)
{
    if (seq != 0) {
        (void)UnlinkEntry(conn, [seq](const MsgNode &n) { return n.seq == seq; });
    }
}

int getMsgNode(std::shared_ptr<ClientConn> *conn, uint64_t msgId, const VmNode *vm)
{
    if (g_msgNodeHead == nullptr) {
        UPG_LOG("MsgNode empty list");
        return -1;
    }
    const std::shared_ptr<ClientConn> *found = nullptr;
    uint64_t foundSeq = 0;
    for (const std::shared_ptr<ClientConn> *c = &g_msgNodeHead; *c != nullptr; c = &(*c)->nextListed) {
        if ((*c)->closed.load()) {
            continue;   // its client is gone; a newer client on that number must not be answered
        }
        for (const MsgNode *node = (*c)->oldest.get(); node != nullptr; node = node->next.get()) {
            if (node->msgId == msgId && node->vmNode.get() == vm) {
                if (found == nullptr || node->seq < foundSeq) {
                    found = c;
                    foundSeq = node->seq;
                }
                break;   // the client's own older entries come first
            }
        }
    }
    if (found == nullptr) {
        return -1;
    }
    if (conn != nullptr) {
        *conn = *found;
    }
    return 0;
}

void deleteMsgNode(ClientConn &conn)
{
    if (g_msgNodeHead == nullptr) {
        UPG_LOG("MsgNode empty list");
        return;
    }
    if (!conn.listed) {
        UPG_LOG("can't find MsgNode fd:%d", conn.fd);
        return;
    }
    for (std::shared_ptr<ClientConn> *c = &g_msgNodeHead; *c != nullptr; c = &(*c)->nextListed) {
        if (c->get() == &conn) {
            // The caller holds conn, so unlinking never frees it here.
            *c = std::move(conn.nextListed);
            break;
        }
    }
    conn.listed = false;
    conn.oldest.reset();
    conn.newest = nullptr;
    conn.entries = 0;
    UPG_LOG("delete MsgNode fd %d success", conn.fd);
}
