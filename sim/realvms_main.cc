// ortavis-realvms: the real-host mode of the simulated host. Inside a realhost
// run (sim/realhost) it boots one tiny VM per argument on the real libvirt and
// QEMU there, each running the guest simulator and the QEMU guest agent, and
// keeps them running until standard input ends or says "quit"; then it
// destroys them.
//
//   ortavis-realvms VM[:TOOLS[:CDROM]]...
//
// TOOLS is the guest simulator's behaviour (answer by default, or "absent");
// CDROM the drive's target dev (hdb by default, "none" for no drive). Prints
// "ready" once every guest serves its channel and its agent answers.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "realhost_vm.h"

int main(int argc, char **argv)
{
    using namespace std::chrono_literals;
    if (argc < 2 || std::string(argv[1]) == "--help") {
        std::fprintf(stderr, "usage: ortavis-realvms VM[:TOOLS[:CDROM]]...\n");
        return 2;
    }
    std::string problem = realhost::RealHost::Problem();
    if (!problem.empty()) {
        std::fprintf(stderr, "ortavis-realvms: %s\n", problem.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<realhost::RealVm>> vms;
    for (int i = 1; i < argc; ++i) {
        std::string parts[3];
        std::istringstream in(argv[i]);
        for (auto &p : parts) {
            std::getline(in, p, ':');
        }
        realhost::RealVmOptions opts;
        if (!parts[1].empty()) {
            opts.tools = parts[1];
        }
        if (!parts[2].empty()) {
            opts.cdromDev = parts[2] == "none" ? "" : parts[2];
        }
        std::string error;
        auto vm = realhost::RealVm::Start(parts[0], opts, &error);
        if (!vm) {
            std::fprintf(stderr, "ortavis-realvms: %s: %s\n", parts[0].c_str(), error.c_str());
            return 1;
        }
        vms.push_back(std::move(vm));
    }
    for (auto &vm : vms) {
        std::string why;
        if (!vm->WaitReady(180s, &why)) {
            std::fprintf(stderr, "ortavis-realvms: %s did not come up: %s\n", vm->Name().c_str(), why.c_str());
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
    }
    return 0;   // the VMs are destroyed with their records
}
