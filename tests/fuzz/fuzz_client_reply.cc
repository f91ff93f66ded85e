// Arbitrary bytes as the daemon's side of the management socket, read by the
// client library's two reply waits. Input: 8 bytes of the request identifier
// the wait looks for, 1 byte choosing the wait (text or control), then the
// stream. The writing end is closed before the wait, so every wait ends on
// the stream's own bytes and never on a time-out.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "ortavis_upgclient_internal.h"
#include "unix_socket.h"

namespace {
constexpr size_t kStreamMax = 32768;   // fits a socket pair's buffer whole
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 9 || size - 9 > kStreamMax) {
        return 0;
    }
    uint64_t msgId = 0;
    std::memcpy(&msgId, data, sizeof(msgId));
    bool control = (data[8] & 1) != 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        return 0;
    }
    bool written = simhost::SendAll(sv[1], data + 9, size - 9);
    close(sv[1]);
    if (written) {
        if (control) {
            int result = -2;
            upgclient::WaitStatus st = upgclient::WaitControlReply(sv[0], msgId, &result);
            Check(st == upgclient::WaitStatus::kAnswered ? result >= -1 : result == -1);
        } else {
            char *body = reinterpret_cast<char *>(1);
            upgclient::WaitStatus st = upgclient::WaitTextReply(sv[0], msgId, &body);
            Check(body == nullptr || (st == upgclient::WaitStatus::kAnswered && strnlen(body, 969) <= 968));
            std::free(body);
        }
    }
    close(sv[0]);
    return 0;
}
