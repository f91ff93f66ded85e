#include "guest_sim_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include "unix_socket.h"

namespace guestsim {

struct HostSim::Vm {
    std::string name;
    VmOptions opts;
    int listenFd = -1;
    int clientFd = -1;
    std::vector<uint8_t> partial;
    std::vector<VmMsg> received;
    int accepted = 0;
    bool halfSent = false;
};

std::string LiveDescription(const std::string &name, const std::string &cdromDev)
{
    std::string xml =
        "<!--\nWARNING: THIS IS AN AUTO-GENERATED FILE. CHANGES TO IT ARE LIKELY TO BE\n"
        "OVERWRITTEN AND LOST. Changes to this xml configuration should be made using:\n"
        "  virsh edit " + name + "\nor other application using the libvirt API.\n-->\n\n"
        "<domstatus state='running' reason='booted' pid='4242'>\n"
        "  <taint flag='high-privileges'/>\n"
        "  <domain type='qemu' id='1'>\n"
        "    <name>" + name + "</name>\n"
        "    <memory unit='KiB'>131072</memory>\n"
        "    <os>\n      <type arch='x86_64' machine='pc-i440fx-7.2'>hvm</type>\n    </os>\n"
        "    <devices>\n"
        "      <emulator>/usr/bin/qemu-system-x86_64</emulator>\n";
    if (cdromDev.size() >= 3) {
        // An empty drive, addressed as libvirt addresses it: two drives per
        // IDE bus (hda, hdb on bus 0; hdc, hdd on bus 1), six per SATA
        // controller on bus 0.
        int index = cdromDev[2] - 'a';
        bool ide = cdromDev.rfind("hd", 0) == 0;
        std::string controller = ide ? "0" : std::to_string(index / 6);
        std::string bus = ide ? std::to_string(index / 2) : "0";
        std::string unit = ide ? std::to_string(index % 2) : std::to_string(index % 6);
        std::string alias = std::string(ide ? "ide" : "sata") + controller + "-" + bus + "-" + unit;
        xml += "      <disk type='file' device='cdrom'>\n"
               "        <driver name='qemu'/>\n"
               "        <target dev='" + cdromDev + "' bus='" + (ide ? "ide" : "sata") + "'/>\n"
               "        <readonly/>\n"
               "        <alias name='" + alias + "'/>\n"
               "        <address type='drive' controller='" + controller + "' bus='" + bus +
               "' target='0' unit='" + unit + "'/>\n"
               "        <privateData>\n"
               "          <qom name='" + alias + "'/>\n"
               "        </privateData>\n"
               "      </disk>\n";
    }
    xml += "      <controller type='virtio-serial' index='0'>\n"
           "        <alias name='virtio-serial0'/>\n"
           "        <address type='pci' domain='0x0000' bus='0x00' slot='0x02' function='0x0'/>\n"
           "      </controller>\n"
           "      <channel type='unix'>\n"
           "        <source mode='bind' path='/var/run/libvirt/qemu/" + name + ".upgraded'/>\n"
           "        <target type='virtio' name='ortavis.upgrade.0' state='connected'/>\n"
           "        <alias name='channel0'/>\n"
           "        <address type='virtio-serial' controller='0' bus='0' port='1'/>\n"
           "      </channel>\n"
           "    </devices>\n"
           "  </domain>\n"
           "</domstatus>\n";
    return xml;
}

HostSim::HostSim(std::string runDir) : runDir_(std::move(runDir))
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::abort();
    }
    thread_ = std::thread([this] { Run(); });
}

HostSim::~HostSim()
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    Wake();
    thread_.join();
    // The host's VMs go with it: a later test starts from an empty run directory.
    for (auto &[name, vm] : vms_) {
        unlink(XmlPath(name).c_str());
        unlink(ChannelPath(name).c_str());
        CloseClient(*vm);
        if (vm->listenFd >= 0) {
            close(vm->listenFd);
        }
    }
    close(wake_[0]);
    close(wake_[1]);
}

std::string HostSim::XmlPath(const std::string &name) const
{
    return runDir_ + "/" + name + ".xml";
}

std::string HostSim::ChannelPath(const std::string &name) const
{
    return runDir_ + "/" + name + ".upgraded";
}

void HostSim::Wake()
{
    char c = 0;
    (void)!write(wake_[1], &c, 1);
}

bool HostSim::AddVm(const std::string &name, const VmOptions &opts)
{
    auto vm = std::make_unique<Vm>();
    vm->name = name;
    vm->opts = opts;
    // The channel first, as a starting VM has it before its live description
    // appears: a discovery pass that sees the description can connect.
    if (opts.listen) {
        vm->listenFd = simhost::BindUnix(ChannelPath(name), SOCK_STREAM | SOCK_NONBLOCK);
        if (vm->listenFd < 0) {
            return false;
        }
    }
    {
        int fd = open(XmlPath(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::string xml = LiveDescription(name, opts.cdromDev);
        bool ok = fd >= 0 && write(fd, xml.data(), xml.size()) == static_cast<ssize_t>(xml.size());
        if (fd >= 0) {
            close(fd);
        }
        if (!ok) {
            if (vm->listenFd >= 0) {
                close(vm->listenFd);
                unlink(ChannelPath(name).c_str());
            }
            return false;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto &slot = vms_[name];
        if (slot) {
            CloseClient(*slot);
            if (slot->listenFd >= 0) {
                close(slot->listenFd);
            }
        }
        slot = std::move(vm);
        ++generation_;
    }
    Wake();
    return true;
}

void HostSim::StopVm(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    if (it == vms_.end()) {
        return;
    }
    unlink(XmlPath(name).c_str());
    unlink(ChannelPath(name).c_str());
    CloseClient(*it->second);
    if (it->second->listenFd >= 0) {
        close(it->second->listenFd);
    }
    vms_.erase(it);
    ++generation_;
    Wake();
}

void HostSim::HangUp(const std::string &name)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    if (it != vms_.end()) {
        CloseClient(*it->second);
        ++generation_;
    }
    Wake();
}

void HostSim::SetBehaviour(const std::string &name, Behaviour b)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    if (it != vms_.end()) {
        it->second->opts.profile.behaviour = b;
    }
}

void HostSim::SetProfile(const std::string &name, const Profile &p)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    if (it != vms_.end()) {
        it->second->opts.profile = p;
    }
}

bool HostSim::SendBytes(const std::string &name, const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    if (it == vms_.end() || it->second->clientFd < 0) {
        return false;
    }
    return simhost::SendAll(it->second->clientFd, bytes.data(), bytes.size());
}

bool HostSim::Send(const std::string &name, const VmMsg &msg)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&msg);
    return SendBytes(name, std::vector<uint8_t>(p, p + sizeof(msg)));
}

std::vector<VmMsg> HostSim::Received(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    return it == vms_.end() ? std::vector<VmMsg>{} : it->second->received;
}

bool HostSim::WaitReceived(const std::string &name, size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        auto it = vms_.find(name);
        return it != vms_.end() && it->second->received.size() >= count;
    });
}

int HostSim::Accepted(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    return it == vms_.end() ? 0 : it->second->accepted;
}

bool HostSim::WaitAccepted(const std::string &name, int count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        auto it = vms_.find(name);
        return it != vms_.end() && it->second->accepted >= count;
    });
}

bool HostSim::Connected(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    return it != vms_.end() && it->second->clientFd >= 0;
}

void HostSim::CloseClient(Vm &vm)
{
    if (vm.clientFd >= 0) {
        close(vm.clientFd);
        vm.clientFd = -1;
    }
    vm.partial.clear();
    vm.halfSent = false;
}

// REQUIRES: mu_ held.
void HostSim::ServeReadable(Vm &vm)
{
    uint8_t buf[4096];
    ssize_t n = recv(vm.clientFd, buf, sizeof(buf), 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        CloseClient(vm);
        return;
    }
    if (n < 0) {
        return;
    }
    vm.partial.insert(vm.partial.end(), buf, buf + n);
    while (vm.partial.size() >= sizeof(VmMsg)) {
        VmMsg in;
        std::memcpy(&in, vm.partial.data(), sizeof(in));
        vm.partial.erase(vm.partial.begin(), vm.partial.begin() + sizeof(VmMsg));
        vm.received.push_back(in);
        cv_.notify_all();
        std::vector<uint8_t> out;
        switch (vm.opts.profile.behaviour) {
        case Behaviour::Answer:
            if (auto answer = guestsim::Answer(in, vm.opts.profile)) {
                const auto *p = reinterpret_cast<const uint8_t *>(&*answer);
                out.assign(p, p + sizeof(VmMsg));
            }
            break;
        case Behaviour::Silent:
            break;
        case Behaviour::HangUp:
            CloseClient(vm);
            return;
        case Behaviour::Half:
            if (!vm.halfSent) {
                if (auto answer = guestsim::Answer(in, vm.opts.profile)) {
                    const auto *p = reinterpret_cast<const uint8_t *>(&*answer);
                    out.assign(p, p + sizeof(VmMsg) / 2);
                    vm.halfSent = true;
                }
            }
            break;
        case Behaviour::Garbage:
            out = Junk();
            break;
        case Behaviour::Deaf:
            break;
        }
        if (!out.empty()) {
            (void)!send(vm.clientFd, out.data(), out.size(), MSG_NOSIGNAL);
        }
    }
}

void HostSim::Run()
{
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        std::vector<Vm *> owners{nullptr};
        uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) {
                return;
            }
            generation = generation_;
            for (auto &[name, vm] : vms_) {
                if (vm->clientFd >= 0 && vm->opts.profile.behaviour == Behaviour::Deaf) {
                    continue;   // connected, never read: the socket's buffers fill up
                }
                if (vm->clientFd >= 0) {
                    fds.push_back({vm->clientFd, POLLIN, 0});
                    owners.push_back(vm.get());
                } else if (vm->listenFd >= 0) {
                    // One client at a time: the next waits in the backlog.
                    fds.push_back({vm->listenFd, POLLIN, 0});
                    owners.push_back(vm.get());
                }
            }
        }
        if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (read(wake_[0], drain, sizeof(drain)) > 0) {
            }
            continue;   // the set of VMs may have changed: rebuild
        }
        std::lock_guard<std::mutex> lock(mu_);
        if (generation != generation_) {
            continue;   // a VM came or went since the poll set was built
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            Vm &vm = *owners[i];
            if (fds[i].fd == vm.listenFd) {
                int fd = accept4(vm.listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd >= 0) {
                    vm.clientFd = fd;
                    vm.accepted++;
                    cv_.notify_all();
                }
            } else if (fds[i].fd == vm.clientFd) {
                ServeReadable(vm);
            }
        }
    }
}

}  // namespace guestsim
