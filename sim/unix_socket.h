// Socket helpers of the simulated host and the tests: the peers of the daemon's
// sockets (log collector, fake management daemon, simulated guest channels).
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <string>

namespace simhost {

// A socket of `type` (SOCK_STREAM or SOCK_DGRAM, flags may be or'ed in)
// bound at path, a stale file there removed first; a stream socket also
// listens with `backlog` (a negative backlog: bound only). The descriptor,
// or -1.
int BindUnix(const std::string &path, int type, int backlog = 8);

// A stream socket connected to the one listening at path; -1 when none does.
int ConnectUnix(const std::string &path);

// Writes all of data, waiting on a full non-blocking socket and repeating
// interrupted sends; never raises SIGPIPE. False when the peer is gone.
bool SendAll(int fd, const void *data, size_t len);

// Reads exactly len bytes, repeating short and interrupted reads; false when
// the peer closed first or the deadline passed.
bool RecvAll(int fd, void *buf, size_t len,
             std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());

}  // namespace simhost
