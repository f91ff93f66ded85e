// Message I/O, management client connections and the request registry; the
// contracts are in the header.
#include "ortavis_upgd_message.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_wire.h"

MsgNode g_msgNodeHead;

namespace {

constexpr int kReadRetries = 10;

std::atomic<uint64_t> g_nextConnId{1};

// The end of a read that can't go on: the management loop reads the mark to
// tell that its client is gone. errno stays the failing read's.
int EndRead(int savedErrno)
{
    (void)SetConnEndMark(CONN_END_MARK);
    errno = savedErrno;
    return -1;
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

bool Stale(const MsgNode &node)
{
    std::shared_ptr<ClientConn> conn = node.conn.lock();
    return conn == nullptr || conn->closed.load();
}

}  // namespace

// ---- Message I/O ---------------------------------------------------------------

int ReadFD(int fd, void *buf, int len)
{
    if (buf == nullptr) {
        UPG_LOG("read buf is NULL");
        return -1;
    }
    if (len <= 0) {
        return 0;
    }
    uint8_t *bytes = static_cast<uint8_t *>(buf);
    int retries = kReadRetries;   // for the whole call: progress does not renew it
    int count = 0;
    while (count < len) {
        ssize_t got = read(fd, bytes + count, static_cast<size_t>(len - count));
        if (got == 0) {
            UPG_LOG("read to the end");
            SleepRetryPause();
            return EndRead(0);
        }
        if (got < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
                SleepRetryPause();
                if (--retries == 0) {
                    UPG_LOG("retry 10 times read failed");
                    return EndRead(err);
                }
                continue;
            }
            UPG_LOG("read failed");
            return EndRead(err);
        }
        count += static_cast<int>(got);
    }
    if (len == VM_MSG_LEN) {
        UPG_LOG(">>>>>>>>>>> receive from vm fd: %d", fd);
        DumpVmBuffer(buf);
    } else {
        UPG_LOG(">>>>>>>>>>> receive from host fd: %d", fd);
    }
    return count;
}

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
    const uint8_t *bytes = static_cast<const uint8_t *>(buf);
    bool isSocket = true;   // send() keeps a closed peer from raising SIGPIPE
    int done = 0;
    while (done < len) {
        size_t want = static_cast<size_t>(len - done);
        ssize_t put = isSocket ? send(fd, bytes + done, want, MSG_NOSIGNAL)
                               : write(fd, bytes + done, want);
        if (put < 0 && isSocket && errno == ENOTSOCK) {
            isSocket = false;
            continue;
        }
        if (put <= 0) {
            return -1;
        }
        done += static_cast<int>(put);
    }
    return len;
}

int readHostMsg(int fd, MsgHeadInfo *head, uint8_t *body, size_t bodyMax)
{
    if (body != nullptr && bodyMax < HOST_MSG_BODY_BUF) {
        return READ_HOST_MSG_FAILED;
    }
    if (ReadFD(fd, head, HOST_HEAD_LEN) != HOST_HEAD_LEN) {
        return READ_HOST_MSG_FAILED;
    }
    dumpHostMsg(head, nullptr, 0);
    if (!HostBodyLenAcceptable(*head)) {
        UPG_LOG("msg body length %d over than %d", static_cast<int>(head->bufLen),
                static_cast<int>(HOST_MSG_BODY_MAX));
        return READ_HOST_MSG_TOO_LONG;
    }
    int len = static_cast<int>(head->bufLen);
    if (ReadFD(fd, body, len) != len || body == nullptr) {
        return READ_HOST_MSG_FAILED;
    }
    body[len] = '\0';
    return READ_HOST_MSG_OK;
}

// ---- Management client connections ------------------------------------------------

ClientConn::~ClientConn()
{
    if (!closed.load()) {
        close(fd);
    }
}

std::shared_ptr<ClientConn> OpenClientConn(int fd)
{
    if (fd < 0) {
        return nullptr;
    }
    return std::make_shared<ClientConn>(fd, g_nextConnId.fetch_add(1));
}

int CloseClientConn(ClientConn &conn)
{
    std::lock_guard<std::mutex> guard(conn.writeLock);
    if (conn.closed.load()) {
        return -1;
    }
    conn.closed.store(true);
    close(conn.fd);
    return 0;
}

int ClientWrite(ClientConn &conn, const void *buf, int len)
{
    std::lock_guard<std::mutex> guard(conn.writeLock);
    if (conn.closed.load()) {
        UPG_LOG("client fd %d is closed, reply dropped", conn.fd);
        errno = EBADF;
        return -1;
    }
    return WriteFD(conn.fd, buf, len);
}

// ---- Request registry ---------------------------------------------------------------

MsgNode::~MsgNode()
{
    std::unique_ptr<MsgNode> rest = std::move(next);
    while (rest != nullptr) {
        rest = std::move(rest->next);
    }
}

void InitMsgNodeList()
{
    g_msgNodeHead.next.reset();
    g_msgNodeHead.fd = 0;
    g_msgNodeHead.msgId = 0;
    g_msgNodeHead.vmNode.reset();
    g_msgNodeHead.conn.reset();
}

void addMsgNode(const std::shared_ptr<ClientConn> &conn, const MsgHeadInfo *head, VmNode *vm,
                const char *vmName)
{
    if (conn == nullptr || head == nullptr) {
        return;
    }
    std::unique_ptr<MsgNode> node(new (std::nothrow) MsgNode);
    if (node == nullptr) {
        UPG_LOG("malloc MsgNode failed");
        return;
    }
    node->fd = conn->fd;
    node->msgId = head->msgId;
    node->vmNode = VmRef(vm);
    node->conn = conn;

    MsgNode *tail = &g_msgNodeHead;
    while (tail->next != nullptr) {
        tail = tail->next.get();
    }
    tail->next = std::move(node);

    if (vm != nullptr) {
        UPG_LOG("addMsgNode %s, fd %d", vmName != nullptr ? vmName : "", conn->fd);
    } else {
        UPG_LOG("addMsgNode doUpgCtrl, fd %d", conn->fd);
    }
}

int getMsgNode(int *fd, uint64_t msgId, const VmNode *vm, std::shared_ptr<ClientConn> *conn)
{
    if (g_msgNodeHead.next == nullptr) {
        UPG_LOG("MsgNode empty list");
        return -1;
    }
    for (const MsgNode *node = g_msgNodeHead.next.get(); node != nullptr; node = node->next.get()) {
        if (node->msgId != msgId || node->vmNode.get() != vm) {
            continue;
        }
        std::shared_ptr<ClientConn> live = node->conn.lock();
        if (live == nullptr || live->closed.load()) {
            continue;   // its client is gone; a newer client on that number must not be answered
        }
        if (fd != nullptr) {
            *fd = node->fd;
        }
        if (conn != nullptr) {
            *conn = std::move(live);
        }
        return node->fd >= 0 ? 0 : -1;
    }
    return -1;
}

void deleteMsgNode(int fd)
{
    if (g_msgNodeHead.next == nullptr) {
        UPG_LOG("MsgNode empty list");
        return;
    }
    bool removed = false;       // the oldest live entry of fd
    bool staleOfFd = false;     // entries of fd whose connection was already closed
    int dropped = 0;
    MsgNode *prev = &g_msgNodeHead;
    while (prev->next != nullptr) {
        MsgNode *node = prev->next.get();
        bool stale = Stale(*node);
        bool take = stale || (!removed && node->fd == fd);
        if (!take) {
            prev = node;
            continue;
        }
        if (node->fd == fd) {
            (stale ? staleOfFd : removed) = true;
        }
        if (stale) {
            ++dropped;
        }
        std::unique_ptr<MsgNode> gone = std::move(prev->next);
        prev->next = std::move(gone->next);
    }
    if (dropped > 0) {
        UPG_LOG("drop %d MsgNode of closed clients", dropped);
    }
    if (removed || staleOfFd) {
        UPG_LOG("delete MsgNode fd %d success", fd);
    } else {
        UPG_LOG("can't find MsgNode fd:%d", fd);
    }
}
