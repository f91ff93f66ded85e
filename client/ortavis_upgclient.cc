// The management client library: a connection to "/var/run/upgraded_manage"
// and the four requests that carry parameters (health check 3, upgrade result
// 4, upgrade control 5, automatic-upgrade control 6).
//
// A request is built in a zeroed 1024-byte buffer (56-byte header, body of at
// most 968 bytes), stamped with the time in microseconds as its identifier,
// sent whole, and answered by the first reply that carries that identifier
// within ten polls of one second. Replies for other identifiers (late answers
// to requests that gave up) are read whole and dropped, so the stream stays in
// step. The only things that put it out of step are a reply cut off mid-way
// (the peer closed, or stalled for longer than a second inside one message),
// a reply claiming a body no reply of this protocol has, and a request sent in
// part; the handle is then marked failed and every later request fails at
// once instead of reading the rest of a message as the next reply.
//
// Threads: any number may share a handle. `lock` is held by one request from
// before its send to the end of its wait; it guards `failed` and `lastMsgId`.
// `fd` is fixed from connect to close.
#include "ortavis_upgclient.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "ortavis_upgclient_internal.h"
#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_tsa.h"

namespace {

constexpr const char *kManagePath = UPGD_MANAGE_SOCKET;
constexpr int kConnectWaitMs = 2000;
constexpr long kConnectRetryNs = 5L * 1000 * 1000;
constexpr int kSendMs = 1000;               // a request of at most 1024 bytes goes out within this
constexpr size_t kRequestBufSize = 1024;
constexpr size_t kVmNameCheckMax = VM_NAME_MAX;
constexpr size_t kModNameCheckMax = MOD_NAME_MAX;
constexpr int kControlTooLong = HOST_RESULT_TOO_LONG;
constexpr int kControlBadParam = HOST_RESULT_BAD_PARAM;
constexpr int kTimeoutMaxSeconds = 3600;

static_assert(sizeof(MsgHeadInfo) + CLIENT_MSG_BODY_MAX == kRequestBufSize);

// A default pthread mutex whose lock and destruction report failure.
class CAPABILITY("mutex") ClientMutex {
public:
    ClientMutex() = default;
    ~ClientMutex()
    {
        if (live_) {
            pthread_mutex_destroy(&mu_);
        }
    }
    ClientMutex(const ClientMutex &) = delete;
    ClientMutex &operator=(const ClientMutex &) = delete;

    bool Init()
    {
        live_ = pthread_mutex_init(&mu_, nullptr) == 0;
        return live_;
    }
    bool Destroy()
    {
        if (!live_) {
            return false;
        }
        live_ = false;
        return pthread_mutex_destroy(&mu_) == 0;
    }
    bool Lock() { return pthread_mutex_lock(&mu_) == 0; }
    void Unlock() { pthread_mutex_unlock(&mu_); }

private:
    pthread_mutex_t mu_;
    bool live_ = false;
};

// Holds a ClientMutex for a scope; Held() is false when taking it failed, and
// the caller must then leave without touching what it guards.
class SCOPED_CAPABILITY LockGuard {
public:
    explicit LockGuard(ClientMutex &mu) ACQUIRE(mu) : mu_(mu), held_(mu.Lock()) {}
    ~LockGuard() RELEASE()
    {
        if (held_) {
            mu_.Unlock();
        }
    }
    LockGuard(const LockGuard &) = delete;
    LockGuard &operator=(const LockGuard &) = delete;
    bool Held() const { return held_; }

private:
    ClientMutex &mu_;
    bool held_;
};


using CharBuf = MallocText;

// Reads exactly len bytes before the deadline. False on end of stream, error
// or time-out; the bytes read so far are consumed either way.
bool ReadExact(int fd, void *buf, size_t len, int64_t deadline)
{
    auto *p = static_cast<char *>(buf);
    size_t got = 0;
    while (got < len) {
        ssize_t n = recv(fd, p + got, len - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !PollBefore(fd, POLLIN, deadline)) {
            return false;
        }
    }
    return true;
}

bool Discard(int fd, size_t len, int64_t deadline)
{
    std::array<char, 1024> sink;
    while (len > 0) {
        size_t chunk = len < sink.size() ? len : sink.size();
        if (!ReadExact(fd, sink.data(), chunk, deadline)) {
            return false;
        }
        len -= chunk;
    }
    return true;
}

// Writes exactly len bytes before the deadline; *sent tells how many went out.
// The peer going away is a failed write, never a SIGPIPE for the caller.
bool WriteExact(int fd, const void *buf, size_t len, int64_t deadline, size_t *sent)
{
    const auto *p = static_cast<const char *>(buf);
    *sent = 0;
    while (*sent < len) {
        ssize_t n = send(fd, p + *sent, len - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            *sent += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !PollBefore(fd, POLLOUT, deadline)) {
            return false;
        }
    }
    return true;
}

struct Reply {
    MsgHeadInfo head{};
    CharBuf body;   // set only when the body was kept
};

// Reads one whole reply. Its body is kept (NUL-terminated, in bufLen + 1
// zeroed bytes) only when keepBody is set, the identifier is keepId and bufLen
// is at most 968; any other body is read and dropped in bounded chunks, never
// allocated from its length. False when the stream is out of step.
bool ReadReply(int fd, uint64_t keepId, bool keepBody, Reply *out)
{
    int64_t deadline = MonotonicMs() + upgclient::kReplyReadMs;
    if (!ReadExact(fd, &out->head, sizeof(out->head), deadline)) {
        return false;
    }
    uint32_t len = out->head.bufLen;
    if (len > upgclient::kDiscardMax) {
        return false;
    }
    if (keepBody && out->head.msgId == keepId && len <= CLIENT_MSG_BODY_MAX) {
        out->body.reset(static_cast<char *>(std::calloc(len + 1, 1)));
        if (out->body) {
            return ReadExact(fd, out->body.get(), len, deadline);
        }
    }
    return Discard(fd, len, deadline);
}

// One poll of an attempt. False on time-out or error.
bool PollReply(int fd)
{
    return PollBefore(fd, POLLIN, MonotonicMs() + upgclient::kReplyPollMs);
}

// A request under construction: the header's place, then the body.
class RequestBuffer {
public:
    bool PutU32(uint32_t v) { return Put(&v, sizeof(v)); }
    bool PutI32(int32_t v) { return Put(&v, sizeof(v)); }
    bool Put(const void *data, size_t len)
    {
        if (len > bytes_.size() - used_) {
            return false;
        }
        std::memcpy(bytes_.data() + used_, data, len);
        used_ += len;
        return true;
    }
    void Seal(uint64_t msgId, uint32_t msgType)
    {
        MsgHeadInfo head{};
        head.msgId = msgId;
        head.msgType = msgType;
        head.bufLen = static_cast<uint32_t>(used_ - sizeof(MsgHeadInfo));
        head.result = 0;
        std::memcpy(bytes_.data(), &head, sizeof(head));
    }
    const uint8_t *Data() const { return bytes_.data(); }
    size_t Size() const { return used_; }

private:
    std::array<uint8_t, kRequestBufSize> bytes_{};
    size_t used_ = sizeof(MsgHeadInfo);
};

// Length of s when it is at most max characters, else max + 1.
size_t BoundedLen(const char *s, size_t max)
{
    return strnlen(s, max + 1);
}

}  // namespace

struct UpgClientHandle {
    int fd = -1;
    ClientMutex lock;
    bool failed GUARDED_BY(lock) = false;
    uint64_t lastMsgId GUARDED_BY(lock) = 0;
    int replyAttempts GUARDED_BY(lock) = upgclient::kReplyAttempts;   // polls of one second
};

namespace upgclient {

WaitStatus WaitTextReply(int fd, uint64_t msgId, char **body, int *result, int attempts, uint32_t *bodyLen)
{
    *body = nullptr;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (!PollReply(fd)) {
            continue;
        }
        Reply reply;
        if (!ReadReply(fd, msgId, true, &reply)) {
            return WaitStatus::kBroken;
        }
        if (reply.head.msgId != msgId || reply.head.bufLen > CLIENT_MSG_BODY_MAX) {
            continue;
        }
        if (reply.head.bufLen > 0) {
            *body = reply.body.release();   // null when it could not be allocated
        }
        if (result != nullptr) {
            *result = reply.head.result;
        }
        if (bodyLen != nullptr) {
            *bodyLen = *body != nullptr ? reply.head.bufLen : 0;
        }
        return WaitStatus::kAnswered;
    }
    return WaitStatus::kTimedOut;
}

WaitStatus WaitControlReply(int fd, uint64_t msgId, int *result, int attempts)
{
    *result = -1;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (!PollReply(fd)) {
            continue;
        }
        // Control replies carry no body, but a late reply to a text request
        // may come first; its body is consumed with it.
        Reply reply;
        if (!ReadReply(fd, msgId, false, &reply)) {
            return WaitStatus::kBroken;
        }
        if (reply.head.msgId != msgId && reply.head.msgId != 0) {
            continue;
        }
        if (reply.head.msgType != UPG_START_UPGRADE_MSG) {
            return WaitStatus::kAnswered;
        }
        if (reply.head.result >= -1) {
            *result = reply.head.result;
            return WaitStatus::kAnswered;
        }
    }
    return WaitStatus::kTimedOut;
}

}  // namespace upgclient

namespace {

// Stamps and sends a request. A request that went out in part leaves the
// daemon reading our next request as its rest, so the handle is failed.
bool SendRequest(UpgClientHandle *h, uint32_t msgType, RequestBuffer *req, uint64_t *msgId)
    REQUIRES(h->lock)
{
    timeval tv{};
    if (gettimeofday(&tv, nullptr) != 0) {
        return false;
    }
    uint64_t id = static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
    // Two requests in one microsecond, or a clock stepped back, must still
    // get distinct identifiers: a late reply would otherwise match.
    if (id <= h->lastMsgId) {
        id = h->lastMsgId + 1;
    }
    h->lastMsgId = id;
    req->Seal(id, msgType);
    size_t sent = 0;
    if (!WriteExact(h->fd, req->Data(), req->Size(), MonotonicMs() + kSendMs, &sent)) {
        if (sent > 0) {
            h->failed = true;
        }
        return false;
    }
    *msgId = id;
    return true;
}

// Sends a text request and waits for its reply: the daemon's result, with
// *text the body (null when empty); -1 with errno set when no reply came
// (ETIMEDOUT), the stream broke (EPROTO) or the handle is failed (EPIPE).
int TextRequest(UpgClientHandle *h, uint32_t msgType, RequestBuffer *req, char **text, uint32_t *len = nullptr)
{
    *text = nullptr;
    LockGuard guard(h->lock);
    if (!guard.Held() || h->failed) {
        errno = EPIPE;
        return -1;
    }
    uint64_t id = 0;
    if (!SendRequest(h, msgType, req, &id)) {
        return -1;
    }
    int result = -1;
    switch (upgclient::WaitTextReply(h->fd, id, text, &result, h->replyAttempts, len)) {
    case upgclient::WaitStatus::kAnswered:
        return result;
    case upgclient::WaitStatus::kBroken:
        h->failed = true;
        errno = EPROTO;
        return -1;
    case upgclient::WaitStatus::kTimedOut:
        break;
    }
    errno = ETIMEDOUT;
    return -1;
}

// The body of a text request after the argument checks: type 3 and 6 carry
// vmNameLen, vmName, value; type 4 vmNameLen, vmName, modNameLen, modName.
bool BuildTextRequest(int msgType, const char *vmName, const char *modName, int value, RequestBuffer *req)
{
    if (vmName == nullptr) {
        return false;
    }
    size_t vmNameLen = BoundedLen(vmName, kVmNameCheckMax);
    if (vmNameLen == 0 || vmNameLen > kVmNameCheckMax || !req->PutI32(static_cast<int32_t>(vmNameLen)) ||
        !req->Put(vmName, vmNameLen)) {
        return false;
    }
    switch (msgType) {
    case UPG_MSG_HEALTH_CHECK:
        return (value == UPG_CHECK_HEALTH || value == UPG_CHECK_FIX_CHANNEL) &&
               req->PutU32(static_cast<uint32_t>(value));
    case UPG_MSG_AUTO_CTRL:
        return value >= UPG_AUTO_VALUE_MIN && value <= UPG_AUTO_VALUE_MAX && req->PutU32(static_cast<uint32_t>(value));
    case UPG_MSG_GET_UPG_RES: {
        size_t modNameLen = modName != nullptr ? BoundedLen(modName, kModNameCheckMax) : kModNameCheckMax + 1;
        return modNameLen > 0 && modNameLen <= kModNameCheckMax && req->PutI32(static_cast<int32_t>(modNameLen)) &&
               req->Put(modName, modNameLen);
    }
    default:
        return false;
    }
}

// Copies a field into a member of size room; false when it does not fit.
bool CopyField(std::string_view field, char *dest, size_t room)
{
    if (field.size() >= room) {
        return false;
    }
    std::memcpy(dest, field.data(), field.size());
    dest[field.size()] = '\0';
    return true;
}

// "<vm>:{<inner>}": the name (1 to VM_NAME_MAX characters, up to the first
// ":{") into vm, the text between the braces into *inner.
bool SplitReply(const char *text, char *vm, size_t vmRoom, std::string_view *inner)
{
    if (text == nullptr) {
        return false;
    }
    std::string_view all(text, strnlen(text, CLIENT_MSG_BODY_MAX + 1));
    size_t open = all.find(":{");
    if (all.size() > CLIENT_MSG_BODY_MAX || open == 0 || open == std::string_view::npos ||
        all.back() != '}' || all.size() < open + 3 || !CopyField(all.substr(0, open), vm, vmRoom)) {
        return false;
    }
    *inner = all.substr(open + 2, all.size() - open - 3);
    return true;
}

// Exactly four comma-separated fields.
bool SplitFields(std::string_view inner, std::string_view field[4])
{
    for (int i = 0; i < 4; ++i) {
        size_t comma = inner.find(',');
        if ((comma == std::string_view::npos) != (i == 3)) {
            return false;
        }
        field[i] = inner.substr(0, comma);
        inner = comma == std::string_view::npos ? std::string_view() : inner.substr(comma + 1);
    }
    return true;
}

// A decimal int with an optional '-', nothing else.
bool ParseCode(std::string_view s, int *code)
{
    size_t digits = !s.empty() && s[0] == '-' ? 1 : 0;
    if (s.size() == digits || s.size() > digits + 10 ||
        s.find_first_not_of("0123456789", digits) != std::string_view::npos) {
        return false;
    }
    long long v = std::strtoll(std::string(s).c_str(), nullptr, 10);
    if (v < INT_MIN || v > INT_MAX) {
        return false;
    }
    *code = static_cast<int>(v);
    return true;
}

// A reply text into *out: its VM name, then what fill makes of the text
// between the braces. 0, or -1 with errno EINVAL and *out zeroed.
template <typename Out, typename Fill>
int ParseReply(const char *text, Out *out, Fill fill)
{
    if (out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::memset(out, 0, sizeof(*out));
    std::string_view inner;
    if (SplitReply(text, out->vm, sizeof(out->vm), &inner) && fill(inner)) {
        return 0;
    }
    std::memset(out, 0, sizeof(*out));
    errno = EINVAL;
    return -1;
}

// The text calls of the interface: the body, or null.
char *TextOnly(UpgClientHandle *h, int msgType, const char *vmName, const char *modName, int value)
{
    char *text = nullptr;
    (void)upgClientRequest(h, msgType, vmName, modName, value, &text);
    return text;
}

}  // namespace

extern "C" {

UpgClientHandle *upgClientConnect(int family)
{
    if (family != AF_UNIX) {
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
        return nullptr;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    static_assert(sizeof(addr.sun_path) > sizeof("/var/run/upgraded_manage"));
    std::memcpy(addr.sun_path, kManagePath, std::strlen(kManagePath));

    int flags = fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || fcntl(fd.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return nullptr;
    }
    // A listen queue that is full answers EAGAIN at once, and nothing can be
    // polled for room in it: the connect is tried again, a few milliseconds
    // apart, until the connect deadline.
    const int64_t deadline = MonotonicMs() + kConnectWaitMs;
    int rc = connect(fd.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    while (rc != 0 && errno == EAGAIN && MonotonicMs() < deadline) {
        timespec pause{0, kConnectRetryNs};
        (void)nanosleep(&pause, nullptr);
        rc = connect(fd.Get(), reinterpret_cast<const sockaddr *>(&addr), sizeof(addr));
    }
    if (rc != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            return nullptr;
        }
        pollfd pfd{fd.Get(), POLLIN | POLLOUT | POLLERR, 0};
        int ready = poll(&pfd, 1, kConnectWaitMs);
        if (ready < 1 || !(pfd.revents & POLLOUT)) {
            errno = ready == 0 ? ETIMEDOUT : errno;
            return nullptr;
        }
        // Writable also means "failed": only the socket's error tells.
        int err = 0;
        socklen_t errLen = sizeof(err);
        if (getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &errLen) != 0 || err != 0) {
            errno = err != 0 ? err : errno;
            return nullptr;
        }
    }
    if (fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return nullptr;
    }
    std::unique_ptr<UpgClientHandle> handle(new (std::nothrow) UpgClientHandle);
    if (!handle || !handle->lock.Init()) {
        errno = ENOMEM;
        return nullptr;
    }
    handle->fd = fd.Release();
    return handle.release();
}

int upgClientClose(UpgClientHandle *handle)
{
    if (handle == nullptr) {
        return -1;
    }
    std::unique_ptr<UpgClientHandle> owned(handle);
    int rc = 0;
    if (close(owned->fd) != 0) {
        rc = -1;
    }
    if (!owned->lock.Destroy()) {
        rc = -1;
    }
    return rc;
}

char *upgClientHealthCheck(UpgClientHandle *handle, const char *vmName, int kind)
{
    return TextOnly(handle, UPG_MSG_HEALTH_CHECK, vmName, nullptr, kind);
}

char *upgClientAutoCtrl(UpgClientHandle *handle, const char *vmName, int value)
{
    return TextOnly(handle, UPG_MSG_AUTO_CTRL, vmName, nullptr, value);
}

char *upgClientGetUpgResult(UpgClientHandle *handle, const char *vmName, const char *modName)
{
    return TextOnly(handle, UPG_MSG_GET_UPG_RES, vmName, modName, 0);
}

int upgClientRequest(UpgClientHandle *handle, int msgType, const char *vmName, const char *modName, int value,
                     char **text)
{
    if (text == nullptr) {
        errno = EINVAL;
        return -1;
    }
    *text = nullptr;
    RequestBuffer req;
    if (handle == nullptr || !BuildTextRequest(msgType, vmName, modName, value, &req)) {
        errno = EINVAL;
        return -1;
    }
    return TextRequest(handle, static_cast<uint32_t>(msgType), &req, text);
}

int upgClientControlUpgrade(UpgClientHandle *handle, int action_type, int interval_time,
                            const char *upgrade_para)
{
    if (handle == nullptr) {
        return -1;
    }
    if (action_type < UPG_ACTION_START || action_type > UPG_ACTION_STOP || upgrade_para == nullptr) {
        return kControlBadParam;
    }
    size_t upgrade_para_len = BoundedLen(upgrade_para, UPGRADE_PARA_MAX);
    if (upgrade_para_len > UPGRADE_PARA_MAX) {
        return kControlTooLong;
    }
    bool allVms = std::strcmp(upgrade_para, UPG_PARA_ALL_VMS) == 0;
    if (action_type == UPG_ACTION_START && interval_time != 0 &&
        (interval_time < UPGD_INTERVAL_MIN || interval_time > UPGD_INTERVAL_MAX || !allVms)) {
        return kControlBadParam;
    }
    if (action_type == UPG_ACTION_STOP && (interval_time != 0 || !allVms)) {
        return kControlBadParam;
    }

    RequestBuffer req;
    if (!req.PutU32(static_cast<uint32_t>(action_type)) || !req.PutU32(static_cast<uint32_t>(interval_time)) ||
        !req.PutU32(static_cast<uint32_t>(upgrade_para_len)) || !req.Put(upgrade_para, upgrade_para_len)) {
        return -1;
    }
    LockGuard guard(handle->lock);
    if (!guard.Held() || handle->failed) {
        return -1;
    }
    uint64_t id = 0;
    if (!SendRequest(handle, UPG_START_UPGRADE_MSG, &req, &id)) {
        return -1;
    }
    int result = -1;
    if (upgclient::WaitControlReply(handle->fd, id, &result, handle->replyAttempts) ==
        upgclient::WaitStatus::kBroken) {
        handle->failed = true;
    }
    return result;
}

int upgClientSetTimeout(UpgClientHandle *handle, int seconds)
{
    if (handle == nullptr || seconds < 1 || seconds > kTimeoutMaxSeconds) {
        errno = EINVAL;
        return -1;
    }
    LockGuard guard(handle->lock);
    if (!guard.Held()) {
        return -1;
    }
    handle->replyAttempts = seconds;
    return 0;
}

int upgClientParseCheckReply(const char *text, UpgClientCheckReply *out)
{
    return ParseReply(text, out, [out](std::string_view inner) {
        return CopyField(inner, out->checkresult, sizeof(out->checkresult));
    });
}

int upgClientParseModuleReply(const char *text, UpgClientModuleReply *out)
{
    return ParseReply(text, out, [out](std::string_view inner) {
        std::string_view field[4];
        return SplitFields(inner, field) && CopyField(field[0], out->module, sizeof(out->module)) &&
               CopyField(field[1], out->curversion, sizeof(out->curversion)) && ParseCode(field[2], &out->rescode) &&
               CopyField(field[3], out->tarversion, sizeof(out->tarversion));
    });
}

int upgClientGetHostState(UpgClientHandle *handle, UpgClientHostState **out)
{
    if (out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    *out = nullptr;
    if (handle == nullptr) {
        errno = EINVAL;
        return -1;
    }
    auto *state = static_cast<UpgClientHostState *>(std::calloc(1, sizeof(UpgClientHostState)));
    if (state == nullptr) {
        return -1;
    }
    // The daemon first, then pages of VMs, each from the name the last one ended with.
    unsigned part = UPG_STATE_DAEMON;
    unsigned more = 0;
    do {
        UpgStateRequest ask{};
        std::memcpy(ask.tag, UPG_TAG_HOST_STATE, sizeof(ask.tag));
        ask.part = part;
        const char *after = part == UPG_STATE_VMS && state->vmCount > 0 ? state->vms[state->vmCount - 1].name : "";
        ask.afterLen = static_cast<uint8_t>(strnlen(after, VM_NAME_MAX));
        RequestBuffer req;
        char *body = nullptr;
        uint32_t len = 0;
        int result = req.Put(&ask, sizeof(ask)) && req.Put(after, ask.afterLen)
                         ? TextRequest(handle, UPG_MSG_HOST_STATE, &req, &body, &len)
                         : -1;
        CharBuf owned(body);
        if (result != HOST_RESULT_OK ||
            upgClientParseStatePage(reinterpret_cast<const unsigned char *>(body), len, part, state, &more) != 0) {
            if (result >= 0) {
                errno = EPROTO;   // an answer, but not a state
            }
            upgClientFreeHostState(state);
            return -1;
        }
        part = UPG_STATE_VMS;
    } while (more != 0);
    *out = state;
    return 0;
}

void upgClientFreeHostState(UpgClientHostState *state)
{
    if (state != nullptr) {
        std::free(state->vms);
        std::free(state);
    }
}

}  // extern "C"
