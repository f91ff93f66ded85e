// Drives the daemon's request reader, ReadHostRequest, on a socket pair.
// Input: 1 byte of flags (bit 0: the peer closes after its last byte; the other
// bits are not read), 1 byte n, n chunk sizes, then the stream: the n chunks,
// the rest as one more. The peer sends a chunk, the reader reads what is
// there, and so on until the reader has a whole request, gives up, or waits
// for bytes that will never come.
// Checked: a whole request is the stream's first bytes, nothing past the
// request is read, a refused body is dropped whole or ends the connection, and
// an end is only a stream cut short by its peer.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "ortavis_upgd_message.h"

namespace {

constexpr size_t kStreamMax = 4096;   // the whole stream always fits the socket's buffer

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2 || size - 2 < data[1] || size - 2 - data[1] > kStreamMax) {
        return 0;
    }
    const bool closeAtEnd = (data[0] & 1) != 0;
    const size_t chunks = data[1];
    const uint8_t *sizes = data + 2;
    const uint8_t *stream = data + 2 + chunks;
    const size_t streamLen = size - 2 - chunks;
    int sv[2];
    Check(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);

    // The daemon's sizes, on the heap, not zeroed: a byte past them or a missing terminator is caught.
    auto reader = std::make_unique<HostRequestReader>();
    auto req = std::make_unique_for_overwrite<HostRequest>();
    size_t sent = 0;
    ReadStep step = ReadStep::kMore;
    for (size_t next = 0; step == ReadStep::kMore && next <= chunks; ++next) {
        size_t left = streamLen - sent;
        size_t len = next < chunks && sizes[next] < left ? sizes[next] : left;
        Check(len == 0 || write(sv[1], stream + sent, len) == static_cast<ssize_t>(len));
        sent += len;
        if (next == chunks && closeAtEnd) {
            close(sv[1]);
            sv[1] = -1;
        }
        step = ReadHostRequest(sv[0], *reader, req.get());
    }
    int queued = 0;
    Check(ioctl(sv[0], FIONREAD, &queued) == 0);
    size_t consumed = sent - static_cast<size_t>(queued);

    MsgHeadInfo sentHead{};
    std::memcpy(&sentHead, stream, streamLen < sizeof(sentHead) ? streamLen : sizeof(sentHead));
    size_t request = sizeof(MsgHeadInfo) + sentHead.bufLen;
    switch (step) {
    case ReadStep::kWhole:
        Check(std::memcmp(&req->head, stream, sizeof(MsgHeadInfo)) == 0);
        if (req->code == READ_HOST_MSG_OK) {
            Check(consumed == request && req->head.bufLen <= HOST_MSG_BODY_MAX && !req->endsConnection);
            Check(std::memcmp(req->body, stream + sizeof(MsgHeadInfo), req->head.bufLen) == 0);
            Check(req->body[req->head.bufLen] == 0);
        } else {
            // A refused body is dropped whole when it may be (the next request starts in step), else the connection ends.
            Check(req->code == READ_HOST_MSG_TOO_LONG && req->head.bufLen > HOST_MSG_BODY_MAX);
            Check(req->endsConnection ? req->head.bufLen > CLIENT_MSG_BODY_MAX && consumed == sizeof(MsgHeadInfo)
                                      : consumed == request);
        }
        break;
    case ReadStep::kEnd:
        // Only a stream cut short by its peer.
        Check(closeAtEnd && consumed == sent && streamLen < request);
        break;
    case ReadStep::kMore:
        // Waits only for bytes still to come.
        Check(!closeAtEnd && consumed == sent && streamLen < request);
        break;
    }
    if (sv[1] >= 0) {
        close(sv[1]);
    }
    close(sv[0]);
    return 0;
}
