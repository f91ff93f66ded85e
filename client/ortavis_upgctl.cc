// ortavis-upgctl: the operator's command line for ortavis-upgd. One command,
// one connection, one request through the client library; the daemon's text
// replies go to stdout as they are, control results become one line.
//
// Exit status: 0 done; 1 the daemon refused the request or reports a failure
// (its text, when it sent one, still goes to stdout); 2 a usage error
// (nothing is sent then); 3 the daemon could not be reached or did not answer.
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "ortavis_upgd_raii.h"
#include "ortavis_upgclient.h"

namespace {

constexpr const char *kProg = "ortavis-upgctl";
constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAnswer = 3;

constexpr size_t kVmNameMax = 127;
constexpr size_t kModNameMax = 15;
constexpr size_t kVmListMax = 512;
constexpr long kIntervalMin = 30;
constexpr long kIntervalMax = 525600;

constexpr const char *kHelp =
    "Usage: ortavis-upgctl COMMAND [ARGUMENT...]\n"
    "Query and control the guest-tools upgrade daemon of this host.\n"
    "\n"
    "Commands:\n"
    "  health VM            check the guest channel of VM\n"
    "  fix VM               repair the guest channel of VM\n"
    "  result VM MODULE     show the upgrade result of MODULE inside VM\n"
    "  auto VM 1|2|3        send an automatic-upgrade control value to VM's guest\n"
    "  upgrade VM[,VM...]   upgrade the named VMs now\n"
    "  upgrade no           upgrade all VMs now\n"
    "  interval MINUTES     upgrade all VMs now and every MINUTES (30-525600)\n"
    "  off                  stop the periodic upgrade\n"
    "  help, -h, --help     show this help\n"
    "\n"
    "The daemon listens on /var/run/upgraded_manage (root or group libvirt).\n"
    "Exit status: 0 done, 1 refused or failed, 2 usage error,\n"
    "3 no connection to the daemon or no answer from it.\n";

__attribute__((format(printf, 1, 2))) int Usage(const char *fmt, ...)
{
    std::fprintf(stderr, "%s: ", kProg);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, " (see '%s --help')\n", kProg);
    return kExitUsage;
}

int Fail(const char *what, int status = kExitFail)
{
    std::fprintf(stderr, "%s: %s\n", kProg, what);
    return status;
}

// The daemon could not be reached; err is the connect's errno.
int NoConnection(int err)
{
    std::fprintf(stderr, "%s: cannot connect to /var/run/upgraded_manage: %s\n", kProg, std::strerror(err));
    return kExitNoAnswer;
}

// A request that got no answer; err is the library's errno.
int NoAnswer(int err)
{
    if (err == ETIMEDOUT) {
        return Fail("no answer from the daemon", kExitNoAnswer);
    }
    std::fprintf(stderr, "%s: the request failed: %s\n", kProg, std::strerror(err));
    return kExitNoAnswer;
}

// A decimal number without sign or blanks, within [min, max].
bool ParseNumber(const char *text, long min, long max, long *out)
{
    if (*text < '0' || *text > '9') {
        return false;
    }
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < min || v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool ValidName(const char *name, size_t max)
{
    size_t len = strnlen(name, max + 1);
    return len > 0 && len <= max;
}

struct HandleCloser {
    void operator()(UpgClientHandle *h) const { upgClientClose(h); }
};
using Handle = std::unique_ptr<UpgClientHandle, HandleCloser>;

Handle Connect()
{
    return Handle(upgClientConnect(AF_UNIX));
}

// Prints the outcome of a text request: the daemon's text on stdout, and
// the status its result gives (0 done, anything else refused or failed).
int PrintText(int result, char *reply)
{
    int err = errno;
    MallocText text(reply);
    if (result == -1 && !text) {
        return NoAnswer(err);
    }
    if (text) {
        std::printf("%s\n", text.get());
        return result == 0 ? kExitOk : kExitFail;
    }
    return Fail(result == 0 ? "the daemon sent an empty answer" : "the daemon refused the request");
}

// Prints the outcome of a control request: `done` on stdout for 0, the
// reason on stderr otherwise.
int PrintControl(int result, const char *done)
{
    switch (result) {
    case 0:
        std::printf("%s\n", done);
        return kExitOk;
    case 1:
        return Fail("the daemon refused the request");
    case 2:
        return Fail("an upgrade run is already under way");
    case 3:
        return Fail("none of the named VMs was found");
    case 4:
        return Fail("the request is too long");
    case 5:
        return Fail("a parameter is out of range");
    case -1:
        return Fail("no answer from the daemon", kExitNoAnswer);
    default:
        std::fprintf(stderr, "%s: the daemon answered with unknown code %d\n", kProg, result);
        return kExitFail;
    }
}

int Control(int action, int interval, const char *para, const char *done)
{
    Handle h = Connect();
    if (!h) {
        return NoConnection(errno);
    }
    return PrintControl(upgClientControlUpgrade(h.get(), action, interval, para), done);
}

struct Command {
    std::string_view name;
    int args;   // operands after the command word
};

constexpr Command kCommands[] = {
    {"health", 1}, {"fix", 1}, {"result", 2}, {"auto", 2},
    {"upgrade", 1}, {"interval", 1}, {"off", 0},
};

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        return Usage("missing command");
    }
    std::string_view cmd = argv[1];
    if (cmd == "help" || cmd == "-h" || cmd == "--help") {
        std::fputs(kHelp, stdout);
        return kExitOk;
    }
    const Command *found = nullptr;
    for (const Command &c : kCommands) {
        if (c.name == cmd) {
            found = &c;
        }
    }
    if (found == nullptr) {
        return Usage("unknown command '%s'", argv[1]);
    }
    if (argc - 2 != found->args) {
        return Usage("wrong number of arguments for '%s'", argv[1]);
    }
    char **arg = argv + 2;

    if (cmd == "off") {
        return Control(2, 0, "no", "periodic upgrade stopped");
    }
    if (cmd == "interval") {
        long minutes = 0;
        if (!ParseNumber(arg[0], kIntervalMin, kIntervalMax, &minutes)) {
            return Usage("MINUTES must be a number from 30 to 525600, not '%s'", arg[0]);
        }
        char done[64];
        std::snprintf(done, sizeof(done), "periodic upgrade every %ld minutes", minutes);
        return Control(1, static_cast<int>(minutes), "no", done);
    }
    if (cmd == "upgrade") {
        size_t len = strnlen(arg[0], kVmListMax + 1);
        if (len == 0 || len > kVmListMax) {
            return Usage("the VM list must be 1 to 512 characters");
        }
        return Control(1, 0, arg[0],
                       std::strcmp(arg[0], "no") == 0 ? "upgrade of all VMs requested" : "upgrade requested");
    }

    // The rest ask about one VM.
    if (!ValidName(arg[0], kVmNameMax)) {
        return Usage("VM must be 1 to 127 characters");
    }
    long value = 0;
    if (cmd == "result" && !ValidName(arg[1], kModNameMax)) {
        return Usage("MODULE must be 1 to 15 characters");
    }
    if (cmd == "auto" && !ParseNumber(arg[1], 1, 3, &value)) {
        return Usage("the value must be 1, 2 or 3, not '%s'", arg[1]);
    }

    Handle h = Connect();
    if (!h) {
        return NoConnection(errno);
    }
    char *text = nullptr;
    int result = -1;
    if (cmd == "health" || cmd == "fix") {
        result = upgClientRequest(h.get(), 3, arg[0], nullptr, cmd == "health" ? 1 : 2, &text);
    } else if (cmd == "result") {
        result = upgClientRequest(h.get(), 4, arg[0], arg[1], 0, &text);
    } else {
        result = upgClientRequest(h.get(), 6, arg[0], nullptr, static_cast<int>(value), &text);
    }
    return PrintText(result, text);
}
