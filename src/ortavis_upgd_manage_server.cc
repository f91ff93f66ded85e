// The management server: one thread owns "/var/run/upgraded_manage" and
// every client connection on it, as the command loop owns the guest channels.
//
// The thread polls the socket and all its clients without blocking, reads
// each connection into a request reader of its own until a whole request is
// there, and hands that request to the task pool. A pool worker is held only
// while a request is handled; meanwhile the server reads nothing more of that
// client, so each client's requests are handled one at a time, in order, and
// the next one waits in its socket. An idle client costs a descriptor and a
// reader, however many there are; a request not whole within PEER_READ_MS of
// its first byte is dropped and its connection closed; past
// MANAGE_CLIENTS_MAX connections the one idle longest is closed, never one
// with a request in hand. Replies go out from the workers through
// ClientWrite, under each connection's write lock.
//
// A connection ends when its client closes it or asks to (type 2), when a
// reply is not taken, when its request cannot be read, and at shutdown: its
// registry entries go and its descriptor is closed once. Only this thread
// closes a connection, but for the close request, which the worker handling
// it carries out; the server never polls a connection while a worker has it.
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <vector>

#include "ortavis_upgd_cmd.h"
#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_server.h"
#include "ortavis_upgd_task.h"

namespace {

constexpr int kPauseMs = 100;
constexpr int kSweepMs = 60 * 1000;
constexpr int kAcceptsPerPass = 64;

// Owner root, group "libvirt" (root's group when there is none), mode 0660:
// set before the socket listens, so no client ever meets it otherwise.
void SetSocketPermissions(const char *path)
{
    int ret = chmod(path, 0660);
    if (ret < 0) {
        UPG_LOG("chmod %s failed,ret is %d", path, ret);
    }
    gid_t gid = 0;
    if (const group *g = getgrnam("libvirt")) {
        gid = g->gr_gid;
    } else {
        UPG_LOG("getgrnam of libvirt failed, libvirt_gid is %d", 0);
    }
    ret = chown(path, 0, gid);
    if (ret < 0) {
        UPG_LOG("chown %s failed,ret is %d", path, ret);
    }
}

// Ends a client's service: its registry entries go and its descriptor is
// closed (once).
void EndClient(ClientConn &client)
{
    ObjectLockGuard registry(&g_clientListLock);
    deleteMsgNode(client);
    (void)CloseClientConn(client);
}

// The server's side of one connection.
struct Client {
    std::shared_ptr<ClientConn> conn;
    HostRequestReader reader;
    int64_t lastMs = 0;   // monotonic: its last byte, or the end of its last request
};

// A whole request on its way to a worker, with a reference on its connection.
struct RequestJob {
    std::shared_ptr<ClientConn> conn;
    HostRequest request;
};

// Told by a worker that a connection's request is done.
int g_doneEvent = -1;

void ServeRequest(void *arg)
{
    std::unique_ptr<RequestJob> job(static_cast<RequestJob *>(arg));
    ClientConn &conn = *job->conn;
    seccmd_set_urgent(1);   // a client waits on whatever the pool runs
    {
        LogPeerScope peer(conn.logBudget);
        if (dealWithCmdMsg(job->conn, job->request) == CMD_MSG_CLOSED || job->request.endsConnection) {
            EndClient(conn);
        }
    }
    conn.serving.store(false);
    const uint64_t one = 1;
    (void)!write(g_doneEvent, &one, sizeof(one));
}

void DropRequest(void *arg)
{
    delete static_cast<RequestJob *>(arg);
}

class Server {
public:
    explicit Server(int listenFd) : listen_(listenFd) {}
    void Run();

private:
    int Expire(int64_t now);
    void Accept();
    size_t IdleLongest();
    void Read(Client &client, short events);
    bool Hand(Client &client, std::unique_ptr<RequestJob> job);
    void Drop(size_t index);

    int listen_;
    std::vector<std::unique_ptr<Client>> clients_;
};

// Closes the connections that ended and those whose request did not come
// whole in time. The milliseconds until the next such deadline, or -1.
int Server::Expire(int64_t now)
{
    int next = -1;
    for (size_t i = clients_.size(); i-- > 0;) {
        Client &c = *clients_[i];
        if (c.conn->serving.load()) {
            continue;
        }
        if (c.conn->closed.load() || c.conn->closing.load()) {
            Drop(i);
            continue;
        }
        if (!c.reader.Started() && c.reader.discard == 0) {
            continue;
        }
        int64_t left = c.reader.startedMs + PEER_READ_MS - now;
        if (left > 0) {
            next = next < 0 ? static_cast<int>(left) : std::min(next, static_cast<int>(left));
            continue;
        }
        LogPeerScope peer(c.conn->logBudget);
        UPG_LOG("client fd %d sent %zu bytes of a request not whole within %d ms: dropped, connection closed",
                c.conn->fd, c.reader.have, PEER_READ_MS);
        Drop(i);
    }
    return next;
}

void Server::Drop(size_t index)
{
    EndClient(*clients_[index]->conn);
    clients_[index] = std::move(clients_.back());
    clients_.pop_back();
}

// The connection idle longest: none of its requests in hand or waiting for
// a guest's answer, and none on its way in. clients_.size() when there is none.
size_t Server::IdleLongest()
{
    size_t oldest = clients_.size();
    ObjectLockGuard registry(&g_clientListLock);
    for (size_t i = 0; i < clients_.size(); ++i) {
        const Client &c = *clients_[i];
        if (c.conn->serving.load() || c.reader.Started() || c.conn->entries != 0) {
            continue;
        }
        // Of two idle since the same millisecond, the one connected first.
        const Client *o = oldest == clients_.size() ? nullptr : clients_[oldest].get();
        if (o == nullptr || c.lastMs < o->lastMs || (c.lastMs == o->lastMs && c.conn->id < o->conn->id)) {
            oldest = i;
        }
    }
    return oldest;
}

void Server::Accept()
{
    for (int n = 0; n < kAcceptsPerPass; ++n) {
        int fd = accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                // Out of descriptors, say: the client stays queued and the socket
                // readable, so pause rather than poll straight back into the failure.
                UPG_LOG("accept failed");
                (void)SleepUnlessStopping(kPauseMs);
            }
            return;
        }
        ucred cred{};
        socklen_t len = sizeof(cred);
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            cred.uid = static_cast<uid_t>(-1);
        }
        std::unique_ptr<Client> client(new (std::nothrow) Client);
        std::shared_ptr<ClientConn> conn = client ? OpenClientConn(fd, cred.uid) : nullptr;
        if (conn == nullptr) {
            UPG_LOG("malloc client failed");
            close(fd);
            continue;
        }
        client->conn = std::move(conn);
        client->lastMs = MonotonicMs();
        {
            LogPeerScope peer(client->conn->logBudget);
            UPG_LOG("[dealWithCmd] recieve host msg, accept a new fd %d", fd);
        }
        if (clients_.size() >= MANAGE_CLIENTS_MAX) {
            size_t oldest = IdleLongest();
            if (oldest == clients_.size()) {
                UPG_LOG("too many client");
                EndClient(*client->conn);
                continue;
            }
            UPG_LOG("%zu clients connected: fd %d, idle for %lld ms, closed", MANAGE_CLIENTS_MAX,
                    clients_[oldest]->conn->fd, static_cast<long long>(MonotonicMs() - clients_[oldest]->lastMs));
            Drop(oldest);
        }
        clients_.push_back(std::move(client));
    }
}

bool Server::Hand(Client &client, std::unique_ptr<RequestJob> job)
{
    job->conn = client.conn;
    client.conn->serving.store(true);
    if (AddTask(ServeRequest, job.get(), DropRequest) != 0) {
        client.conn->serving.store(false);
        return false;
    }
    (void)job.release();   // the worker's now
    return true;
}

void Server::Read(Client &client, short events)
{
    LogPeerScope peer(client.conn->logBudget);
    client.lastMs = MonotonicMs();
    if ((events & POLLNVAL) != 0) {
        (void)CloseClientConn(*client.conn);
        return;
    }
    std::unique_ptr<RequestJob> job(new (std::nothrow) RequestJob);
    if (job == nullptr) {
        UPG_LOG("malloc request failed");
        return;
    }
    switch (ReadHostRequest(client.conn->fd, client.reader, &job->request)) {
    case ReadStep::kWhole:
        if (!Hand(client, std::move(job))) {
            (void)CloseClientConn(*client.conn);
        }
        return;
    case ReadStep::kEnd:
        UPG_LOG("fd %d recieve events %u, close fd %d", client.conn->fd, static_cast<unsigned>(events),
                client.conn->fd);
        (void)CloseClientConn(*client.conn);
        return;
    case ReadStep::kMore:
        if ((events & (POLLIN | POLLPRI)) == 0 && (events & (POLLHUP | POLLERR)) != 0) {
            (void)CloseClientConn(*client.conn);   // an error that poll would report at once for ever
        }
        return;
    }
}

void Server::Run()
{
    std::vector<pollfd> set;
    std::vector<Client *> polled;
    int64_t sweptMs = MonotonicMs();
    while (!StopRequested()) {
        const int64_t now = MonotonicMs();
        if (now - sweptMs >= kSweepMs) {
            SweepLogBudgets(false);
            sweptMs = now;
        }
        int timeout = Expire(now);
        if (timeout < 0 || timeout > kSweepMs) {
            timeout = kSweepMs;
        }
        set.assign({{listen_, POLLIN | POLLPRI | POLLERR, 0}, {StopEventFd(), POLLIN, 0}, {g_doneEvent, POLLIN, 0}});
        polled.clear();
        for (const auto &c : clients_) {
            if (!c->conn->serving.load()) {
                set.push_back({c->conn->fd, POLLIN | POLLPRI, 0});
                polled.push_back(c.get());
            }
        }
        int ready = poll(set.data(), set.size(), timeout);
        if (ready < 0) {
            if (errno != EINTR) {
                UPG_LOG("dealWithCmd poll in dealWithCmd failed");
                (void)SleepUnlessStopping(kPauseMs);
            }
            continue;
        }
        if (StopRequested()) {
            break;
        }
        if (set[2].revents != 0) {
            uint64_t count = 0;
            (void)!read(g_doneEvent, &count, sizeof(count));
        }
        for (size_t i = 0; i < polled.size(); ++i) {
            if (set[i + 3].revents != 0) {
                Read(*polled[i], set[i + 3].revents);
            }
        }
        if ((set[0].revents & POLLERR) != 0) {
            UPG_LOG("poll failed");
            (void)SleepUnlessStopping(kPauseMs);
        } else if ((set[0].revents & (POLLIN | POLLPRI)) != 0) {
            Accept();
        }
    }
    for (const auto &c : clients_) {
        EndClient(*c->conn);
    }
    clients_.clear();
    SweepLogBudgets(true);
}

}  // namespace

void *dealWithCmd(void *)
{
    UniqueFd server(CreateServerSocket(MANAGE_SOCKET_PATH, SetSocketPermissions));
    if (!server.Valid()) {
        UPG_LOG("create server socket:%s failed", MANAGE_SOCKET_PATH);
        return nullptr;
    }
    if (g_doneEvent < 0) {
        g_doneEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);   // for the process's life
    }
    if (g_doneEvent < 0) {
        UPG_LOG("create server socket:%s failed", MANAGE_SOCKET_PATH);
        return nullptr;
    }
    Server(server.Get()).Run();
    return nullptr;
}
