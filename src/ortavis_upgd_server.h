// Unix socket helpers. Every socket of the daemon is a local stream socket in
// non-blocking mode: the management server's listening socket and the
// connections to the VMs' guest channels.
#pragma once

// Sets O_NONBLOCK. 0, or -1 after a log line.
int SetFdNonBlock(int fd);

// A listening, non-blocking socket bound to path (a stale socket file there
// is removed first; a path over 107 characters is bound under its first 107).
// prepare, when given, runs on the bound path before the socket listens, so
// a client that can connect finds the file as prepare left it.
// The socket, or -1.
int CreateServerSocket(const char *path, void (*prepare)(const char *path) = nullptr);

// Failed connects counted in a caller's counter are logged while it is at
// most this.
inline constexpr int CONNECT_REPORT_LIMIT = 9;

// Connects to the listening socket at path, waiting at most 2 seconds.
// A path whose last component is a symbolic link, or anything but a socket,
// is never connected to (a failed attempt). A connected, non-blocking
// socket, or -1. Each failed attempt adds 1 to
// *failCount and is logged only while *failCount is 9 or less, so a counter
// that is never reset reports only the first 10 failures.
int ConnectUnixSocket(const char *path, int *failCount);
