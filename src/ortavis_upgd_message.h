// Message I/O and the request registry.
//
// Every message the daemon writes, on the management socket and on the guest
// channels, passes through WriteFD, and every request it reads from a
// management client through ReadHostRequest; both log a direction line and a
// field dump for each, so the log is a transcript of the traffic. WriteFD never
// waits on a peer for more than PEER_WRITE_MS over a whole message: a client
// or guest that stops reading costs its writer a few seconds, never a worker.
//
// A management client is a ClientConn: the management server opens it on the
// accepted descriptor and closes it when the client goes.
// Replies reach the client from the pool worker that handles its request and
// from the workers that forward
// guest answers; all of them write through ClientWrite, which holds the
// connection's writeLock, so two replies never interleave, and refuses to
// write once the connection is closed, so a reply can never land on a newer
// client that got the same descriptor number. A reply that the client does not
// take in time closes the connection: nothing waits on that client again.
//
// The request registry remembers which client waits for the answer to which
// msgId about which VM. Its entries belong to their connection (a FIFO of at
// most MSG_NODE_PER_CLIENT, the oldest dropped first), the registry lists the
// connections that have entries, and a lookup hands out the connection, never
// a bare descriptor. All of it is guarded by g_clientListLock. Lock order:
// g_clientListLock before a connection's writeLock (getMsgNode never waits for
// a writeLock, so a slow client cannot stall the registry).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_tsa.h"
#include "ortavis_upgd_vm.h"


// ---- Message I/O ---------------------------------------------------------------

// How long one whole message to one peer may take, waiting for room included.
inline constexpr int PEER_WRITE_MS = 3000;
// How long a request may take to arrive whole once its first byte came; the
// body of a refused (over-long) request gets as long again to be dropped.
inline constexpr int PEER_READ_MS = 1000;

// Writes len bytes, waiting for room in the peer's buffer (blocking or not)
// for at most PEER_WRITE_MS over the whole message. Returns len; 0 for a len
// of 0 or less; -1 for a null buffer, a failed write (errno left from it) or
// the time running out (errno ETIMEDOUT; part of the message may be out).
// Logs the write line and dumps the message: a VmMsg when len is 568,
// otherwise a host header followed by its body. Never raises SIGPIPE. Takes
// no lock: replies to a management client go through ClientWrite, writes to a
// guest under the VM's writeLock.
int WriteFD(int fd, const void *buf, int len);

inline constexpr int READ_HOST_MSG_OK = 0;
inline constexpr int READ_HOST_MSG_FAILED = 1;
inline constexpr int READ_HOST_MSG_TOO_LONG = 4;

// One whole management request: the 56-byte header, the body followed by a
// NUL, and how it was read: READ_HOST_MSG_OK, or READ_HOST_MSG_TOO_LONG for a
// bufLen over 524, whose body is never kept. A refused body of at most
// CLIENT_MSG_BODY_MAX bytes is read and dropped first, so the next request
// starts in step; after a longer one the connection ends (endsConnection).
struct HostRequest {
    MsgHeadInfo head{};
    uint8_t body[HOST_MSG_BODY_BUF] = {0};
    int code = READ_HOST_MSG_OK;
    bool endsConnection = false;
};

// A request on its way in, read as its bytes arrive and never waited for:
// the management server keeps one for each connection.
struct HostRequestReader {
    uint8_t bytes[HOST_HEAD_LEN + HOST_MSG_BODY_MAX] = {0};
    size_t have = 0;          // bytes of the request so far
    uint32_t discard = 0;     // bytes of a refused body still to drop
    int64_t startedMs = 0;    // monotonic: when its first byte came
    bool Started() const { return have > 0; }
};

enum class ReadStep { kMore, kWhole, kEnd };

// Reads what fd holds of the current request, never past it, never blocking.
// kWhole: *out holds it and the reader is ready for the next one; kMore: the
// rest has not arrived; kEnd: the peer closed ("read to the end") or the read
// failed ("read failed"). Logs a receive line and dumps the header once it is
// whole, then a receive line for the body.
ReadStep ReadHostRequest(int fd, HostRequestReader &reader, HostRequest *out);

// ---- Request registry entries ----------------------------------------------------

// Requests of one client that may wait at once; a newer one drops the oldest.
inline constexpr int MSG_NODE_PER_CLIENT = 64;

// One waiting request, owned by its connection's FIFO.
struct MsgNode {
    uint64_t msgId = 0;              // the request's msgId
    // The VM asked (null for upgrade control). The entry holds a reference,
    // so the VM's record outlives the entry and no newer VM can take its
    // address while the entry may still be matched against it.
    VmRef vmNode;
    uint64_t seq = 0;                // registry-wide order: smaller is older
    std::unique_ptr<MsgNode> next;   // the connection's next newer entry
};

// ---- Management client connections ------------------------------------------------

// One accepted management client. The connection owns its descriptor: it is
// closed by CloseClientConn, or by the destructor when the last holder lets
// go without closing. Nobody else may close fd.
struct ClientConn {
    ClientConn(int connFd, uint64_t connId, LogBudget *budget) : fd(connFd), id(connId), logBudget(budget) {}
    ~ClientConn();
    ClientConn(const ClientConn &) = delete;
    ClientConn &operator=(const ClientConn &) = delete;

    const int fd;
    const uint64_t id;        // unique for the process's life, from 1
    LogBudget *const logBudget;   // the share of the log of the client's uid, held by the connection
    ObjectMutex writeLock = PTHREAD_MUTEX_INITIALIZER;   // held for each whole reply and for the close of fd
    // No reply is written once set: by CloseClientConn, or by a reply the
    // client did not take. Atomic, so that the registry can skip closed
    // connections without waiting for a writeLock a slow write may hold.
    std::atomic<bool> closed{false};
    std::atomic<bool> closing{false};   // CloseClientConn has run: it alone closes fd
    // A request of the client is in a pool worker's hands: the server reads
    // nothing more of it meanwhile, so its requests are handled in order.
    std::atomic<bool> serving{false};

    // The registry's part, REQUIRES g_clientListLock for every use.
    std::unique_ptr<MsgNode> oldest GUARDED_BY(g_clientListLock.lock);   // this client's entries, oldest first
    MsgNode *newest GUARDED_BY(g_clientListLock.lock) = nullptr;
    int entries GUARDED_BY(g_clientListLock.lock) = 0;
    bool listed GUARDED_BY(g_clientListLock.lock) = false;   // on the registry's list of connections
    std::shared_ptr<ClientConn> nextListed GUARDED_BY(g_clientListLock.lock);
};

// A connection for an accepted descriptor, with the next id, drawing on the
// log budget of the peer's uid. Null for a negative descriptor.
std::shared_ptr<ClientConn> OpenClientConn(int fd, uid_t uid);
// Marks the connection closed, shuts the socket down (a reply stuck on it
// fails at once) and closes its descriptor under writeLock. 0, or -1 when it
// was closed before (the descriptor is then left alone: it may be another
// client's by now).
int CloseClientConn(ClientConn &conn);
// Writes one reply under writeLock with WriteFD. Its result; -1 with errno
// EBADF and nothing written when the connection is closed. A failed write
// (the client went, or did not take the reply within PEER_WRITE_MS) leaves
// the stream out of step: it is logged, the connection is marked closed and
// shut down, so the worker serving it sees the end and closes the descriptor.
int ClientWrite(ClientConn &conn, const void *buf, int len);
// Answers a request with a header alone: head (the request's own, or one
// made for the reply) with no body and result. ClientWrite's result.
int ClientWriteHead(ClientConn &conn, MsgHeadInfo head, int32_t result);

// ---- Request registry ---------------------------------------------------------------

// The first listed connection; each one's nextListed is the next. REQUIRES:
// g_clientListLock for every use.
extern std::shared_ptr<ClientConn> g_msgNodeHead GUARDED_BY(g_clientListLock.lock);

// Drops every connection's entries and clears the list. Called by main before
// any thread starts, and at shutdown.
void InitMsgNodeList();

// Appends an entry for conn's client, head->msgId and vm (O(1)); a client
// that already has MSG_NODE_PER_CLIENT entries loses its oldest, with a log
// line. vmName is used only for the log line (vm null: the upgrade control).
// Returns the entry's registry-wide sequence number (dropMsgNode takes it);
// 0 when nothing was added (an allocation failure is logged and the request
// goes on unregistered). REQUIRES: g_clientListLock.
uint64_t addMsgNode(const std::shared_ptr<ClientConn> &conn, const MsgHeadInfo *head, VmNode *vm,
                    const char *vmName) REQUIRES(g_clientListLock.lock);

// Finds the oldest entry for (msgId, vm) among open connections and stores
// its connection in *conn (write the answer through it with ClientWrite).
// 0 when found; -1 otherwise, *conn unchanged. REQUIRES: g_clientListLock.
int getMsgNode(std::shared_ptr<ClientConn> *conn, uint64_t msgId, const VmNode *vm)
    REQUIRES(g_clientListLock.lock);
// The same, and the entry found goes: a request has one answer, so a second
// answer to the same (msgId, vm) finds the next waiting client, or none.
int takeMsgNode(std::shared_ptr<ClientConn> *conn, uint64_t msgId, const VmNode *vm)
    REQUIRES(g_clientListLock.lock);
// Removes the connection's entry with sequence number seq, if it is still
// there: a request answered without the guest. REQUIRES: g_clientListLock.
void dropMsgNode(ClientConn &conn, uint64_t seq) REQUIRES(g_clientListLock.lock);

// Removes every entry of the connection and takes it off the list, when its
// client goes; the connection's owner calls it before letting go.
// REQUIRES: g_clientListLock.
void deleteMsgNode(ClientConn &conn) REQUIRES(g_clientListLock.lock);
