// Binds /dev/log inside the sandbox and prints every message logged there
// (without the syslog header) until SIGTERM or SIGINT. The demonstration
// uses it to show what the daemon logs.
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "upgd_sandbox.h"

int main()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    upgd_test::LogCollector log;
    std::printf("logsink: collecting /dev/log\n");
    std::fflush(stdout);
    size_t shown = 0;
    timespec tick{0, 50 * 1000 * 1000};
    for (;;) {
        int sig = sigtimedwait(&set, nullptr, &tick);
        auto lines = log.Lines();
        for (; shown < lines.size(); ++shown) {
            std::printf("%s\n", upgd_test::LogCollector::Message(lines[shown]).c_str());
        }
        std::fflush(stdout);
        if (sig > 0) {
            return 0;
        }
    }
}
