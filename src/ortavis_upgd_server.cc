// Unix socket helpers for the management server and the guest channels.
//
// Addresses are always the full 110-byte sockaddr_un with the path cut to
// 107 characters, and the full size is what bind and connect are given.
// The connect wait polls the one descriptor, so it works for descriptor
// numbers of 1024 and more (the daemon holds one channel per VM).
//
// A connect never follows a symbolic link at the end of its path: whoever can
// write libvirt's run directory could otherwise point a VM's channel at the
// daemon's own management socket or at another VM's channel. The path is
// opened as a bare reference (O_PATH|O_NOFOLLOW, which names a link itself
// rather than its target), checked to be a socket, and connected to through
// /proc/self/fd/N, which reaches exactly the inode that was checked.
#include "ortavis_upgd_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_securec.h"

namespace {

constexpr int kListenBacklog = 5;
constexpr int kConnectWaitMs = 2000;

int FillAddress(sockaddr_un &addr, const char *path)
{
    (void)memset_s(&addr, sizeof(addr), 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (strncpy_s(addr.sun_path, sizeof(addr.sun_path), path, sizeof(addr.sun_path) - 1) != 0) {
        UPG_LOG("strncpy_s sun_path failed");
        return -1;
    }
    return 0;
}

// Waits for a non-blocking connect in progress. 0 once connected, -1 otherwise.
int waitConnectReady(int fd)
{
    pollfd pfd{fd, POLLIN | POLLOUT, 0};
    int ret;
    do {
        ret = poll(&pfd, 1, kConnectWaitMs);
    } while (ret < 0 && errno == EINTR);
    if (ret < 0) {
        UPG_LOG("waitConnectReady select failed ");
        return -1;
    }
    if (ret == 0) {
        UPG_LOG("FD_ISSET failed");
        return -1;
    }
    // Readable (or in error) at the end of the wait counts as a failed connect.
    if (pfd.revents & (POLLIN | POLLERR | POLLHUP)) {
        return -1;
    }
    return (pfd.revents & POLLOUT) ? 0 : -1;
}

// Points addr at the socket whose path it holds, through `ref`, a reference
// to that path opened without following a final link. -1 with errno set
// (ELOOP for a link, ENOTSOCK for anything else that is not a socket).
int PinSocketPath(sockaddr_un &addr, UniqueFd &ref)
{
    ref.Reset(open(addr.sun_path, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!ref.Valid() || fstat(ref.Get(), &st) != 0) {
        return -1;
    }
    if (!S_ISSOCK(st.st_mode)) {
        errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTSOCK;
        return -1;
    }
    return snprintf_s(addr.sun_path, sizeof(addr.sun_path), sizeof(addr.sun_path) - 1, "/proc/self/fd/%d",
                      ref.Get()) < 0 ? -1 : 0;
}

}  // namespace

int SetFdNonBlock(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        UPG_LOG("fcntl F_GETFL failed");
        return -1;
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        UPG_LOG("fcntl F_SETFL failed");
        return -1;
    }
    return 0;
}

int CreateServerSocket(const char *path, void (*prepare)(const char *path))
{
    (void)unlink(path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        UPG_LOG("socket failed");
        return -1;
    }
    sockaddr_un addr;
    if (SetFdNonBlock(fd) != 0) {
        UPG_LOG("set fd nonblock failed , path : %s", path);
    } else if (FillAddress(addr, path) != 0) {
    } else if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        UPG_LOG("bind failed");
    } else {
        if (prepare != nullptr) {
            prepare(path);
        }
        if (listen(fd, kListenBacklog) == 0) {
            return fd;
        }
        UPG_LOG("listen failed");
    }
    close(fd);
    return -1;
}

int ConnectUnixSocket(const char *path, int *failCount)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        UPG_LOG("socket failed.");
        return -1;
    }
    sockaddr_un addr;
    UniqueFd pinned;
    bool report = true;
    if (SetFdNonBlock(fd) != 0) {
        UPG_LOG("set nonblock failed , path : %s", path);
        report = false;
    } else if (FillAddress(addr, path) != 0) {
        report = false;
    } else if (PinSocketPath(addr, pinned) != 0) {
        // a link, a missing path or no socket: a failed attempt like a refusal
    } else if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) {
        return fd;
    } else if (errno == 0) {
        report = false;
    } else if (errno == EINPROGRESS && waitConnectReady(fd) == 0) {
        return fd;
    }
    if (report && *failCount <= CONNECT_REPORT_LIMIT) {
        UPG_LOG("connect '%s' failed.", path);
    }
    close(fd);
    ++*failCount;
    return -1;
}
