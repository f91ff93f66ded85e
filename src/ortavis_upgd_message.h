// Message I/O and the request registry.
//
// Every message the daemon reads or writes, on the management socket and on
// the guest channels, passes through ReadFD and WriteFD, which log a direction
// line and a field dump for each, so the log is a transcript of the traffic.
// readHostMsg reads one management request on top of ReadFD.
//
// A management client is a ClientConn: the pool worker that serves the client
// opens it on the accepted descriptor and closes it when the client goes.
// Replies reach the client from that worker and from the workers that forward
// guest answers; all of them write through ClientWrite, which holds the
// connection's writeLock, so two replies never interleave, and refuses to
// write once the connection is closed, so a reply can never land on a newer
// client that got the same descriptor number.
//
// The request registry remembers which client waits for the answer to which
// msgId about which VM: a list of MsgNode entries behind the head record
// g_msgNodeHead, oldest first, guarded by g_clientListLock. Lock order:
// g_clientListLock before a connection's writeLock (getMsgNode never waits for
// a writeLock, so a slow client cannot stall the registry).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_vm.h"


// ---- Message I/O ---------------------------------------------------------------

// Reads exactly len bytes. Returns len; 0 for a len of 0 or less; -1 for a
// null buffer (no mark) or a read that ended early: peer closed, hard error,
// or ten EAGAIN/EINTR retries 100 ms apart over the whole call. An early end
// sets the calling thread's connection-end mark to CONN_END_MARK and leaves
// the failing read's errno. Logs the receive line, and dumps a 568-byte
// (VmMsg) read.
int ReadFD(int fd, void *buf, int len);

// Writes len bytes. Returns len; 0 for a len of 0 or less; -1 for a null
// buffer or as soon as one write call returns 0 or less (no retry, errno left
// from that call). Logs the write line and dumps the message: a VmMsg when
// len is 568, otherwise a host header followed by its body. Never raises
// SIGPIPE. Takes no lock: replies to a management client go through
// ClientWrite, writes to a guest under the VM's writeLock.
int WriteFD(int fd, const void *buf, int len);

inline constexpr int READ_HOST_MSG_OK = 0;
inline constexpr int READ_HOST_MSG_FAILED = 1;
inline constexpr int READ_HOST_MSG_TOO_LONG = 4;

// Reads one request: the 56-byte header into head, then bufLen body bytes
// into body (bodyMax at least HOST_MSG_BODY_BUF) followed by a NUL. Returns
// READ_HOST_MSG_OK; READ_HOST_MSG_FAILED for a failed read; or
// READ_HOST_MSG_TOO_LONG for a bufLen over 524, whose body stays unread.
int readHostMsg(int fd, MsgHeadInfo *head, uint8_t *body, size_t bodyMax);

// ---- Management client connections ------------------------------------------------

// One accepted management client. The connection owns its descriptor: it is
// closed by CloseClientConn, or by the destructor when the last holder lets
// go without closing. Nobody else may close fd.
struct ClientConn {
    ClientConn(int connFd, uint64_t connId) : fd(connFd), id(connId) {}
    ~ClientConn();
    ClientConn(const ClientConn &) = delete;
    ClientConn &operator=(const ClientConn &) = delete;

    const int fd;
    const uint64_t id;        // unique for the process's life, from 1
    std::mutex writeLock;     // held for each whole reply and for the close
    // Written only under writeLock; ClientWrite reads it there. It is atomic
    // so that the registry can skip closed connections without waiting for a
    // writeLock that a write to a slow client may hold.
    std::atomic<bool> closed{false};
};

// A connection for an accepted descriptor, with the next id. Null for a
// negative descriptor.
std::shared_ptr<ClientConn> OpenClientConn(int fd);
// Marks the connection closed and closes its descriptor, under writeLock (a
// reply being written is finished first). 0, or -1 when it was closed before.
int CloseClientConn(ClientConn &conn);
// Writes one reply under writeLock. WriteFD's result; -1 with errno EBADF and
// nothing written when the connection is closed.
int ClientWrite(ClientConn &conn, const void *buf, int len);

// ---- Request registry ---------------------------------------------------------------

// One waiting request. The entry only observes its connection (weak_ptr): the
// worker serving the client owns it, so an entry never keeps a gone client's
// connection alive, and an entry whose connection has expired or is closed is
// stale at once, whatever descriptor number a newer client got.
struct MsgNode {
    MsgNode() = default;
    ~MsgNode();   // frees the rest of the chain without recursion
    MsgNode(const MsgNode &) = delete;
    MsgNode &operator=(const MsgNode &) = delete;

    int32_t fd = 0;                  // the client's descriptor when registered
    uint64_t msgId = 0;              // the request's msgId
    // The VM asked (null for upgrade control). The entry holds a reference,
    // so the VM's record outlives the entry and no newer VM can take its
    // address while the entry may still be matched against it.
    VmRef vmNode;
    std::unique_ptr<MsgNode> next;   // null at the end
    std::weak_ptr<ClientConn> conn;
};

// The head record; its next is the oldest entry. REQUIRES: g_clientListLock
// held for every use.
extern MsgNode g_msgNodeHead;

// Frees every entry and clears the head. Called by main before any thread
// starts, and at shutdown.
void InitMsgNodeList();

// Appends an entry for conn's client, head->msgId and vm. vmName is used only
// for the log line (vm null: the upgrade control). An allocation failure is
// logged and the request goes on unregistered. REQUIRES: g_clientListLock.
void addMsgNode(const std::shared_ptr<ClientConn> &conn, const MsgHeadInfo *head, VmNode *vm,
                const char *vmName);

// Finds the oldest live entry for (msgId, vm); entries of closed connections
// are skipped. On success stores its descriptor in *fd and, when conn is not
// null, the connection (write through it with ClientWrite, not to *fd).
// 0 when found with a descriptor of 0 or more; -1 otherwise (*fd unchanged
// when nothing matched). REQUIRES: g_clientListLock.
int getMsgNode(int *fd, uint64_t msgId, const VmNode *vm,
               std::shared_ptr<ClientConn> *conn = nullptr);

// Removes the oldest live entry registered for fd, and with it every stale
// entry (closed or expired connection), whose answers could never be
// delivered. REQUIRES: g_clientListLock.
void deleteMsgNode(int fd);
