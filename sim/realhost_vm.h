// Test support for the real-host tier: tiny VMs on the real libvirt + QEMU
// host that sim/realhost runs inside its sandbox, and the host
// commands the tests need besides the daemon's own (virsh, genisoimage).
//
// Every VM is a transient domain of type 'qemu' (TCG), machine pc, 128 MiB,
// booting the guest kernel and initramfs that realhost prepared. Its devices:
// a CD-ROM drive (IDE or SATA, by target dev), a virtio-serial controller,
// the guest channel as a Unix socket in bind mode at
// "/var/run/libvirt/qemu/<vm>.upgraded" (target name kGuestChannelName), the
// QEMU guest agent's channel, and the serial console written to a file in
// the run directory. What runs in the guest comes from its kernel command
// line: the guest agent (answer, absent, silent) and the guest simulator
// (one of its behaviours, or absent).
//
// Only for use inside a realhost run: everything here reads the REALHOST_*
// environment that realhost exports.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace realhost {

using namespace std::chrono_literals;

inline constexpr const char *kGuestChannelName = "ortavis.upgrade.0";
inline constexpr const char *kAgentChannelName = "org.qemu.guest_agent.0";

// What realhost exported. Empty strings outside a realhost run.
struct RealHost {
    static std::string Kernel();
    static std::string Initrd();
    static std::string Dir();        // this run's directory: consoles, domain XML
    // The reason the environment is unusable, or empty when it is fine.
    static std::string Problem();
    // Stops libvirtd and starts it again (VMs keep running); true once the
    // new one answers.
    static bool RestartLibvirtd();
};

struct CommandResult {
    int status = -1;     // exit status; 128 + signal; -1 when it did not run
    std::string out;
    std::string err;
};

// Runs argv (argv[0] looked up on PATH) without a shell, with `env` added to
// this process's environment; kills it after `timeout`.
CommandResult RunCommand(const std::vector<std::string> &argv,
                         const std::map<std::string, std::string> &env = {},
                         std::chrono::milliseconds timeout = 60s);

// Makes an ISO image holding one small file; empty, or what went wrong.
std::string MakeIso(const std::string &path, const std::string &volumeLabel);

struct RealVmOptions {
    std::string agent = "answer";   // guest agent: answer, absent, silent
    std::string tools = "answer";   // guest simulator behaviour, or absent
    std::string cdromDev = "hdb";   // CD-ROM target: hdX on IDE, sdX on SATA; empty: none
};

class RealVm {
public:
    // The domain XML of a VM.
    static std::string DomainXml(const std::string &name, const RealVmOptions &opts);
    // Creates the domain (virsh create) and returns at once, before the guest
    // boots: its live description and channel socket exist by then. Null on
    // failure, with the reason in *error.
    static std::unique_ptr<RealVm> Start(const std::string &name, const RealVmOptions &opts,
                                         std::string *error);
    ~RealVm();   // destroys the domain if it still runs
    RealVm(const RealVm &) = delete;
    RealVm &operator=(const RealVm &) = delete;

    // Waits until the guest is ready: the guest simulator serving its port
    // (unless absent), the agent answering a guest-ping (answer) or holding
    // its port open (silent). False after the timeout, the reason in *why.
    bool WaitReady(std::chrono::milliseconds timeout, std::string *why);
    // virsh destroy; true once the live description is gone.
    bool Destroy();

    const std::string &Name() const { return name_; }
    const RealVmOptions &Options() const { return opts_; }
    std::string Console() const;                  // the console so far
    std::string XmlPath() const;                  // live description
    std::string ChannelPath() const;              // guest channel socket

private:
    RealVm(std::string name, RealVmOptions opts) : name_(std::move(name)), opts_(std::move(opts)) {}
    std::string name_;
    RealVmOptions opts_;
    bool running_ = false;
};

// The state virsh reports for the channel with the given target name in the
// VM's live description ("connected", "disconnected"), or empty.
std::string ChannelState(const std::string &liveDescription, const std::string &targetName);

}  // namespace realhost
