// The reply side of the client library, on a bare descriptor: the two ways
// of waiting for the reply of one request. The library's entry points call
// these under the handle's lock; the fuzz target feeds them arbitrary byte
// streams. Not installed; not part of the library's C interface.
#pragma once

#include <cstdint>

#include "ortavis_upgclient.h"

namespace upgclient {

inline constexpr int kReplyAttempts = 10;     // polls per wait, unless the handle's timeout says otherwise
inline constexpr int kReplyPollMs = 1000;     // each poll
inline constexpr int kReplyReadMs = 1000;     // a reply, once its first bytes came, is whole within this
inline constexpr uint32_t kDiscardMax = 65536;  // a longer body is not a reply of this protocol

enum class WaitStatus {
    kAnswered,   // the request's reply was read; the stream is in step
    kTimedOut,   // no acceptable reply within the attempts; the stream is in step
    kBroken,     // a reply was cut off or is not one of ours: the stream is out of step
};

// Waits for the reply to text request `msgId` (types 3, 4 and 6). Replies with
// another identifier, or a body over 968 bytes, are consumed and dropped.
// On kAnswered *body is the body as a NUL-terminated text that the caller
// frees with free(), or null when the body was empty.
// *bodyLen, when given, is the body's length (its bytes may hold NULs).
WaitStatus WaitTextReply(int fd, uint64_t msgId, char **body, int *result = nullptr,
                         int attempts = kReplyAttempts, uint32_t *bodyLen = nullptr);

// Waits for the reply to control request `msgId` (type 5); a reply with
// identifier 0 counts as well. On kAnswered *result is the daemon's result,
// or -1 when the reply carried another message type.
WaitStatus WaitControlReply(int fd, uint64_t msgId, int *result, int attempts = kReplyAttempts);

}  // namespace upgclient
