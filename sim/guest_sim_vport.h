// The guest simulator's in-VM transport: inside a VM the guest tools' end of
// the guest channel is a virtio-serial port, /dev/vportNpM, known by the
// name the domain gives its channel target. There is no udev in the test
// guests, so the port is found through /sys/class/virtio-ports/*/name. The
// answers come from guest_sim_logic, as on the host transport.
//
// A virtio port has no accept: the host side's client comes and goes under
// the open descriptor. While no client is connected the port reads end of
// file at once, so the server waits 100 ms between such reads, and a partly
// read message is dropped when its client goes, and so is an upgrade under
// way.
//
// The guest sees its CD-ROM through /dev/sr0 when its kernel has the driver:
// whether a medium is in, not which file the host attached, so an install
// trusts the name. Without /dev/sr0 (the real-host tier's tiny guests load
// no CD-ROM driver) the check is skipped and the daemon's answer trusted,
// and the next module waits a fixed pause instead of the drive emptying.
// Each state report is also printed on standard output, a line
// "ortavis-guestsim: state NAME CURVERSION TARVERSION RESCODE" per module.
#pragma once

#include <chrono>
#include <string>

#include "guest_sim_logic.h"

namespace guestsim {

// The device node of the virtio port named `name`, or empty when no port of
// that name exists (yet). `sysDir` holds one directory per port, each with a
// "name" file; the node has the directory's name under `devDir`.
std::string FindVport(const std::string &name, const std::string &sysDir = "/sys/class/virtio-ports",
                      const std::string &devDir = "/dev");

// Waits up to `timeout` for the port to appear, opens it and serves the
// daemon's messages as `profile` says, for ever. Prints one line
// "ortavis-guestsim: serving <device> as <name> (<behaviour>)" on standard
// output once the port is open. Returns only when the port cannot be found,
// opened or read: 1, with the reason on standard error.
int ServeVport(const std::string &name, const Profile &profile,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace guestsim
