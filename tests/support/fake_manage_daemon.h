// A scripted stand-in for the daemon's side of the management socket, for
// tests of the client library and of ortavis-upgctl. It binds the real path
// (so it needs the sandbox's private /run), accepts any number of clients,
// reads each request whole (56-byte header, then bufLen body bytes) and hands
// it to the test's script, which answers with whatever bytes it likes: right
// replies, stale ones, lying headers, half bodies, or nothing at all.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// The support library is built without the daemon's include path.
#include "ortavis_upgd_msg.h"

namespace upgd_test {

inline constexpr const char *kManageSocket = "/var/run/upgraded_manage";

// One request as it came off the wire.
struct ManageRequest {
    MsgHeadInfo head{};
    std::string body;
    std::string raw;      // header and body bytes exactly as received
    int session = 0;      // 1 for the first connection accepted, and so on
};

// The bytes of a message: header (reserved bytes zero) then body; bufLen is
// the body's length unless given.
std::string ManageMessage(uint64_t msgId, uint32_t msgType, int32_t result, std::string_view body,
                          int64_t bufLen = -1);

class FakeManageDaemon {
public:
    // The script's side of one connection, valid while the script runs.
    class Session {
    public:
        bool Send(std::string_view bytes);
        // The request's msgId and msgType, with result and body.
        bool Reply(const ManageRequest &req, int32_t result, std::string_view body = {});
        // Ends the connection once the script returns.
        void Close() { closing_ = true; }
        // Bytes that have arrived and not yet been read.
        int Pending() const;

    private:
        friend class FakeManageDaemon;
        explicit Session(int fd) : fd_(fd) {}
        int fd_;
        bool closing_ = false;
    };
    using Script = std::function<void(Session &, const ManageRequest &)>;

    // Listens at kManageSocket (a test fails at its first connect when it can't).
    explicit FakeManageDaemon(Script script);
    ~FakeManageDaemon();
    FakeManageDaemon(const FakeManageDaemon &) = delete;
    FakeManageDaemon &operator=(const FakeManageDaemon &) = delete;

    std::vector<ManageRequest> Requests() const;

private:
    void AcceptLoop();
    void Serve(int fd, int session);

    Script script_;
    int listenFd_ = -1;
    mutable std::mutex mu_;
    std::vector<ManageRequest> requests_;
    std::vector<int> connFds_;
    std::vector<std::thread> sessions_;
    std::thread acceptor_;
};

}  // namespace upgd_test
