// The guest simulator's host transport: each VM's live description and
// listening guest channel, served by one thread; the story is in the header.
#include "guest_sim_host.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include "unix_socket.h"

namespace guestsim {

struct HostSim::Vm {
    std::string name;
    VmOptions opts;   // opts.profile: as added; the guest's own state is in guest
    Guest guest;
    int listenFd = -1;
    int clientFd = -1;
    std::vector<uint8_t> partial;
    std::vector<VmMsg> received;
    std::vector<VmMsg> sent;
    int accepted = 0;
    bool halfSent = false;
    size_t floodSent = 0;   // bytes of the flood's message written so far
    std::chrono::steady_clock::time_point nextDrip{};
};

namespace {

constexpr int kIdlePollMs = 1000;
constexpr int kBusyPollMs = 100;   // while a guest is in an upgrade: its drive is watched this often
constexpr auto kDripEvery = std::chrono::milliseconds(200);
constexpr size_t kFloodPerPass = 64;   // messages: the other VMs are served between two rounds of a flood

// What a flooding guest writes again and again.
VmMsg FloodMessage()
{
    VmMsg msg{};
    msg.msgId = 999999;   // an answer nobody waits for
    msg.msgType = HOST_MSG_HEALTH_CHECK;
    SetText(msg.module[0].checkresult, sizeof(msg.module[0].checkresult), "x\n<== BYE ==>");
    return msg;
}

// An attribute value as libvirt writes it, unescaped.
std::string Unescape(std::string s)
{
    static const std::pair<const char *, char> entities[] = {
        {"&apos;", '\''}, {"&quot;", '"'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}};
    for (const auto &[entity, c] : entities) {
        for (size_t at = s.find(entity); at != std::string::npos; at = s.find(entity, at + 1)) {
            s.replace(at, std::strlen(entity), 1, c);
        }
    }
    return s;
}

}  // namespace

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

std::string CdromMedium(const std::string &xmlPath, const std::string &dev)
{
    std::ifstream in(xmlPath);
    std::string xml(std::istreambuf_iterator<char>(in), {});
    for (size_t at = xml.find("<disk "); at != std::string::npos; at = xml.find("<disk ", at + 1)) {
        size_t end = xml.find("</disk>", at);
        if (end == std::string::npos) {
            break;
        }
        std::string block = xml.substr(at, end - at);
        if (block.find("device='cdrom'") == std::string::npos ||
            (!dev.empty() && block.find("<target dev='" + dev + "'") == std::string::npos)) {
            continue;
        }
        const std::string key = "<source file='";
        size_t from = block.find(key);
        if (from == std::string::npos) {
            return "";
        }
        from += key.size();
        return Unescape(block.substr(from, block.find('\'', from) - from));
    }
    return "";
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
    vm->guest = Guest(opts.profile);
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

void HostSim::SetBehaviour(const std::string &name, Behaviour b, std::optional<int32_t> badModuleNum)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = vms_.find(name);
        if (it == vms_.end()) {
            return;
        }
        it->second->guest.profile().behaviour = b;
        if (badModuleNum) {
            it->second->guest.profile().badModuleNum = *badModuleNum;
        }
    }
    Wake();   // a Deaf guest's channel leaves the poll set, another's comes back
}

void HostSim::SetProfile(const std::string &name, const Profile &p)
{
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = vms_.find(name);
        if (it == vms_.end()) {
            return;
        }
        it->second->guest = Guest(p);
    }
    Wake();
}

void HostSim::SetModule(const std::string &name, const Module &m)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    if (it == vms_.end()) {
        return;
    }
    auto &modules = it->second->guest.profile().modules;
    auto same = std::find_if(modules.begin(), modules.end(),
                             [&](const Module &o) { return o.name == m.name && o.type == m.type; });
    if (same == modules.end()) {
        modules.push_back(m);
    } else {
        *same = m;
    }
}

bool HostSim::SendBytes(const std::string &name, const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    if (it == vms_.end() || it->second->clientFd < 0) {
        return false;
    }
    if (!simhost::SendAll(it->second->clientFd, bytes.data(), bytes.size())) {
        return false;
    }
    for (size_t at = 0; at + sizeof(VmMsg) <= bytes.size(); at += sizeof(VmMsg)) {
        VmMsg msg;
        std::memcpy(&msg, bytes.data() + at, sizeof(msg));
        it->second->sent.push_back(msg);
    }
    cv_.notify_all();
    return true;
}

bool HostSim::Send(const std::string &name, const VmMsg &msg)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&msg);
    return SendBytes(name, std::vector<uint8_t>(p, p + sizeof(msg)));
}

bool HostSim::SendRequest(const std::string &name, uint32_t msgType)
{
    VmMsg msg;
    {
        std::lock_guard<std::mutex> lock(mu_);
        auto it = vms_.find(name);
        if (it == vms_.end() || it->second->clientFd < 0) {
            return false;
        }
        msg = it->second->guest.Request(msgType);
    }
    return Send(name, msg);
}

template <typename Pred>
bool HostSim::WaitVm(const std::string &name, std::chrono::milliseconds timeout, Pred pred) const
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
        auto it = vms_.find(name);
        return it != vms_.end() && pred(*it->second);
    });
}

std::vector<VmMsg> HostSim::Received(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    return it == vms_.end() ? std::vector<VmMsg>{} : it->second->received;
}

bool HostSim::WaitReceived(const std::string &name, size_t count, std::chrono::milliseconds timeout) const
{
    return WaitVm(name, timeout, [&](const Vm &vm) { return vm.received.size() >= count; });
}

std::vector<VmMsg> HostSim::Sent(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    return it == vms_.end() ? std::vector<VmMsg>{} : it->second->sent;
}

bool HostSim::WaitSent(const std::string &name, size_t count, std::chrono::milliseconds timeout) const
{
    return WaitVm(name, timeout, [&](const Vm &vm) { return vm.sent.size() >= count; });
}

std::vector<Module> HostSim::Modules(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    return it == vms_.end() ? std::vector<Module>{} : it->second->guest.profile().modules;
}

bool HostSim::Upgrading(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    return it != vms_.end() && it->second->guest.Busy();
}

int HostSim::Accepted(const std::string &name) const
{
    std::lock_guard<std::mutex> lock(mu_);
    auto it = vms_.find(name);
    return it == vms_.end() ? 0 : it->second->accepted;
}

bool HostSim::WaitAccepted(const std::string &name, int count, std::chrono::milliseconds timeout) const
{
    return WaitVm(name, timeout, [&](const Vm &vm) { return vm.accepted >= count; });
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
    vm.guest.Drop();
}

// REQUIRES: mu_ held.
Drive HostSim::ReadDrive(const Vm &vm) const
{
    std::string file = CdromMedium(XmlPath(vm.name), vm.opts.cdromDev);
    return {file.empty() ? Drive::State::Empty : Drive::State::Holds, file};   // no such drive: nothing in it
}

// REQUIRES: mu_ held.
void HostSim::Write(Vm &vm, const std::vector<VmMsg> &msgs)
{
    for (const VmMsg &m : msgs) {
        if (vm.clientFd < 0 || send(vm.clientFd, &m, sizeof(m), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(m))) {
            return;
        }
        vm.sent.push_back(m);
    }
    cv_.notify_all();
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
        Behaviour b = vm.guest.profile().behaviour;
        if (Answers(b)) {
            Write(vm, vm.guest.Receive(in, [&] { return ReadDrive(vm); }));
            continue;
        }
        switch (b) {
        case Behaviour::HangUp:
        case Behaviour::Reset:   // the message arrived with the rest already read
        case Behaviour::HalfReset:
            CloseClient(vm);
            return;
        case Behaviour::Half:
            if (!vm.halfSent) {
                std::vector<VmMsg> out = vm.guest.Receive(in, [&] { return ReadDrive(vm); });
                if (!out.empty()) {
                    (void)!send(vm.clientFd, &out.front(), sizeof(VmMsg) / 2, MSG_NOSIGNAL);
                    vm.halfSent = true;
                }
            }
            break;
        case Behaviour::Garbage: {
            std::vector<uint8_t> junk = Junk();
            VmMsg msg;
            std::memcpy(&msg, junk.data(), sizeof(msg));
            Write(vm, {msg});
            break;
        }
        default:   // Silent, and Deaf while it still reads what came before
            break;
        }
    }
}

// REQUIRES: mu_ held. Writes what the channel takes now, a bounded round.
void HostSim::FloodSome(Vm &vm)
{
    static const VmMsg msg = FloodMessage();
    const char *bytes = reinterpret_cast<const char *>(&msg);
    for (size_t round = 0; round < kFloodPerPass * sizeof(msg);) {
        ssize_t n = send(vm.clientFd, bytes + vm.floodSent, sizeof(msg) - vm.floodSent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            CloseClient(vm);
        }
        if (n <= 0) {
            return;
        }
        vm.floodSent = (vm.floodSent + static_cast<size_t>(n)) % sizeof(msg);
        round += static_cast<size_t>(n);
    }
}

void HostSim::Run()
{
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        std::vector<Vm *> owners{nullptr};
        uint64_t generation = 0;
        int timeoutMs = kIdlePollMs;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_) {
                return;
            }
            generation = generation_;
            for (auto &[name, vm] : vms_) {
                if (vm->clientFd >= 0 && vm->guest.Busy()) {
                    timeoutMs = kBusyPollMs;
                }
                if (vm->clientFd >= 0 && vm->guest.profile().behaviour == Behaviour::Deaf) {
                    continue;   // connected, never read: the socket's buffers fill up
                }
                if (vm->clientFd >= 0) {
                    Behaviour b = vm->guest.profile().behaviour;
                    fds.push_back({vm->clientFd, static_cast<short>(POLLIN | (b == Behaviour::Flood ? POLLOUT : 0)), 0});
                    owners.push_back(vm.get());
                    timeoutMs = b == Behaviour::Dribble ? kBusyPollMs : timeoutMs;
                } else if (vm->listenFd >= 0) {
                    // One client at a time: the next waits in the backlog.
                    fds.push_back({vm->listenFd, POLLIN, 0});
                    owners.push_back(vm.get());
                }
            }
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
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
                    vm.floodSent = 0;
                    if (vm.guest.profile().behaviour == Behaviour::HalfClose) {
                        (void)shutdown(fd, SHUT_WR);
                    }
                    cv_.notify_all();
                }
            } else if (fds[i].fd == vm.clientFd && (fds[i].revents & POLLIN) != 0 &&
                       (vm.guest.profile().behaviour == Behaviour::Reset ||
                        vm.guest.profile().behaviour == Behaviour::HalfReset)) {
                // Closed with the message unread in its receive queue: the
                // kernel reports ECONNRESET to the daemon's next read, as a
                // lingerless close resets a TCP peer. A half-reset guest
                // first looks at the message and writes half its answer,
                // which the daemon reads before the reset.
                if (vm.guest.profile().behaviour == Behaviour::HalfReset) {
                    VmMsg in;
                    if (recv(vm.clientFd, &in, sizeof(in), MSG_PEEK) != static_cast<ssize_t>(sizeof(in))) {
                        continue;   // the rest of it is on its way
                    }
                    std::vector<VmMsg> out = vm.guest.Receive(in, [&] { return ReadDrive(vm); });
                    if (!out.empty()) {
                        (void)!send(vm.clientFd, &out.front(), sizeof(VmMsg) / 2, MSG_NOSIGNAL);
                    }
                }
                linger off{1, 0};
                (void)setsockopt(vm.clientFd, SOL_SOCKET, SO_LINGER, &off, sizeof(off));
                CloseClient(vm);
            } else if (fds[i].fd == vm.clientFd) {
                if (fds[i].revents & POLLOUT) {
                    FloodSome(vm);
                }
                if (vm.clientFd >= 0 && (fds[i].revents & ~POLLOUT) != 0) {
                    ServeReadable(vm);
                }
            }
        }
        auto now = std::chrono::steady_clock::now();
        for (auto &entry : vms_) {
            Vm &vm = *entry.second;
            if (vm.clientFd >= 0 && vm.guest.profile().behaviour == Behaviour::Dribble && now >= vm.nextDrip) {
                const char byte = 10;
                (void)!send(vm.clientFd, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                vm.nextDrip = now + kDripEvery;
            }
        }
        // The guests in an upgrade that may go on without a message.
        for (auto &entry : vms_) {
            Vm *vm = entry.second.get();   // not a structured binding: clang before 16 cannot capture one
            if (vm->clientFd >= 0 && vm->guest.Busy() && Answers(vm->guest.profile().behaviour)) {
                Write(*vm, vm->guest.Tick([&] { return ReadDrive(*vm); }));
            }
        }
    }
}

}  // namespace guestsim
