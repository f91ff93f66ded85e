#include "fake_manage_daemon.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "unix_socket.h"

namespace upgd_test {

namespace {

// A request body longer than this is not something a client sends; the
// connection is dropped rather than read on.
constexpr uint32_t kBodyReadMax = 4096;

}  // namespace

std::string ManageMessage(uint64_t msgId, uint32_t msgType, int32_t result, std::string_view body, int64_t bufLen)
{
    uint32_t len = static_cast<uint32_t>(bufLen >= 0 ? bufLen : static_cast<int64_t>(body.size()));
    MsgHeadInfo head{.msgId = msgId, .msgType = msgType, .bufLen = len, .result = result, .reserved = {}};
    std::string bytes(reinterpret_cast<const char *>(&head), sizeof(head));
    bytes.append(body);
    return bytes;
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

FakeManageDaemon::FakeManageDaemon(Script script) : script_(std::move(script))
{
    listenFd_ = simhost::BindUnix(kManageSocket, SOCK_STREAM, 16);
    if (listenFd_ >= 0) {
        acceptor_ = std::thread([this] { AcceptLoop(); });
    }
}

// Shutting a socket down wakes the thread waiting on it: the acceptor in
// accept, a session in its read of the next request.
FakeManageDaemon::~FakeManageDaemon()
{
    if (listenFd_ < 0) {
        return;
    }
    shutdown(listenFd_, SHUT_RDWR);
    acceptor_.join();
    for (int fd : connFds_) {
        shutdown(fd, SHUT_RDWR);
    }
    for (size_t i = 0; i < sessions_.size(); ++i) {
        sessions_[i].join();
        close(connFds_[i]);
    }
    close(listenFd_);
    unlink(kManageSocket);
}

void FakeManageDaemon::AcceptLoop()
{
    for (int session = 1;; ++session) {
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;   // shut down
        }
        std::lock_guard<std::mutex> lock(mu_);
        connFds_.push_back(fd);
        sessions_.emplace_back([this, fd, session] { Serve(fd, session); });
    }
}

void FakeManageDaemon::Serve(int fd, int session)
{
    Session s(fd);
    for (;;) {
        ManageRequest req;
        req.session = session;
        if (!simhost::RecvAll(fd, &req.head, sizeof(req.head)) || req.head.bufLen > kBodyReadMax) {
            break;
        }
        req.body.resize(req.head.bufLen);
        if (!simhost::RecvAll(fd, req.body.data(), req.body.size())) {
            break;
        }
        req.raw.assign(reinterpret_cast<const char *>(&req.head), sizeof(req.head));
        req.raw += req.body;
        {
            std::lock_guard<std::mutex> lock(mu_);
            requests_.push_back(req);
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

}  // namespace upgd_test
