// ortavis-logsink: binds the datagram socket /dev/log inside the sandbox and
// prints every message logged there, without its syslog header
// ("<pri>Mmm dd hh:mm:ss "), one per line, until SIGTERM or SIGINT. The
// simulated host runs it so that what the daemon logs is seen where it runs.
//
// It replaces whatever /dev/log is, so it runs only where /dev is the
// sandbox's own (sim/sandbox: a private mount namespace with a tmpfs named
// sandbox-dev over /dev). Run by hand on a host, it would cut the host's
// logging off; there it refuses and changes nothing.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

namespace {

// The message after "<pri>" and the 15-character timestamp with its space.
std::string_view WithoutHeader(std::string_view line)
{
    if (!line.empty() && line.front() == '<') {
        size_t close = line.find('>');
        if (close != std::string_view::npos && line.size() > close + 17) {
            return line.substr(close + 17);
        }
    }
    return line;
}

// True when /dev is the sandbox's tmpfs, and the mount namespace is not pid
// 1's (where pid 1's can be read at all: in a container it often cannot).
bool InsideSandbox()
{
    char self[64] = {0}, init[64] = {0};
    if (readlink("/proc/self/ns/mnt", self, sizeof(self) - 1) > 0 &&
        readlink("/proc/1/ns/mnt", init, sizeof(init) - 1) > 0 && std::strcmp(self, init) == 0) {
        return false;
    }
    // mountinfo: id parent major:minor root mountpoint options [tags] - fstype source superoptions
    std::ifstream info("/proc/self/mountinfo");
    bool sandboxDev = false;
    for (std::string line; std::getline(info, line);) {
        std::istringstream fields(line);
        std::string id, parent, dev, root, point;
        fields >> id >> parent >> dev >> root >> point;
        size_t dash = line.find(" - ");
        if (point == "/dev" && dash != std::string::npos) {
            // The last mount on /dev is the one seen.
            sandboxDev = std::string_view(line).substr(dash).starts_with(" - tmpfs sandbox-dev ");
        }
    }
    return sandboxDev;
}

}  // namespace

int main()
{
    if (!InsideSandbox()) {
        std::fprintf(stderr, "ortavis-logsink: /dev is not the sandbox's: refusing to replace this host's /dev/log "
                             "(run it inside sim/sandbox)\n");
        return 2;
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, "/dev/log", sizeof(addr.sun_path) - 1);
    unlink(addr.sun_path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        std::perror("ortavis-logsink: /dev/log");
        return 1;
    }
    std::printf("logsink: collecting /dev/log\n");
    std::fflush(stdout);
    char buf[8192];
    for (;;) {
        pollfd pfd{fd, POLLIN, 0};
        int ready = poll(&pfd, 1, 50);
        while (ready > 0) {
            ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            std::string_view line(buf, static_cast<size_t>(n));
            while (!line.empty() && (line.back() == '\n' || line.back() == '\0')) {
                line.remove_suffix(1);
            }
            line = WithoutHeader(line);
            std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
        }
        std::fflush(stdout);
        timespec none{0, 0};
        if (sigtimedwait(&stop, nullptr, &none) > 0) {
            unlink(addr.sun_path);
            return 0;
        }
    }
}
