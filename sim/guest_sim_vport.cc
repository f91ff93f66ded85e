// The guest simulator inside a VM, on its virtio-serial port; the story is
// in the header.
#include "guest_sim_vport.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/cdrom.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace guestsim {

namespace {

using namespace std::chrono_literals;

bool WriteAll(int fd, const void *data, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// What the guest sees of its CD-ROM: through the first CD-ROM device when
// the guest has a driver for it, whether a medium is in (not which file it
// came from); Unseen when there is no such device.
Drive ProbeCdrom()
{
    int fd = open("/dev/sr0", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return {Drive::State::Unseen, ""};
    }
    int status = ioctl(fd, CDROM_DRIVE_STATUS, CDSL_CURRENT);
    close(fd);
    return {status == CDS_DISC_OK ? Drive::State::Holds : Drive::State::Empty, ""};
}

class PortServer {
public:
    PortServer(std::string device, const Profile &profile) : device_(std::move(device)), guest_(profile) {}
    ~PortServer()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }

    bool Open()
    {
        fd_ = open(device_.c_str(), O_RDWR | O_CLOEXEC);
        return fd_ >= 0;
    }

    // Serves until a read fails for good.
    int Run()
    {
        uint8_t buf[4096];
        for (;;) {
            if (guest_.profile().behaviour == Behaviour::Deaf) {
                std::this_thread::sleep_for(std::chrono::hours(1));   // what the host sends piles up
                continue;
            }
            if (guest_.Busy()) {
                Write(guest_.Tick(ProbeCdrom));
            }
            pollfd pfd{fd_, POLLIN, 0};
            int ready = poll(&pfd, 1, guest_.Busy() ? 100 : -1);
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::perror("ortavis-guestsim: poll");
                return 1;
            }
            if (ready == 0) {
                continue;
            }
            ssize_t n = read(fd_, buf, sizeof(buf));
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n < 0) {
                std::perror("ortavis-guestsim: read");
                return 1;
            }
            if (n == 0) {
                // No client on the host side: whatever it left half-sent is
                // gone with it, and the next client starts afresh.
                partial_.clear();
                halfSent_ = false;
                guest_.Drop();
                std::this_thread::sleep_for(100ms);
                continue;
            }
            partial_.insert(partial_.end(), buf, buf + n);
            while (partial_.size() >= sizeof(VmMsg)) {
                VmMsg in;
                std::memcpy(&in, partial_.data(), sizeof(in));
                partial_.erase(partial_.begin(), partial_.begin() + sizeof(VmMsg));
                if (!Handle(in)) {
                    return 1;
                }
            }
        }
    }

private:
    // Writes the guest's messages; a state report is also printed, module
    // by module, for whoever watches the console.
    void Write(const std::vector<VmMsg> &msgs)
    {
        for (const VmMsg &m : msgs) {
            WriteAll(fd_, &m, sizeof(m));
            if (m.msgType != VM_RSP_UPGRADE_STATE_MSG) {
                continue;
            }
            for (const Module &mod : guest_.profile().modules) {
                std::printf("ortavis-guestsim: state %s %s %s %d\n", mod.name.c_str(), mod.curversion.c_str(),
                            mod.tarversion.c_str(), mod.rescode);
            }
            std::fflush(stdout);
        }
    }

    bool Handle(const VmMsg &in)
    {
        Behaviour b = guest_.profile().behaviour;
        if (Answers(b)) {
            Write(guest_.Receive(in, ProbeCdrom));
            return true;
        }
        switch (b) {
        case Behaviour::Silent:
            return true;
        case Behaviour::HalfReset:
            if (std::vector<VmMsg> out = guest_.Receive(in, ProbeCdrom); !out.empty()) {
                WriteAll(fd_, &out.front(), sizeof(VmMsg) / 2);
            }
            [[fallthrough]];
        case Behaviour::HangUp:
        case Behaviour::Reset:
            // The guest tools close their end and open it again; the host
            // side's client stays connected to the hypervisor meanwhile (a
            // virtio port has no reset to pass on: Reset is a hang-up here).
            close(fd_);
            fd_ = -1;
            partial_.clear();
            guest_.Drop();
            std::this_thread::sleep_for(200ms);
            if (!Open()) {
                std::perror("ortavis-guestsim: reopen");
                return false;
            }
            return true;
        case Behaviour::Half:
            if (!halfSent_) {
                std::vector<VmMsg> out = guest_.Receive(in, ProbeCdrom);
                if (!out.empty()) {
                    WriteAll(fd_, &out.front(), sizeof(VmMsg) / 2);
                    halfSent_ = true;
                }
            }
            return true;
        case Behaviour::Garbage: {
            auto junk = Junk();
            WriteAll(fd_, junk.data(), junk.size());
            return true;
        }
        default:   // Deaf
            return true;
        }
    }

    std::string device_;
    Guest guest_;
    int fd_ = -1;
    std::vector<uint8_t> partial_;
    bool halfSent_ = false;
};

}  // namespace

std::string FindVport(const std::string &name, const std::string &sysDir, const std::string &devDir)
{
    DIR *dir = opendir(sysDir.c_str());
    if (dir == nullptr) {
        return "";
    }
    std::string found;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(sysDir + "/" + e->d_name + "/name");
        std::string portName;
        if (std::getline(in, portName) && portName == name) {
            found = devDir + "/" + e->d_name;
            break;
        }
    }
    closedir(dir);
    return found;
}

int ServeVport(const std::string &name, const Profile &profile, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string device;
    while ((device = FindVport(name)).empty()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "ortavis-guestsim: no virtio port named %s\n", name.c_str());
            return 1;
        }
        std::this_thread::sleep_for(100ms);
    }
    PortServer server(device, profile);
    // devtmpfs may add the node a moment after sysfs shows the port.
    while (!server.Open()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "ortavis-guestsim: cannot open %s: %s\n", device.c_str(), std::strerror(errno));
            return 1;
        }
        std::this_thread::sleep_for(100ms);
    }
    std::printf("ortavis-guestsim: serving %s as %s (%s)\n", device.c_str(), name.c_str(),
                BehaviourName(profile.behaviour));
    std::fflush(stdout);
    return server.Run();
}

}  // namespace guestsim
