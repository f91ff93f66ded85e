// ortavis-guestsim: simulated guest tools for the VMs of a simulated host,
// or, inside a VM, for that VM alone.
//
//   ortavis-guestsim [--run-dir DIR] [VM[:BEHAVIOUR[:CDROM]]]...
//   ortavis-guestsim --vport NAME [--behaviour BEHAVIOUR]
//
// With --vport it serves the guest channel from inside the VM, on the
// virtio port named NAME (guest_sim_vport.h), and runs until killed.
//
// Each VM gets its live description and a listening guest channel in the run
// directory (/var/run/libvirt/qemu). BEHAVIOUR is answer (default), silent,
// hangup, half or garbage; CDROM the CD-ROM's target dev (hdb by default,
// "none" for no CD-ROM). Commands on standard input, one per line, each
// answered "ok" or "error ...":
//   add VM [BEHAVIOUR [CDROM]]   stop VM   hangup VM   behave VM BEHAVIOUR
//   send VM TYPE                 (a guest request: 6 attach, 7 detach,
//                                 8 upgrade information, 14 state report)
//   quit
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "guest_sim_host.h"
#include "guest_sim_vport.h"

namespace {

guestsim::Profile DefaultProfile()
{
    guestsim::Profile p;
    p.modules.push_back({"ortavis", "1.0.0.1", "1.0.0.2", 0, ISO_LINUX});
    return p;
}

bool AddVmArg(guestsim::HostSim &sim, const std::string &name, const std::string &behaviour,
             const std::string &cdrom)
{
    guestsim::VmOptions opts;
    opts.profile = DefaultProfile();
    if (!behaviour.empty()) {
        auto b = guestsim::ParseBehaviour(behaviour);
        if (!b) {
            return false;
        }
        opts.profile.behaviour = *b;
    }
    if (!cdrom.empty()) {
        opts.cdromDev = cdrom == "none" ? "" : cdrom;
    }
    return sim.AddVm(name, opts);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string runDir = "/var/run/libvirt/qemu";
    std::string vport;
    std::string behaviour = "answer";
    std::vector<std::string> vmArgs;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--run-dir" && i + 1 < argc) {
            runDir = argv[++i];
        } else if (arg == "--vport" && i + 1 < argc) {
            vport = argv[++i];
        } else if (arg == "--behaviour" && i + 1 < argc) {
            behaviour = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            std::printf("usage: ortavis-guestsim [--run-dir DIR] [VM[:BEHAVIOUR[:CDROM]]]...\n"
                        "       ortavis-guestsim --vport NAME [--behaviour BEHAVIOUR]\n");
            return 0;
        } else {
            vmArgs.push_back(arg);
        }
    }
    if (!vport.empty()) {
        guestsim::Profile profile = DefaultProfile();
        auto b = guestsim::ParseBehaviour(behaviour);
        if (!b || !vmArgs.empty()) {
            std::fprintf(stderr, "ortavis-guestsim: --vport takes a behaviour and no VM list\n");
            return 2;
        }
        profile.behaviour = *b;
        return guestsim::ServeVport(vport, profile);
    }
    guestsim::HostSim sim(runDir);
    for (const auto &arg : vmArgs) {
        std::string parts[3];
        std::istringstream in(arg);
        for (auto &p : parts) {
            std::getline(in, p, ':');
        }
        if (!AddVmArg(sim, parts[0], parts[1], parts[2])) {
            std::fprintf(stderr, "ortavis-guestsim: cannot set up %s\n", arg.c_str());
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, vm, a, b;
        in >> cmd >> vm >> a >> b;
        bool ok = true;
        if (cmd == "quit") {
            break;
        } else if (cmd == "add") {
            ok = AddVmArg(sim, vm, a, b);
        } else if (cmd == "stop") {
            sim.StopVm(vm);
        } else if (cmd == "hangup") {
            sim.HangUp(vm);
        } else if (cmd == "behave") {
            auto beh = guestsim::ParseBehaviour(a);
            ok = beh.has_value();
            if (ok) {
                sim.SetBehaviour(vm, *beh);
            }
        } else if (cmd == "send") {
            ok = sim.Send(vm, guestsim::Request(static_cast<uint32_t>(std::strtoul(a.c_str(), nullptr, 10)),
                                                DefaultProfile()));
        } else {
            ok = false;
        }
        std::printf(ok ? "ok\n" : "error %s\n", line.c_str());
        std::fflush(stdout);
    }
    return 0;
}
