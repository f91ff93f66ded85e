// ortavis-upgctl: the operator's command line for ortavis-upgd. One command,
// one connection, requests through the client library; the daemon's text
// replies go to stdout as they are, control results become one line. With
// --json each answer is one JSON object on one line instead, for scripts,
// and every object carries a fixed "code" that names its exit status.
// `status` asks several VMs at once (a few connections in parallel) for their
// guest channel and module results and prints one table.
//
// Options may stand anywhere (getopt_long); "--" ends them, so a VM whose
// name starts with '-' can still be named. The exit statuses are kExits in
// ortavis_upgctl_output.cc; the help text, the manual page and the operator's
// page list them.
//
// This file is the command line: the commands table, the help, the parsing of
// options and operands, and main. The rest, by area:
//   ortavis_upgctl_output.cc    exit statuses, options, JSON, table and printable output, connection
//   ortavis_upgctl_requests.cc  text requests, upgrade control, status
//   ortavis_upgctl_glance.cc    the host at a glance: list, info, metrics, following a run
// and ortavis_upgctl_internal.h what they share.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ortavis_upgctl_internal.h"

namespace upgctl {
namespace {

constexpr int kTimeoutMax = 3600;
constexpr const char *kProductModule = "ortavis";

// ---- Command line -----------------------------------------------------------

struct Command {
    std::string_view name;
    int minArgs, maxArgs;   // operands after the command word; -1: no limit
    const char *synopsis;
    const char *summary;    // for the command list
    const char *help;
};

constexpr Command kCommands[] = {
    {"list", 0, 0, "list", "every running VM: channel, state, tools, modules, ISO",
     "One row per running VM, from the daemon's memory (no guest is asked): its\n"
     "channel (up/down), upgrade state, tools (current, out-of-date: a module is\n"
     "offered at another version, no-answer: channel down or guest agent silent,\n"
     "unknown: nothing reported since the daemon started), the modules its guest\n"
     "last reported (name=current, ->offered when that differs) and the daemon's ISO\n"
     "in its drive; then a summary line. Exits 4 when a VM does not answer, else 5\n"
     "when one is out of date, else 0: usable as a monitoring check.\n"},
    {"info", 0, 0, "info", "the daemon's state: run, interval, offer, counts",
     "The daemon's own state: version, start, interval and next timer, the run under\n"
     "way (mode, VMs done of all, the VM served now), the ISO offer, counts since\n"
     "the start.\n"},
    {"metrics", 0, 0, "metrics", "the state in the Prometheus text format",
     "The host state in the Prometheus text exposition format, for a textfile\n"
     "collector: per-VM state and out-of-date gauges, counts since the start,\n"
     "start time and version.\n"},
    {"health", 1, 1, "health VM", "health check of VM's guest tools", "Health check of VM's guest tools. The daemon adds its own findings about the\n"
                                  "VM's CD-ROM drive: 9 (not on hdb: the VM cannot be upgraded), 4 (the drive\n"
                                  "on hdb holds a medium); either exits 5.\n"},
    {"fix", 1, 1, "fix VM", "repair the guest side of VM's channel", "Repair the guest side of VM's channel. A 2 in the answer stands for a CD-ROM\n"
                            "finding (as 9 or 4 of health) and exits 5.\n"},
    {"result", 2, 2, "result VM MODULE", "upgrade result of MODULE inside VM", "Upgrade result of MODULE inside VM: module,current,code,target. A code\n"
                                         "other than 0 (2 pending, 9 ISO not attached, 13 guest agent silent, any\n"
                                         "other the guest's failure) exits 5.\n"},
    {"auto", 2, 2, "auto VM 1|2|3", "automatic-upgrade control value for VM's guest", "Send an automatic-upgrade control value to VM's guest tools.\n"},
    {"upgrade", 1, 1, "upgrade [--wait] VM[,VM...]|no", "upgrade these VMs now (\"no\": all VMs)",
     "Upgrade the named VMs now, or all VMs with \"no\". When no run is under way one\n"
     "starts; otherwise the run under way takes the named VMs as well, and they\n"
     "stay named: the next run, whatever starts it, serves them again, and only\n"
     "them. Each named VM that is not running is warned about on stderr; when none\n"
     "is running the daemon refuses (exit 1). \"no\" while a run is under way\n"
     "is refused as well. With -w/--wait: follows the run until it has served the\n"
     "VMs (the named ones, or all) and each has answered, progress on stderr; exits\n"
     "0 when every one of them ends up to date, else 5.\n"},
    {"interval", 1, 1, "interval MINUTES", "upgrade all VMs every MINUTES",
     "Upgrade all VMs every MINUTES (30-525600), stored for the daemon's next start.\n"
     "A run starts now as well, unless one is under way.\n"},
    {"off", 0, 0, "off", "stop the periodic upgrade", "Stop the periodic upgrade (stored as well).\n"},
    {"status", 1, -1, "status [-m MODULE[,MODULE...]] VM...", "one table of the VMs' channels and module results",
     "One table of each VM's guest channel and module results: the modules the\n"
     "daemon offers (ortavis when it offers none or does not tell), or -m's. Channel\n"
     "states: answering, upgrading, unreachable (its guest agent does not answer),\n"
     "refused (the daemon knows no such running VM), silent (no answer in time),\n"
     "no-daemon. Exits with the worst of its requests: 3, 4, 1, 5, 0 in that order.\n"},
    {"help", 0, 1, "help [COMMAND]", "this help, or a command's", "Show the help, or a command's.\n"},
};

const Command *FindCommand(std::string_view name)
{
    for (const Command &c : kCommands) {
        if (c.name == name) {
            return &c;
        }
    }
    return nullptr;
}

int Help(const Command *c)
{
    if (c != nullptr) {
        std::printf("Usage: %s [OPTION...] %s\n\n%s", kProg, c->synopsis, c->help);
        std::printf("\nOptions as for every command; exit statuses in '%s --help'.\n", kProg);
        return kExitOk;
    }
    std::printf("Usage: %s [OPTION...] COMMAND [ARGUMENT...]\n"
                "Query and control the guest-tools upgrade daemon of this host.\n\nCommands:\n",
                kProg);
    for (const Command &cmd : kCommands) {
        std::printf("  %-37s %s\n", cmd.synopsis, cmd.summary);
    }
    std::printf("\nOptions (anywhere; -- ends them):\n"
                "  -j, --json           one JSON object per answer, one line each (status: one\n"
                "                       per VM), each with a fixed \"code\" (below)\n"
                "  -q, --quiet          nothing on stdout, no warnings: the exit status tells\n"
                "  -t, --timeout SECONDS  wait at most this long for an answer (1-3600, default 10)\n"
                "  -m, --module LIST    status: the modules to ask about\n"
                "  -w, --wait           upgrade: follow the run until its VMs have answered\n"
                "  -h, --help           this help, or the command's ('COMMAND --help')\n"
                "  -V, --version        the version\n\n"
                "The daemon listens on " UPGD_MANAGE_SOCKET " (root or group libvirt).\n");
    PrintExitTable();
    std::printf("\nSee ortavis-upgctl(1) and ortavis-upgd(8).\n");
    return kExitOk;
}

// A decimal number without sign or blanks, within [min, max].
bool ParseNumber(const char *text, long min, long max, long *out)
{
    if (*text < '0' || *text > '9') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || v < min || v > max) {
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

// "a,b,c" into its names, each 1 to MOD_NAME_MAX characters.
bool SplitModules(std::string_view list, std::vector<std::string> *out)
{
    for (size_t start = 0;;) {
        size_t comma = list.find(',', start);
        std::string_view name = list.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (name.empty() || name.size() > MOD_NAME_MAX) {
            return false;
        }
        out->emplace_back(name);
        if (comma == std::string_view::npos) {
            return true;
        }
        start = comma + 1;
    }
}

// The modules the daemon offers, as its host state tells, each once and in
// name order; the product module alone when the daemon does not tell (an
// older daemon, or none reached) or offers nothing.
std::vector<std::string> OfferedModules()
{
    std::set<std::string> modules;
    Handle h = Connect();
    UpgClientHostState *raw = nullptr;
    if (h && upgClientGetHostState(h.get(), &raw) == 0) {
        HostState s(raw);
        for (int i = 0; i < s->offerCount; ++i) {
            modules.emplace(s->offer[i].module);
        }
    }
    if (modules.empty()) {
        return {kProductModule};
    }
    return {modules.begin(), modules.end()};
}

int StatusCommand(char **arg, int count)
{
    std::vector<std::string> modules;
    if (g_opt.modules != nullptr && !SplitModules(g_opt.modules, &modules)) {
        return Usage("-m takes a comma-separated list of module names of 1 to 15 characters");
    }
    for (int i = 0; i < count; ++i) {
        if (!ValidName(arg[i], VM_NAME_MAX)) {
            return Usage("VM must be 1 to 127 characters");
        }
    }
    return Status(arg, count, modules.empty() ? OfferedModules() : modules);
}

int RunCommand(const Command &c, char **arg, int count)
{
    Json control;
    control["request"] = g_command;
    control["type"] = UPG_START_UPGRADE_MSG;
    if (c.name == "status") {
        return StatusCommand(arg, count);
    }
    if (c.name == "list") {
        return List();
    }
    if (c.name == "info") {
        return ShowInfo();
    }
    if (c.name == "metrics") {
        return Metrics();
    }
    if (c.name == "off") {
        return Control(control, UPG_ACTION_STOP, 0, UPG_PARA_ALL_VMS, "periodic upgrade stopped");
    }
    if (c.name == "interval") {
        long minutes = 0;
        if (!ParseNumber(arg[0], UPGD_INTERVAL_MIN, UPGD_INTERVAL_MAX, &minutes)) {
            return Usage("MINUTES must be a number from 30 to 525600, not '%s'", arg[0]);
        }
        control["interval"] = minutes;
        return Control(control, UPG_ACTION_START, static_cast<int>(minutes), UPG_PARA_ALL_VMS,
                       "periodic upgrade every " + std::to_string(minutes) +
                           " minutes; a run starts now unless one is under way");
    }
    if (c.name == "upgrade") {
        size_t len = strnlen(arg[0], UPGRADE_PARA_MAX + 1);
        if (len == 0 || len > UPGRADE_PARA_MAX) {
            return Usage("the VM list must be 1 to 512 characters");
        }
        const bool all = std::strcmp(arg[0], UPG_PARA_ALL_VMS) == 0;
        std::vector<std::string> names = all ? std::vector<std::string>() : SplitVmList(arg[0]);
        control["vms"] = names;
        control["all"] = all;
        int exit = kExitOk;
        HostState before = g_opt.wait ? FetchState("upgrade", &exit) : nullptr;
        if (g_opt.wait && !before) {
            return exit;
        }
        exit = Control(control, UPG_ACTION_START, 0, arg[0],
                       all ? "upgrade of all VMs requested" : "upgrade requested", NotRunning(names));
        if (exit != kExitOk || !g_opt.wait) {
            return exit;
        }
        std::fflush(stdout);   // the request's answer now, not once the run is followed to its end
        return FollowRun(names, before->daemon.runs, before->daemon.runActive != 0);
    }

    // The rest ask about one VM.
    if (!ValidName(arg[0], VM_NAME_MAX)) {
        return Usage("VM must be 1 to 127 characters");
    }
    long value = 0;
    if (c.name == "result" && !ValidName(arg[1], MOD_NAME_MAX)) {
        return Usage("MODULE must be 1 to 15 characters");
    }
    if (c.name == "auto" && !ParseNumber(arg[1], UPG_AUTO_VALUE_MIN, UPG_AUTO_VALUE_MAX, &value)) {
        return Usage("the value must be 1, 2 or 3, not '%s'", arg[1]);
    }
    if (c.name == "health" || c.name == "fix") {
        return TextCommand(UPG_MSG_HEALTH_CHECK, arg[0], nullptr,
                           c.name == "health" ? UPG_CHECK_HEALTH : UPG_CHECK_FIX_CHANNEL);
    }
    if (c.name == "result") {
        return TextCommand(UPG_MSG_GET_UPG_RES, arg[0], arg[1], 0);
    }
    return TextCommand(UPG_MSG_AUTO_CTRL, arg[0], nullptr, static_cast<int>(value));
}

}  // namespace
}  // namespace upgctl

int main(int argc, char **argv)
{
    using namespace upgctl;

    static const option kLong[] = {
        {"json", no_argument, nullptr, 'j'},     {"quiet", no_argument, nullptr, 'q'},
        {"timeout", required_argument, nullptr, 't'}, {"module", required_argument, nullptr, 'm'},
        {"help", no_argument, nullptr, 'h'},     {"version", no_argument, nullptr, 'V'},
        {"wait", no_argument, nullptr, 'w'},
        {nullptr, 0, nullptr, 0},
    };
    bool help = false;
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, ":jqt:m:hVw", kLong, nullptr)) != -1;) {
        long seconds = 0;
        switch (c) {
        case 'j':
            g_opt.json = true;
            break;
        case 'q':
            g_opt.quiet = true;
            break;
        case 't':
            if (!ParseNumber(optarg, 1, kTimeoutMax, &seconds)) {
                return Usage("--timeout takes whole seconds from 1 to 3600, not '%s'", optarg);
            }
            g_opt.timeout = static_cast<int>(seconds);
            break;
        case 'm':
            g_opt.modules = optarg;
            break;
        case 'h':
            help = true;
            break;
        case 'w':
            g_opt.wait = true;
            break;
        case 'V':
            std::printf("%s %s\n", kProg, UPGCLIENT_VERSION);
            return kExitOk;
        case ':':
            return Usage("option '%s' needs an argument", argv[optind - 1]);
        default:
            if (optopt != 0) {
                return Usage("unknown option '-%c'", optopt);
            }
            return Usage("unknown option '%s'", argv[optind - 1]);
        }
    }
    char **arg = argv + optind;
    int count = argc - optind;
    if (count == 0) {
        return help ? Help(nullptr) : Usage("missing command");
    }
    const Command *c = FindCommand(arg[0]);
    if (c == nullptr) {
        return Usage("unknown command '%s'", arg[0]);
    }
    g_command = arg[0];
    if (help) {
        return Help(c);
    }
    if (count - 1 < c->minArgs || (c->maxArgs >= 0 && count - 1 > c->maxArgs)) {
        return Usage("wrong number of arguments for '%s': %s", arg[0], c->synopsis);
    }
    if (g_opt.modules != nullptr && c->name != "status") {
        return Usage("-m is an option of 'status' only");
    }
    if (g_opt.wait && c->name != "upgrade") {
        return Usage("--wait is an option of 'upgrade' only");
    }
    if (c->name == "help") {
        const Command *about = count > 1 ? FindCommand(arg[1]) : nullptr;
        if (count > 1 && about == nullptr) {
            return Usage("unknown command '%s'", arg[1]);
        }
        return Help(about);
    }
    return RunCommand(*c, arg + 1, count - 1);
}
