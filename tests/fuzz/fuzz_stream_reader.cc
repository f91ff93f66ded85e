// Drives the daemon's stream reader, readHostMsg over ReadFD, on a socket pair.
// Input: 1 byte of flags (bit 0: the peer closes after its last byte; the other
// bits are not read), 1 byte n, n chunk sizes, then the stream: the n chunks,
// the rest as one more. The reading end is non-blocking, as every client socket
// of the daemon is.
// The peer sends its first chunk before the read and the next when the reader
// pauses on an empty socket; the pause and poll are wrapped (--wrap, see
// CMakeLists.txt), so a run takes microseconds and repeats exactly. A poll that
// finds nothing left to send closes the peer instead of waiting out its deadline.
// Checked: an accepted request is the stream's first bytes, nothing past the
// request is read, the connection is marked ended exactly when the stream can't
// go on in step, and a peer that sends no more is given up (its end, or the
// read's deadline).
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "fuzz_check.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_task.h"

extern "C" {
void __real__Z15SleepRetryPausev();
int __real_poll(pollfd *fds, nfds_t nfds, int timeout);
}

namespace {

constexpr size_t kStreamMax = 4096;   // one chunk always fits the socket's buffer
constexpr int kRetriesPerRead = 10;

// The sending end of the socket pair.
struct Peer {
    int reader = -1;
    int writer = -1;
    const uint8_t *stream = nullptr;
    size_t streamLen = 0;
    const uint8_t *sizes = nullptr;
    size_t chunks = 0;        // n; chunk n is the rest of the stream
    size_t next = 0;          // the next chunk to send
    size_t sent = 0;
    bool closeAtEnd = false;
    int pauses = 0;           // the reader's pauses before a retry or at the end

    void Close()
    {
        if (writer >= 0) {
            close(std::exchange(writer, -1));
        }
    }

    // Sends the next chunk. False when all were sent.
    bool SendNext()
    {
        if (writer < 0 || next > chunks) {
            return false;
        }
        size_t left = streamLen - sent;
        size_t len = next < chunks && sizes[next] < left ? sizes[next] : left;
        ++next;
        while (len > 0) {
            ssize_t n = write(writer, stream + sent, len);
            Check(n > 0);   // the socket always has room for one chunk
            sent += static_cast<size_t>(n);
            len -= static_cast<size_t>(n);
        }
        if (next > chunks && closeAtEnd) {
            Close();
        }
        return true;
    }

    bool ReaderEmpty() const
    {
        int queued = 0;
        return ioctl(reader, FIONREAD, &queued) == 0 && queued == 0;
    }
};

Peer *g_peer = nullptr;   // the run in progress

}  // namespace

// The reader's pause before a retry: the peer sends its next chunk.
extern "C" void __wrap__Z15SleepRetryPausev()
{
    if (g_peer == nullptr) {
        __real__Z15SleepRetryPausev();
        return;
    }
    ++g_peer->pauses;
    if (g_peer->ReaderEmpty()) {
        (void)g_peer->SendNext();
    }
}

// A wait for the reader's socket to become readable: the peer sends chunks
// until bytes are there, or closes when it has none left.
extern "C" int __wrap_poll(pollfd *fds, nfds_t nfds, int timeout)
{
    if (g_peer != nullptr && nfds == 1 && fds[0].fd == g_peer->reader && (fds[0].events & POLLIN) != 0) {
        while (g_peer->ReaderEmpty() && g_peer->SendNext()) {
        }
        if (g_peer->ReaderEmpty()) {
            g_peer->Close();
        }
    }
    return __real_poll(fds, nfds, timeout);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Check(CreateConnEndKey() == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size - 2 < data[1] || size - 2 - data[1] > kStreamMax) {
        return 0;
    }
    int sv[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sv) == 0);
    Peer peer{.reader = sv[0], .writer = sv[1], .stream = data + 2 + data[1], .streamLen = size - 2 - data[1],
              .sizes = data + 2, .chunks = data[1], .closeAtEnd = (data[0] & 1) != 0};
    (void)peer.SendNext();

    // The daemon's sizes, on the heap, not zeroed: a byte past them or a missing terminator is caught.
    auto head = std::make_unique<MsgHeadInfo>();
    auto body = std::make_unique_for_overwrite<uint8_t[]>(HOST_MSG_BODY_BUF);
    (void)SetConnEndMark(nullptr);
    g_peer = &peer;
    int ret = readHostMsg(peer.reader, head.get(), body.get(), HOST_MSG_BODY_BUF);
    g_peer = nullptr;

    const char *mark = GetConnEndMark();
    bool ended = mark != nullptr && std::strcmp(mark, CONN_END_MARK) == 0;
    int queued = 0;
    Check(ioctl(peer.reader, FIONREAD, &queued) == 0);
    size_t consumed = peer.sent - static_cast<size_t>(queued);
    Check(peer.pauses <= 2 * kRetriesPerRead);

    MsgHeadInfo sentHead{};
    std::memcpy(&sentHead, peer.stream, peer.streamLen < sizeof(sentHead) ? peer.streamLen : sizeof(sentHead));
    size_t request = sizeof(MsgHeadInfo) + sentHead.bufLen;
    switch (ret) {
    case READ_HOST_MSG_OK:
        Check(!ended && consumed == request && head->bufLen <= HOST_MSG_BODY_MAX);
        Check(std::memcmp(head.get(), peer.stream, sizeof(MsgHeadInfo)) == 0);
        Check(std::memcmp(body.get(), peer.stream + sizeof(MsgHeadInfo), head->bufLen) == 0);
        Check(body[head->bufLen] == 0);
        break;
    case READ_HOST_MSG_TOO_LONG:
        // A refused body is dropped whole when it may be (the next request starts in step), else the connection ends.
        Check(std::memcmp(head.get(), peer.stream, sizeof(MsgHeadInfo)) == 0);
        Check(head->bufLen > HOST_MSG_BODY_MAX && consumed <= request);
        Check(ended == !(head->bufLen <= CLIENT_MSG_BODY_MAX && consumed == request));
        break;
    case READ_HOST_MSG_FAILED:
        // Only a stream cut short, or ten fruitless retries of one read.
        Check(ended && consumed <= request && (peer.streamLen < request || peer.pauses >= kRetriesPerRead));
        break;
    default:
        Check(false);
    }
    peer.Close();
    close(peer.reader);
    return 0;
}
