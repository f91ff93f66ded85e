#include "guest_sim_vport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
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

class PortServer {
public:
    PortServer(std::string device, const Profile &profile) : device_(std::move(device)), profile_(profile) {}
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
            if (profile_.behaviour == Behaviour::Deaf) {
                std::this_thread::sleep_for(std::chrono::hours(1));   // what the host sends piles up
                continue;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (poll(&pfd, 1, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::perror("ortavis-guestsim: poll");
                return 1;
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
    bool Handle(const VmMsg &in)
    {
        switch (profile_.behaviour) {
        case Behaviour::Answer:
            if (auto answer = Answer(in, profile_)) {
                WriteAll(fd_, &*answer, sizeof(*answer));
            }
            return true;
        case Behaviour::Silent:
            return true;
        case Behaviour::HangUp:
            // The guest tools close their end and open it again; the host
            // side's client stays connected to the hypervisor meanwhile.
            close(fd_);
            fd_ = -1;
            partial_.clear();
            std::this_thread::sleep_for(200ms);
            if (!Open()) {
                std::perror("ortavis-guestsim: reopen");
                return false;
            }
            return true;
        case Behaviour::Half:
            if (!halfSent_) {
                if (auto answer = Answer(in, profile_)) {
                    WriteAll(fd_, &*answer, sizeof(*answer) / 2);
                    halfSent_ = true;
                }
            }
            return true;
        case Behaviour::Garbage: {
            auto junk = Junk();
            WriteAll(fd_, junk.data(), junk.size());
            return true;
        }
        case Behaviour::Deaf:
            return true;
        }
        return true;
    }

    std::string device_;
    Profile profile_;
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
