// Guests of a test's own on the simulated host, for the worst a guest can do
// to its channel: the VM's live description from the host simulator, its
// channel socket bound here, every connection the daemon makes served by a
// behaviour until the guest is destroyed.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "guest_sim_host.h"

namespace upgd_test {

using Serve = std::function<void(int fd, const std::atomic<bool> &stop)>;

class RawGuest {
public:
    RawGuest(guestsim::HostSim &host, const std::string &name, Serve serve);
    ~RawGuest();
    RawGuest(const RawGuest &) = delete;
    RawGuest &operator=(const RawGuest &) = delete;
    // False when the VM or its channel could not be set up.
    bool Ok() const { return ok_; }

private:
    bool ok_ = false;
    int listen_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A byte every 200 ms, never a whole message.
void Dribble(int fd, const std::atomic<bool> &stop);
// Whole health answers that nobody waits for, as fast as the channel takes
// them; their check result holds a newline and a forged log line.
void Flood(int fd, const std::atomic<bool> &stop);
// Shuts its writing side down at once and stays.
void HalfClose(int fd, const std::atomic<bool> &stop);

}  // namespace upgd_test
