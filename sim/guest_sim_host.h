// The guest simulator's host transport: for each simulated VM it writes the
// live description "<vm>.xml" into the libvirt run directory and listens on
// the guest channel "<vm>.upgraded", serving one client at a time as the
// hypervisor does (a second connect waits in the backlog until the first
// client goes). One thread serves every VM; what each guest says comes from
// its guest_sim_logic Guest, which sees its CD-ROM through the drive's disk
// block in the live description (where libvirt, and the virsh stand-in,
// keep the medium). Every VM's state, what it received and what it sent are
// kept for tests under one lock. Runs inside the sandbox, in a test or in
// ortavis-guestsim.
#pragma once

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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
    // From the next message on; BadCount writes badModuleNum when given
    // (else what the profile holds, 7 by default).
    void SetBehaviour(const std::string &name, Behaviour b, std::optional<int32_t> badModuleNum = std::nullopt);
    // The guest's whole state anew; an upgrade under way ends.
    void SetProfile(const std::string &name, const Profile &p);
    // Adds the module, or replaces the one of the same name and type.
    void SetModule(const std::string &name, const Module &m);
    // Writes a message to the VM's connected client; false when none.
    bool Send(const std::string &name, const VmMsg &msg);
    bool SendBytes(const std::string &name, const std::vector<uint8_t> &bytes);
    // The guest's own request of msgType (8 asks for the upgrade information
    // and so starts an upgrade; 6, 7 and 14 name its modules), with its next
    // msgId; false when no client is connected.
    bool SendRequest(const std::string &name, uint32_t msgType);

    // What the guest read, whole messages in order (a Reset or HalfReset guest's last
    // message stays unread and is not among them).
    std::vector<VmMsg> Received(const std::string &name) const;
    // Each Wait is for what must come: its default is long, for a loaded
    // machine, and only a fault reaches it.
    bool WaitReceived(const std::string &name, size_t count, std::chrono::milliseconds timeout = 30s) const;
    // What the guest wrote, whole messages in order: its answers and
    // requests, spoiled as its behaviour says, garbage included, a half
    // message not; also what Send and SendRequest wrote.
    std::vector<VmMsg> Sent(const std::string &name) const;
    bool WaitSent(const std::string &name, size_t count, std::chrono::milliseconds timeout = 30s) const;
    // The guest's modules as they stand (versions and result codes).
    std::vector<Module> Modules(const std::string &name) const;
    // True while the guest is in an upgrade (awaiting an attach answer or
    // its drive to empty before the next module).
    bool Upgrading(const std::string &name) const;
    // Clients accepted so far on the VM's channel.
    int Accepted(const std::string &name) const;
    bool WaitAccepted(const std::string &name, int count, std::chrono::milliseconds timeout = 30s) const;
    bool Connected(const std::string &name) const;
    std::string XmlPath(const std::string &name) const;
    std::string ChannelPath(const std::string &name) const;

private:
    struct Vm;
    void Run();
    void Wake();
    void ServeReadable(Vm &vm);
    void FloodSome(Vm &vm);
    void Write(Vm &vm, const std::vector<VmMsg> &msgs);
    void CloseClient(Vm &vm);
    Drive ReadDrive(const Vm &vm) const;
    template <typename Pred>
    bool WaitVm(const std::string &name, std::chrono::milliseconds timeout, Pred pred) const;

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

// The medium in a VM's CD-ROM drive as the live description at xmlPath
// tells (libvirt's, or one written above and changed by the virsh stand-in):
// the file of the <source> in the device='cdrom' disk block whose target is
// `dev` (any CD-ROM's when dev is empty), unescaped; empty when the drive is
// empty, or there is no such drive or description.
std::string CdromMedium(const std::string &xmlPath, const std::string &dev);

}  // namespace guestsim
