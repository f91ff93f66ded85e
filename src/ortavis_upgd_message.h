// Message I/O and the request registry.
//
// Every message the daemon reads or writes, on the management socket and on
// the guest channels, passes through ReadFD and WriteFD, which log a direction
// line and a field dump for each, so the log is a transcript of the traffic.
// readHostMsg reads one management request on top of ReadFD. WriteFD never
// waits on a peer for more than PEER_WRITE_MS over a whole message: a client
// or guest that stops reading costs its writer a few seconds, never a worker.
//
// A management client is a ClientConn: the pool worker that serves the client
// opens it on the accepted descriptor and closes it when the client goes.
// Replies reach the client from that worker and from the workers that forward
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
// How long the body of a refused (over-long) request may take to arrive.
inline constexpr int DISCARD_BODY_MS = 1000;

// How long the rest of a message may take to arrive once its read began.
inline constexpr int PEER_READ_MS = 1000;

// Reads exactly len bytes, waiting on the descriptor for what has not arrived
// yet (a blocking descriptor blocks in its reads). Returns len; 0 for a len of
// 0 or less; -1 for a null buffer (no mark) or a read that ended early: peer
// closed, hard error, or PEER_READ_MS over the whole call ("retry 10 times
// read failed", errno EAGAIN). An early end
// sets the calling thread's connection-end mark to CONN_END_MARK and leaves
// the failing read's errno. Logs the receive line, and dumps a 568-byte
// (VmMsg) read.
int ReadFD(int fd, void *buf, int len);

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

// Reads one request: the 56-byte header into head, then bufLen body bytes
// into body (bodyMax at least HOST_MSG_BODY_BUF) followed by a NUL. Returns
// READ_HOST_MSG_OK; READ_HOST_MSG_FAILED for a failed read; or
// READ_HOST_MSG_TOO_LONG for a bufLen over 524. A too-long body is never
// parsed: one of at most CLIENT_MSG_BODY_MAX bytes that arrives within
// DISCARD_BODY_MS is read and dropped, so the next request starts in step;
// any other leaves the connection-end mark CONN_END_MARK, and the caller ends
// the connection after its reply.
int readHostMsg(int fd, MsgHeadInfo *head, uint8_t *body, size_t bodyMax);

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
    LogBudget *const logBudget;   // the client's share of the log, or null; freed with the connection
    ObjectMutex writeLock = PTHREAD_MUTEX_INITIALIZER;   // held for each whole reply and for the close of fd
    // No reply is written once set: by CloseClientConn, or by a reply the
    // client did not take. Atomic, so that the registry can skip closed
    // connections without waiting for a writeLock a slow write may hold.
    std::atomic<bool> closed{false};
    std::atomic<bool> closing{false};   // CloseClientConn has run: it alone closes fd

    // The registry's part, REQUIRES g_clientListLock for every use.
    std::unique_ptr<MsgNode> oldest GUARDED_BY(g_clientListLock.lock);   // this client's entries, oldest first
    MsgNode *newest GUARDED_BY(g_clientListLock.lock) = nullptr;
    int entries GUARDED_BY(g_clientListLock.lock) = 0;
    bool listed GUARDED_BY(g_clientListLock.lock) = false;   // on the registry's list of connections
    std::shared_ptr<ClientConn> nextListed GUARDED_BY(g_clientListLock.lock);
};

// A connection for an accepted descriptor, with the next id. Null for a
// negative descriptor.
std::shared_ptr<ClientConn> OpenClientConn(int fd);
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
