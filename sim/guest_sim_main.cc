// ortavis-guestsim: simulated guest tools for the VMs of a simulated host,
// or, inside a VM, for that VM alone.
//
//   ortavis-guestsim [--run-dir DIR] [VM[:BEHAVIOUR[:CDROM[:OS]]]]...
//   ortavis-guestsim --vport NAME [--behaviour BEHAVIOUR]
//
// With --vport it serves the guest channel from inside the VM, on the
// virtio port named NAME (guest_sim_vport.h), and runs until killed.
//
// Each VM gets its live description and a listening guest channel in the run
// directory (/var/run/libvirt/qemu). Its guest tools have one module,
// ortavis 0.9.0 for the guest's OS, and upgrade it when the daemon offers
// another version. BEHAVIOUR is answer (default), silent, hangup, half,
// garbage, deaf, wrongtype, badcount, strayid, reset, halfreset, or, not
// with --vport, dribble, flood or halfclose (guest_sim_logic.h);
// CDROM the CD-ROM's target dev (hdb by default, "none" for no CD-ROM); OS
// linux (default) or windows. Commands on standard input, one per line, each
// answered "ok" or "error ...":
//   add VM [BEHAVIOUR [CDROM [OS]]]   stop VM   hangup VM
//   behave VM BEHAVIOUR [N]      (N: the moduleNum badcount writes, 7 by default)
//   send VM TYPE                 (the guest's own request: 8 asks for the
//                                 upgrade information and so starts an
//                                 upgrade; 6 attach, 7 detach, 14 state report)
//   module VM NAME VERSION [linux|windows]   (adds or replaces a module)
//   show VM                      (a line "module VM NAME CURVERSION TARVERSION
//                                 RESCODE TYPE" per module, and "sent VM N
//                                 received M": whole messages so far)
//   quit
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "guest_sim_host.h"
#include "guest_sim_vport.h"

namespace {

guestsim::Profile DefaultProfile(uint8_t os = ISO_LINUX)
{
    guestsim::Profile p;
    p.modules.push_back({"ortavis", "0.9.0", "0.9.0", 0, os});
    return p;
}

bool AddVmArg(guestsim::HostSim &sim, const std::string &name, const std::string &behaviour,
             const std::string &cdrom, const std::string &os)
{
    if (!os.empty() && os != "linux" && os != "windows") {
        return false;
    }
    guestsim::VmOptions opts;
    opts.profile = DefaultProfile(os == "windows" ? ISO_WINDOWS : ISO_LINUX);
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

std::optional<long> Number(const std::string &text)
{
    errno = 0;
    char *end = nullptr;
    long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0) {
        return std::nullopt;
    }
    return n;
}

bool Show(const guestsim::HostSim &sim, const std::string &vm)
{
    for (const auto &m : sim.Modules(vm)) {
        std::printf("module %s %s %s %s %d %s\n", vm.c_str(), m.name.c_str(), m.curversion.c_str(),
                    m.tarversion.c_str(), m.rescode, m.type == ISO_WINDOWS ? "windows" : "linux");
    }
    std::printf("sent %s %zu received %zu\n", vm.c_str(), sim.Sent(vm).size(), sim.Received(vm).size());
    return true;
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
            std::printf("usage: ortavis-guestsim [--run-dir DIR] [VM[:BEHAVIOUR[:CDROM[:OS]]]]...\n"
                        "       ortavis-guestsim --vport NAME [--behaviour BEHAVIOUR]\n"
                        "behaviours: answer silent hangup half garbage deaf wrongtype badcount strayid reset halfreset\n"
                        "            dribble flood halfclose (not with --vport)\n"
                        "commands on standard input, each answered \"ok\" or \"error ...\":\n"
                        "  add VM [BEHAVIOUR [CDROM [OS]]] stop VM      hangup VM   (OS: linux, windows)\n"
                        "  behave VM BEHAVIOUR [N]         N: the moduleNum of badcount (7)\n"
                        "  send VM TYPE                    8: ask for the upgrade information\n"
                        "  module VM NAME VERSION [linux|windows]\n"
                        "  show VM                         modules, messages sent and received\n"
                        "  quit\n");
            return 0;
        } else {
            vmArgs.push_back(arg);
        }
    }
    if (!vport.empty()) {
        guestsim::Profile profile = DefaultProfile();
        auto b = guestsim::ParseBehaviour(behaviour);
        bool vportWay = b && *b != guestsim::Behaviour::Dribble && *b != guestsim::Behaviour::Flood &&
                        *b != guestsim::Behaviour::HalfClose;
        if (!vportWay || !vmArgs.empty()) {
            std::fprintf(stderr, "ortavis-guestsim: --vport takes a behaviour of a virtio port and no VM list\n");
            return 2;
        }
        profile.behaviour = *b;
        return guestsim::ServeVport(vport, profile);
    }
    guestsim::HostSim sim(runDir);
    for (const auto &arg : vmArgs) {
        std::string parts[4];
        std::istringstream in(arg);
        for (auto &p : parts) {
            std::getline(in, p, ':');
        }
        if (!AddVmArg(sim, parts[0], parts[1], parts[2], parts[3])) {
            std::fprintf(stderr, "ortavis-guestsim: cannot set up %s\n", arg.c_str());
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, vm, a, b, c;
        in >> cmd >> vm >> a >> b >> c;
        bool ok = true;
        if (cmd == "quit") {
            break;
        } else if (cmd == "add") {
            ok = AddVmArg(sim, vm, a, b, c);
        } else if (cmd == "stop") {
            sim.StopVm(vm);
        } else if (cmd == "hangup") {
            sim.HangUp(vm);
        } else if (cmd == "behave") {
            auto beh = guestsim::ParseBehaviour(a);
            auto n = b.empty() ? std::optional<long>(guestsim::Profile{}.badModuleNum) : Number(b);
            ok = beh.has_value() && n.has_value();
            if (ok) {
                sim.SetBehaviour(vm, *beh, static_cast<int32_t>(*n));
            }
        } else if (cmd == "send") {
            auto type = Number(a);
            ok = type.has_value() && *type >= 0 && sim.SendRequest(vm, static_cast<uint32_t>(*type));
        } else if (cmd == "module") {
            ok = !a.empty() && !b.empty() && (c.empty() || c == "linux" || c == "windows");
            if (ok) {
                sim.SetModule(vm, {a, b, b, 0, c == "windows" ? ISO_WINDOWS : ISO_LINUX});
            }
        } else if (cmd == "show") {
            ok = Show(sim, vm);
        } else {
            ok = false;
        }
        std::printf(ok ? "ok\n" : "error %s\n", line.c_str());
        std::fflush(stdout);
    }
    return 0;
}
