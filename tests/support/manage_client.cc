#include "manage_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "fake_manage_daemon.h"
#include "unix_socket.h"

namespace upgd_test {

namespace {

template <typename T>
void Put(std::string &out, T value)
{
    out.append(reinterpret_cast<const char *>(&value), sizeof(value));
}

}  // namespace

ManageClient::ManageClient() : fd_(simhost::ConnectUnix(kManageSocket)) {}

ManageClient::~ManageClient()
{
    Close();
}

void ManageClient::Close()
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

bool ManageClient::Send(const std::string &bytes) const
{
    return fd_ >= 0 && simhost::SendAll(fd_, bytes.data(), bytes.size());
}

std::optional<ManageReply> ManageClient::Receive(std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    ManageReply reply;
    if (fd_ < 0 || !simhost::RecvAll(fd_, &reply.head, sizeof(reply.head), deadline) ||
        reply.head.bufLen > HOST_MSG_BODY_MAX) {
        return std::nullopt;
    }
    reply.body.resize(reply.head.bufLen);
    if (!simhost::RecvAll(fd_, reply.body.data(), reply.body.size(), deadline)) {
        return std::nullopt;
    }
    return reply;
}

bool ManageClient::WaitClosed(std::chrono::milliseconds timeout) const
{
    pollfd pfd{fd_, POLLIN, 0};
    char c;
    return fd_ >= 0 && poll(&pfd, 1, static_cast<int>(timeout.count())) == 1 && recv(fd_, &c, 1, MSG_PEEK) == 0;
}

std::optional<ManageReply> ManageClient::Ask(uint64_t msgId, uint32_t msgType, const std::string &body) const
{
    return Send(ManageMessage(msgId, msgType, 0, body)) ? Receive() : std::nullopt;
}

std::string ActionBody(const std::string &vm, uint32_t action)
{
    std::string out;
    Put(out, static_cast<int32_t>(vm.size()));
    out += vm;
    Put(out, action);
    return out;
}

std::string QueryBody(const std::string &vm, const std::string &mod)
{
    std::string out;
    Put(out, static_cast<int32_t>(vm.size()));
    out += vm;
    Put(out, static_cast<int32_t>(mod.size()));
    return out + mod;
}

std::string ControlBody(int32_t action, int32_t interval, const std::string &para, int32_t paraLen)
{
    std::string out;
    Put(out, action);
    Put(out, interval);
    Put(out, paraLen >= 0 ? paraLen : static_cast<int32_t>(para.size()));
    return out + para;
}

std::string StateBody(uint32_t part, const std::string &after)
{
    UpgStateRequest req{};
    std::memcpy(req.tag, UPG_TAG_HOST_STATE, sizeof(req.tag));
    req.part = part;
    req.afterLen = static_cast<uint8_t>(after.size());
    return std::string(reinterpret_cast<const char *>(&req), sizeof(req)) + after;
}

}  // namespace upgd_test
