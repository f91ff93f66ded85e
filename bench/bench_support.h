// What more than one benchmark needs: the simulated host with the real daemon
// among its guests, a process's CPU time and memory as the kernel counts
// them, the descriptor limit a host of many VMs needs, and the bare relay
// that the daemon's round trips are measured against. Benchmarks run as root
// inside the sandbox (tools/bench).
#pragma once

#include <dirent.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "fake_virsh.h"
#include "guest_sim_host.h"
#include "ortavis_upgd_msg.h"
#include "upgd_sandbox.h"

namespace bench {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// CPU time of all threads of a process so far, in nanoseconds (the first
// field of each thread's schedstat: exact, where /proc/PID/stat counts ticks).
inline uint64_t ProcessCpuNs(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    uint64_t total = 0;
    if (DIR *dir = opendir(tasks.c_str())) {
        while (dirent *e = readdir(dir)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::ifstream stat(tasks + "/" + e->d_name + "/schedstat");
            uint64_t ns = 0;
            stat >> ns;
            total += ns;
        }
        closedir(dir);
    }
    return total;
}

inline double ProcessCpuMs(pid_t pid)
{
    return static_cast<double>(ProcessCpuNs(pid)) / 1e6;
}



inline bool ReadExact(int fd, void *buf, size_t len)
{
    for (size_t got = 0; got < len;) {
        ssize_t n = read(fd, static_cast<char *>(buf) + got, len - got);
        if (n <= 0) {
            return false;
        }
        got += static_cast<size_t>(n);
    }
    return true;
}

inline bool WriteExact(int fd, const void *buf, size_t len)
{
    for (size_t put = 0; put < len;) {
        ssize_t n = write(fd, static_cast<const char *>(buf) + put, len - put);
        if (n <= 0) {
            return false;
        }
        put += static_cast<size_t>(n);
    }
    return true;
}

// The hops of a request without the daemon: client -> relay (-> guest ->
// relay) -> client, each pair of ends an AF_UNIX stream socket as the
// management socket and the guest channels are. The relay reads the whole
// request, runs `work`, passes one VmMsg to a guest that echoes it (when
// `guestHop`) and writes `replyLen` bytes back.
class BareRelay {
public:
    BareRelay(size_t requestLen, size_t replyLen, bool guestHop, std::function<void()> work = {})
        : requestLen_(requestLen), replyLen_(replyLen)
    {
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, client_);
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, guest_);
        relay_ = std::thread([this, guestHop, work = std::move(work)] {
            std::string buf(std::max(requestLen_, replyLen_), '\0');
            VmMsg msg{};
            while (ReadExact(client_[1], buf.data(), requestLen_)) {
                if (work) {
                    work();
                }
                if (guestHop && (!WriteExact(guest_[0], &msg, sizeof(msg)) || !ReadExact(guest_[0], &msg, sizeof(msg)))) {
                    break;
                }
                if (!WriteExact(client_[1], buf.data(), replyLen_)) {
                    break;
                }
            }
        });
        echo_ = std::thread([this] {
            VmMsg msg{};
            while (ReadExact(guest_[1], &msg, sizeof(msg)) && WriteExact(guest_[1], &msg, sizeof(msg))) {
            }
        });
    }
    ~BareRelay()
    {
        shutdown(client_[0], SHUT_RDWR);
        shutdown(guest_[1], SHUT_RDWR);
        relay_.join();
        shutdown(guest_[0], SHUT_RDWR);
        echo_.join();
        for (int fd : {client_[0], client_[1], guest_[0], guest_[1]}) {
            close(fd);
        }
    }
    BareRelay(const BareRelay &) = delete;
    BareRelay &operator=(const BareRelay &) = delete;

    // One request out and its whole reply in; false when the relay broke.
    // With `split`, the request's first `split` bytes go out `pause` before
    // the rest.
    bool RoundTrip(const std::string &request, size_t split = 0, std::chrono::microseconds pause = {})
    {
        std::string reply(replyLen_, '\0');
        if (request.size() != requestLen_ || split > request.size()) {
            return false;
        }
        if (split > 0) {
            if (!WriteExact(client_[0], request.data(), split)) {
                return false;
            }
            std::this_thread::sleep_for(pause);
        }
        return WriteExact(client_[0], request.data() + split, request.size() - split) &&
               ReadExact(client_[0], reply.data(), reply.size());
    }

private:
    size_t requestLen_;
    size_t replyLen_;
    int client_[2] = {-1, -1};
    int guest_[2] = {-1, -1};
    std::thread relay_;
    std::thread echo_;
};

inline std::string VmName(int i)
{
    return "vm" + std::to_string(i);
}

// The simulated host with `vms` guests (vm0, vm1, ...), the drive script
// installed and the virsh stand-in first on PATH, and the real daemon.
struct DaemonHost {
    DaemonHost(int vms, guestsim::Behaviour behaviour) : count(vms)
    {
        (void)upgd_test::RaiseFdLimit(6 * static_cast<rlim_t>(vms) + 1024);
        upgd_test::MakeDirs(upgd_test::kIsoDir);
        upgd_test::InstallDriveScript();
        guestsim::VmOptions opts;
        opts.profile.behaviour = behaviour;
        for (int i = 0; i < vms && ok; ++i) {
            ok = sim.AddVm(VmName(i), opts);
        }
    }
    ~DaemonHost()
    {
        if (daemon.Pid() > 0) {
            daemon.Signal(SIGTERM);
            daemon.WaitExit();
        }
    }

    // True once every guest has accepted `clients` connections in all.
    bool WaitAllAccepted(int clients, std::chrono::milliseconds timeout = 30s) const
    {
        auto deadline = Clock::now() + timeout;
        for (int i = 0; i < count; ++i) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 || !sim.WaitAccepted(VmName(i), clients, left)) {
                return false;
            }
        }
        return true;
    }

    // Execs the daemon; true once every guest has accepted its connection
    // (the guests' side of the channels: what they see is what counts) and
    // its start-up is over. `open` gets the time from the exec to the last
    // guest's accept.
    bool StartDaemon(Clock::duration *open = nullptr)
    {
        const int before = sim.Accepted(VmName(0));
        const auto t0 = Clock::now();
        if (!daemon.Start() || !WaitAllAccepted(before + 1)) {
            return false;
        }
        if (open != nullptr) {
            *open = Clock::now() - t0;
        }
        return daemon.WaitStarted(nullptr, 30s);
    }

    const int count;
    bool ok = true;
    upgd_test::FakeVirsh virsh;
    guestsim::HostSim sim;
    upgd_test::Daemon daemon;
};

}  // namespace bench
