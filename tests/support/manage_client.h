// A raw client of the real daemon's management socket: request bytes out,
// whole replies (header and body) in, and the request bodies of each type.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "fake_manage_daemon.h"
#include "ortavis_upgd_hoststate.h"
#include "ortavis_upgd_msg.h"

namespace upgd_test {

struct ManageReply {
    MsgHeadInfo head{};
    std::string body;
};

class ManageClient {
public:
    // Connects to the daemon's socket (Connected() tells whether it could).
    ManageClient();
    ~ManageClient();
    ManageClient(const ManageClient &) = delete;
    ManageClient &operator=(const ManageClient &) = delete;

    bool Connected() const { return fd_ >= 0; }
    bool Send(const std::string &bytes) const;
    // The next whole reply, or nullopt when none came within the timeout.
    std::optional<ManageReply> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Sends one request and waits for its reply.
    std::optional<ManageReply> Ask(uint64_t msgId, uint32_t msgType, const std::string &body) const;
    // True once the daemon closed the connection (end of file) within the timeout.
    bool WaitClosed(std::chrono::milliseconds timeout) const;
    void Close();
    // Ends the connection both ways, the descriptor kept: a send under way in another thread fails.
    void Shutdown() const { (void)shutdown(fd_, SHUT_RDWR); }

private:
    int fd_ = -1;
};

// Types 3 and 6: vmNameLen, vmName, action_type.
std::string ActionBody(const std::string &vm, uint32_t action);
// Type 4: vmNameLen, vmName, modNameLen, modName.
std::string QueryBody(const std::string &vm, const std::string &mod);
// Type 5: action_type, interval_time, upgrade_para_len, upgrade_para.
std::string ControlBody(int32_t action, int32_t interval, const std::string &para, int32_t paraLen = -1);
// Type 7, tagged as a host state request: the daemon (UPG_STATE_DAEMON) or the VMs after `after`.
std::string StateBody(uint32_t part, const std::string &after = "");

}  // namespace upgd_test
