// Deadlines on the monotonic clock, shared by the daemon and the client
// library: every wait on a peer is bounded by one of them.
#pragma once

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <cstdint>

// Milliseconds of the monotonic clock.
inline int64_t MonotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Seconds of the monotonic clock: the stamp of every deadline and age the
// daemon measures, which a step of the wall clock leaves alone.
inline int64_t MonotonicSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec);
}

// Waits until fd reports one of `events`, a hang-up or an error (the next
// transfer tells which) before the deadline; a deadline already passed still
// gets one look. False on the deadline (errno ETIMEDOUT) or a failed poll.
inline bool PollBefore(int fd, short events, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - MonotonicMs();
        pollfd pfd{fd, events, 0};
        int rc = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (rc > 0) {
            return true;
        }
        if (rc == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}
