// Guests of a test's own; the story is in the header.
#include "hostile_guest.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>

#include "ortavis_upgd_msg.h"

namespace upgd_test {

RawGuest::RawGuest(guestsim::HostSim &host, const std::string &name, Serve serve)
{
    guestsim::VmOptions opts;
    opts.listen = false;
    ok_ = host.AddVm(name, opts);
    listen_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = host.ChannelPath(name);
    path.copy(addr.sun_path, sizeof(addr.sun_path) - 1);
    ok_ = ok_ && bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 && listen(listen_, 4) == 0;
    thread_ = std::thread([this, serve] {
        while (!stop_) {
            pollfd pfd{listen_, POLLIN, 0};
            if (poll(&pfd, 1, 100) == 1) {
                int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                serve(fd, stop_);
                close(fd);
            }
        }
    });
}

RawGuest::~RawGuest()
{
    stop_ = true;
    thread_.join();
    close(listen_);
}

namespace {

// Waits up to ms for the peer to go; false once it went.
bool Linger(int fd, int ms)
{
    pollfd pfd{fd, POLLIN, 0};
    char sink[4096];
    return poll(&pfd, 1, ms) == 0 || recv(fd, sink, sizeof(sink), MSG_DONTWAIT) > 0;
}

}  // namespace

void Dribble(int fd, const std::atomic<bool> &stop)
{
    const char byte = 10;
    while (!stop && send(fd, &byte, 1, MSG_NOSIGNAL) == 1 && Linger(fd, 200)) {
    }
}

void Flood(int fd, const std::atomic<bool> &stop)
{
    VmMsg msg{};
    msg.msgId = 999999;   // an answer nobody waits for
    msg.msgType = HOST_MSG_HEALTH_CHECK;
    std::string("x\n<== BYE ==>").copy(msg.module[0].checkresult, sizeof(msg.module[0].checkresult) - 1);
    // Never blocked for long in a send: a daemon that stops reading must not
    // keep the guest from ending.
    for (size_t sent = 0; !stop;) {
        pollfd pfd{fd, POLLOUT, 0};
        if (poll(&pfd, 1, 100) == 0) {
            continue;
        }
        ssize_t n = send(fd, reinterpret_cast<const char *>(&msg) + sent, sizeof(msg) - sent,
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0 && errno != EAGAIN) {
            return;
        }
        sent = (sent + static_cast<size_t>(n > 0 ? n : 0)) % sizeof(msg);
    }
}

void HalfClose(int fd, const std::atomic<bool> &stop)
{
    shutdown(fd, SHUT_WR);
    while (!stop && Linger(fd, 100)) {
    }
}

}  // namespace upgd_test
