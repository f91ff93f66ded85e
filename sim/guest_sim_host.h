// The guest simulator's host transport: for each simulated VM it writes the
// live description "<vm>.xml" into the libvirt run directory and listens on
// the guest channel "<vm>.upgraded", serving one client at a time as the
// hypervisor does (a second connect waits in the backlog until the first
// client goes). One thread serves every VM; the answers come from
// guest_sim_logic. Runs inside the sandbox, in a test or in ortavis-guestsim.
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "guest_sim_logic.h"

namespace guestsim {

using namespace std::chrono_literals;

struct VmOptions {
    Profile profile;
    std::string cdromDev = "hdb";   // target dev of the CD-ROM; empty: no CD-ROM
    bool listen = true;             // false: the live description only, no channel
};

class HostSim {
public:
    explicit HostSim(std::string runDir = "/var/run/libvirt/qemu");
    ~HostSim();
    HostSim(const HostSim &) = delete;
    HostSim &operator=(const HostSim &) = delete;

    // A running VM: its live description and its listening channel.
    bool AddVm(const std::string &name, const VmOptions &opts = {});
    // The VM stops: description and channel go; a connected client reads EOF.
    void StopVm(const std::string &name);
    // The channel hangs up (the VM keeps running and listening).
    void HangUp(const std::string &name);
    void SetBehaviour(const std::string &name, Behaviour b);
    void SetProfile(const std::string &name, const Profile &p);
    // Writes a message to the VM's connected client; false when none.
    bool Send(const std::string &name, const VmMsg &msg);
    bool SendBytes(const std::string &name, const std::vector<uint8_t> &bytes);

    std::vector<VmMsg> Received(const std::string &name) const;
    bool WaitReceived(const std::string &name, size_t count,
                      std::chrono::milliseconds timeout = 5s) const;
    // Clients accepted so far on the VM's channel.
    int Accepted(const std::string &name) const;
    bool WaitAccepted(const std::string &name, int count, std::chrono::milliseconds timeout = 5s) const;
    bool Connected(const std::string &name) const;
    std::string XmlPath(const std::string &name) const;
    std::string ChannelPath(const std::string &name) const;

private:
    struct Vm;
    void Run();
    void Wake();
    void ServeReadable(Vm &vm);
    void CloseClient(Vm &vm);

    std::string runDir_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::map<std::string, std::unique_ptr<Vm>> vms_;
    int wake_[2] = {-1, -1};
    bool stop_ = false;
    uint64_t generation_ = 0;   // bumped whenever a descriptor comes or goes
    std::thread thread_;
};

// The live description libvirt keeps for a running VM (as it stands under
// the run directory), with an empty CD-ROM drive on `cdromDev` (hdX on IDE,
// sdX on SATA) or none when empty. The drive and the guest channel read line
// for line as libvirt 9 writes them; the real-host tier compares the two.
std::string LiveDescription(const std::string &name, const std::string &cdromDev);

}  // namespace guestsim
