#include "fake_manage_daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include "unix_socket.h"

namespace upgd_test {

namespace {

// A request body longer than this is not something a client sends; the
// connection is dropped rather than read on.
constexpr uint32_t kBodyReadMax = 4096;

}  // namespace

std::string ManageMessage(uint64_t msgId, uint32_t msgType, int32_t result, std::string_view body,
                          uint32_t bufLen)
{
    MsgHeadInfo head{};
    head.msgId = msgId;
    head.msgType = msgType;
    head.bufLen = bufLen;
    head.result = result;
    std::string bytes(reinterpret_cast<const char *>(&head), sizeof(head));
    bytes.append(body);
    return bytes;
}

std::string ManageMessage(uint64_t msgId, uint32_t msgType, int32_t result, std::string_view body)
{
    return ManageMessage(msgId, msgType, result, body, static_cast<uint32_t>(body.size()));
}

bool FakeManageDaemon::Session::Send(std::string_view bytes)
{
    return simhost::SendAll(fd_, bytes.data(), bytes.size());
}

bool FakeManageDaemon::Session::Reply(const ManageRequest &req, int32_t result, std::string_view body)
{
    return Send(ManageMessage(req.head.msgId, req.head.msgType, result, body));
}

int FakeManageDaemon::Session::Pending() const
{
    int n = 0;
    return ioctl(fd_, FIONREAD, &n) == 0 ? n : -1;
}

FakeManageDaemon::FakeManageDaemon(Script script, std::string path)
    : script_(std::move(script)), path_(std::move(path))
{
    if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
        return;
    }
    int fd = simhost::BindUnix(path_, SOCK_STREAM, 16);
    if (fd < 0) {
        return;
    }
    listenFd_ = fd;
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

FakeManageDaemon::~FakeManageDaemon()
{
    if (stopPipe_[1] >= 0) {
        char c = 0;
        (void)!write(stopPipe_[1], &c, 1);
    }
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    std::vector<std::thread> sessions;
    {
        std::lock_guard<std::mutex> lock(mu_);
        sessions.swap(sessions_);
    }
    for (std::thread &t : sessions) {
        t.join();
    }
    for (int fd : connFds_) {
        close(fd);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(path_.c_str());
    }
    for (int fd : stopPipe_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void FakeManageDaemon::AcceptLoop()
{
    int session = 0;
    for (;;) {
        pollfd pfd[2] = {{listenFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pfd[1].revents != 0) {
            return;
        }
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> lock(mu_);
        connFds_.push_back(fd);
        ++session;
        sessions_.emplace_back([this, fd, session] { Serve(fd, session); });
    }
}

bool FakeManageDaemon::ReadFull(int fd, void *buf, size_t len) const
{
    auto *p = static_cast<char *>(buf);
    size_t got = 0;
    while (got < len) {
        pollfd pfd[2] = {{fd, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (pfd[1].revents != 0) {
            return false;
        }
        ssize_t n = read(fd, p + got, len - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

void FakeManageDaemon::Serve(int fd, int session)
{
    Session s(fd);
    for (;;) {
        ManageRequest req;
        req.session = session;
        if (!ReadFull(fd, &req.head, sizeof(req.head)) || req.head.bufLen > kBodyReadMax) {
            break;
        }
        req.body.resize(req.head.bufLen);
        if (!ReadFull(fd, req.body.data(), req.body.size())) {
            break;
        }
        req.raw.assign(reinterpret_cast<const char *>(&req.head), sizeof(req.head));
        req.raw += req.body;
        {
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(req);
            cv_.notify_all();
        }
        script_(s, req);
        if (s.closing_) {
            break;
        }
    }
    // The descriptor stays open until the daemon goes, so a number reused by
    // the test is never closed under it; shutting it down tells the client.
    shutdown(fd, SHUT_RDWR);
}

std::vector<ManageRequest> FakeManageDaemon::Requests() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

size_t FakeManageDaemon::RequestCount() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return requests_.size();
}

bool FakeManageDaemon::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

}  // namespace upgd_test
