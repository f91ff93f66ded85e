// ortavis-logsink: binds the datagram socket /dev/log inside the sandbox and
// prints every message logged there, without its syslog header
// ("<pri>Mmm dd hh:mm:ss "), one per line, until SIGTERM or SIGINT. The
// simulated host runs it so that what the daemon logs is seen where it runs.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
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

}  // namespace

int main()
{
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
