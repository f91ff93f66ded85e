// Socket helpers of the simulated host and the tests; the contracts are in
// the header.
#include "unix_socket.h"

#include <poll.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simhost {

namespace {

sockaddr_un UnixAddress(const std::string &path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    return addr;
}

}  // namespace

int BindUnix(const std::string &path, int type, int backlog)
{
    unlink(path.c_str());
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_un addr = UnixAddress(path);
    bool stream = (type & SOCK_STREAM) == SOCK_STREAM && (type & SOCK_DGRAM) != SOCK_DGRAM;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        (stream && backlog >= 0 && listen(fd, backlog) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int ConnectUnix(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = UnixAddress(path);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const void *data, size_t len)
{
    const auto *p = static_cast<const char *>(data);
    size_t done = 0;
    while (done < len) {
        ssize_t n = send(fd, p + done, len - done, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd pfd{fd, POLLOUT, 0};
            (void)poll(&pfd, 1, 100);
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool RecvAll(int fd, void *buf, size_t len, std::chrono::steady_clock::time_point deadline)
{
    auto *p = static_cast<char *>(buf);
    for (size_t got = 0; got < len;) {
        int waitMs = -1;
        if (deadline != std::chrono::steady_clock::time_point::max()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            waitMs = static_cast<int>(left.count());
        }
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, waitMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        ssize_t n = ready == 1 ? read(fd, p + got, len - got) : 0;
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace simhost
