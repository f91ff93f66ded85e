// ortavis-upgctl's view of the host at a glance: list, info and metrics read
// the daemon's host state, what it keeps in memory of every running VM and of
// itself, in one request; no guest is asked. upgrade --wait follows a run by
// the same state, asked once a second, until the run has served the VMs it
// follows.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ortavis_upgctl_internal.h"

namespace upgctl {

// ---- The host at a glance: list, info, metrics ----------------------------------

namespace {

const char *StateName(int state)
{
    switch (state) {
    case UPGRADE_IDLE_STATE:
        return "idle";
    case UPGRADE_RUNNING_STATE:
        return "upgrading";
    case UPGRADE_PENDING_STATE:
        return "pending";
    case UPGRADE_ATTACH_REFUSED_STATE:
        return "refused";
    case UPGRADE_CONNECT_TIMEOUT_STATE:
        return "unreachable";
    default:
        return "other";
    }
}

// What the daemon knows of a VM's tools: no answer (channel down or guest
// agent silent), out of date (a module offered at another version), current
// (reported, nothing newer offered), unknown (nothing reported since the
// daemon's start).
const char *ToolsOf(const UpgClientVmState &vm)
{
    if (vm.channel == 0 || vm.state == UPGRADE_CONNECT_TIMEOUT_STATE) {
        return "no-answer";
    }
    if (vm.upgradeAvailable != 0) {
        return "out-of-date";
    }
    return vm.moduleCount > 0 ? "current" : "unknown";
}

// The offered version of a module, or empty.
std::string OfferedVersion(const UpgClientHostState &s, const char *module)
{
    for (int i = 0; i < s.offerCount; ++i) {
        if (std::strcmp(s.offer[i].module, module) == 0) {
            return s.offer[i].version;
        }
    }
    return "";
}

const char *RunModeName(int mode)
{
    return mode == UPG_RUN_ALL ? "all VMs" : mode == UPG_RUN_NAMED ? "named VMs" : mode == UPG_RUN_ADDED ? "added VMs" : "-";
}

// A label value of the exposition format: backslash, quote and newline escaped.
std::string LabelValue(std::string_view s)
{
    std::string out;
    for (char c : s) {
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return out;
}

}  // namespace

// The whole state, or null after the outcome's complaint (*exit set).
HostState FetchState(const char *request, int *exit)
{
    Handle h = Connect();
    Outcome out;
    UpgClientHostState *raw = nullptr;
    if (!h) {
        out = NoConnection(errno);
    } else if (upgClientGetHostState(h.get(), &raw) != 0) {
        int err = errno;
        out = err == ETIMEDOUT ? Outcome{kExitUnreachable, "the daemon did not answer in time"}
              : err == EPROTO  ? Outcome{kExitRefused, "the daemon did not answer with its state (an older daemon?)"}
                               : Outcome{kExitUnreachable, std::string("the state request failed: ") +
                                                               std::strerror(err)};
    }
    if (raw != nullptr) {
        return HostState(raw);
    }
    *exit = out.exit;
    Complain(out.why);
    if (g_opt.json) {
        Json o;
        o["request"] = request;
        PutOutcome(o, out);
        PrintJson(o);
    }
    return nullptr;
}

int List()
{
    int exit = kExitOk;
    HostState s = FetchState("list", &exit);
    if (!s) {
        return exit;
    }
    std::vector<std::vector<std::string>> rows = {{"VM", "CHANNEL", "STATE", "TOOLS", "MODULES", "ISO"}};
    std::map<std::string, int> tally;
    int isoIn = 0;
    for (size_t i = 0; i < s->vmCount; ++i) {
        const UpgClientVmState &vm = s->vms[i];
        const char *tools = ToolsOf(vm);
        ++tally[tools];
        isoIn += vm.isoInDrive;
        int vmExit = std::strcmp(tools, "no-answer") == 0     ? kExitGuestSilent
                     : std::strcmp(tools, "out-of-date") == 0 ? kExitGuestFailure
                                                              : kExitOk;
        exit = Info(vmExit).rank > Info(exit).rank ? vmExit : exit;
        std::string modules;
        Json mods = Json::array();
        for (int m = 0; m < vm.moduleCount; ++m) {
            const UpgClientModuleState &mod = vm.modules[m];
            std::string offered = OfferedVersion(*s, mod.name);
            modules += (m > 0 ? " " : "") + Printable(mod.name) + "=" + Printable(mod.curversion);
            if (!offered.empty() && offered != mod.curversion) {
                modules += "->" + Printable(offered);
            }
            mods.push_back({{"module", mod.name}, {"curversion", mod.curversion}, {"tarversion", mod.tarversion},
                            {"rescode", mod.rescode}, {"age", mod.age}, {"offered", offered}});
        }
        std::string iso = vm.isoInDrive != 0 ? (vm.iso[0] != '\0' ? Printable(vm.iso) : "yes") : "-";
        if (!g_opt.json) {
            rows.push_back({Printable(vm.name), vm.channel != 0 ? "up" : "down", StateName(vm.state), tools,
                            modules.empty() ? "-" : modules, iso});
            continue;
        }
        Json o;
        o["request"] = "list";
        o["vm"] = vm.name;
        o["channel"] = vm.channel != 0;
        o["state"] = StateName(vm.state);
        o["tools"] = tools;
        o["modules"] = mods;
        o["iso"] = vm.isoInDrive != 0 ? Json(vm.iso) : Json(nullptr);
        o["iso_age"] = vm.isoAge;
        o["outcome"] = vm.outcome;
        o["code"] = Info(vmExit).code;
        PrintJson(o);
    }
    std::string summary = std::to_string(s->vmCount) + " VMs: " + std::to_string(tally["current"]) + " current, " +
                          std::to_string(tally["out-of-date"]) + " out of date, " + std::to_string(tally["no-answer"]) +
                          " no answer, " + std::to_string(tally["unknown"]) + " unknown; ISO in drive: " +
                          std::to_string(isoIn);
    if (g_opt.json) {
        Json o;
        o["request"] = "list";
        o["vms"] = s->vmCount;
        for (const char *t : {"current", "out-of-date", "no-answer", "unknown"}) {
            o[t] = tally[t];
        }
        o["iso_in_drive"] = isoIn;
        o["code"] = Info(exit).code;
        PrintJson(o);
    } else {
        if (s->vmCount > 0) {
            PrintTable(rows);
        }
        PrintLine(summary);
    }
    return exit;
}

// Follows the run that an upgrade request joined until it has served the
// followed VMs (the named ones, or all) and each has answered its offer, with
// progress on stderr (one line rewritten on a terminal, plain lines
// otherwise). kExitOk when every followed VM ends up to date, else 5.
int FollowRun(const std::vector<std::string> &names, uint32_t runsBefore, bool activeBefore)
{
    const bool bar = isatty(STDERR_FILENO) != 0;
    std::string shown;
    for (bool ran = activeBefore;; std::this_thread::sleep_for(std::chrono::seconds(1))) {
        int exit = kExitOk;
        HostState s = FetchState("upgrade", &exit);
        if (!s) {
            return exit;
        }
        const UpgStateDaemon &d = s->daemon;
        ran = ran || d.runActive != 0 || d.runs > runsBefore;
        std::vector<const UpgClientVmState *> followed;
        bool settled = ran && d.runActive == 0;
        for (size_t i = 0; i < s->vmCount; ++i) {
            const UpgClientVmState &vm = s->vms[i];
            if (names.empty() || std::find(names.begin(), names.end(), vm.name) != names.end()) {
                followed.push_back(&vm);
                settled = settled && (vm.outcome != UPG_OUTCOME_OFFERED ||
                                      (vm.upgradeAvailable == 0 && vm.state != UPGRADE_RUNNING_STATE));
            }
        }
        size_t current = 0;
        for (const UpgClientVmState *vm : followed) {
            current += vm->upgradeAvailable == 0 && vm->moduleCount > 0 && vm->state != UPGRADE_CONNECT_TIMEOUT_STATE;
        }
        std::string line = (d.runActive != 0 ? "run: " + std::to_string(d.runDone) + " of " +
                                                   std::to_string(d.runTotal) + " VMs served, serving " +
                                                   (s->current[0] != '\0' ? Printable(s->current) : "-")
                                             : std::string(ran ? "run ended" : "waiting for the run")) +
                           "; " + std::to_string(current) + " of " + std::to_string(followed.size()) +
                           " VMs up to date";
        if (line != shown && !g_opt.quiet) {
            std::fprintf(stderr, bar ? "\r%-78s" : "%s\n", line.c_str());
            shown = line;
        }
        if (settled) {
            if (bar && !g_opt.quiet) {
                std::fputc('\n', stderr);
            }
            return current == followed.size() ? kExitOk : kExitGuestFailure;
        }
    }
}

int ShowInfo()
{
    int exit = kExitOk;
    HostState s = FetchState("info", &exit);
    if (!s) {
        return exit;
    }
    const UpgStateDaemon &d = s->daemon;
    Json offer = Json::array();
    std::string offered;
    for (int i = 0; i < s->offerCount; ++i) {
        const char *os = s->offer[i].os == ISO_WINDOWS ? "windows" : "linux";
        offer.push_back({{"module", s->offer[i].module}, {"version", s->offer[i].version}, {"os", os}});
        offered += (i > 0 ? ", " : "") + Printable(s->offer[i].module) + " " + Printable(s->offer[i].version) + " (" +
                   os + ")";
    }
    if (g_opt.json) {
        Json o = {{"request", "info"}, {"version", d.version}, {"start_time", d.startTime}, {"now", d.now},
                  {"interval_minutes", d.intervalMinutes}, {"next_timer_seconds", d.nextFire},
                  {"vms", d.vmCount}, {"offer", offer},
                  {"run", {{"active", d.runActive != 0}, {"mode", RunModeName(d.runMode)}, {"vms", d.runTotal},
                           {"done", d.runDone}, {"current", s->current}}},
                  {"counts", {{"runs", d.runs}, {"attaches", d.attaches}, {"detaches", d.detaches},
                              {"failures", d.failures}, {"refusals", d.refusals}}},
                  {"code", Info(kExitOk).code}};
        PrintJson(o);
        return kExitOk;
    }
    char started[64] = "?";
    time_t start = static_cast<time_t>(d.startTime);
    tm t{};
    if (gmtime_r(&start, &t) != nullptr) {
        std::strftime(started, sizeof(started), "%Y-%m-%d %H:%M:%S UTC", &t);
    }
    PrintLine(std::string("version      ") + Printable(d.version));
    PrintLine(std::string("started      ") + started);
    PrintLine("interval     " + (d.intervalMinutes > 0 ? std::to_string(d.intervalMinutes) + " minutes, next run in " +
                                                            std::to_string(d.nextFire) + " s"
                                                      : std::string("off")));
    PrintLine("run          " + (d.runActive != 0 ? std::string(RunModeName(d.runMode)) + ", " +
                                                       std::to_string(d.runDone) + " of " +
                                                       std::to_string(d.runTotal) + " done, serving " +
                                                       (s->current[0] != '\0' ? Printable(s->current) : "-")
                                                 : std::string("none")));
    PrintLine("offer        " + (offered.empty() ? std::string("-") : offered));
    PrintLine("VMs          " + std::to_string(d.vmCount));
    PrintLine("since start  " + std::to_string(d.runs) + " runs, " + std::to_string(d.attaches) + " attaches, " +
              std::to_string(d.detaches) + " detaches, " + std::to_string(d.failures) + " failures, " +
              std::to_string(d.refusals) + " refusals");
    return kExitOk;
}

int Metrics()
{
    int exit = kExitOk;
    HostState s = FetchState("metrics", &exit);
    if (!s) {
        return exit;
    }
    const UpgStateDaemon &d = s->daemon;
    std::string text;
    auto family = [&](const char *name, const char *type, const char *help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    auto sample = [&](const std::string &name, unsigned long long value) {
        text += name + " " + std::to_string(value) + "\n";
    };
    family("ortavis_upgd_info", "gauge", "The daemon's version.");
    sample("ortavis_upgd_info{version=\"" + LabelValue(d.version) + "\"}", 1);
    family("ortavis_upgd_start_time_seconds", "gauge", "When the daemon started, seconds since the epoch.");
    sample("ortavis_upgd_start_time_seconds", static_cast<unsigned long long>(d.startTime));
    family("ortavis_upgd_run_active", "gauge", "1 while an upgrade run is under way.");
    sample("ortavis_upgd_run_active", d.runActive);
    const struct { const char *name, *help; uint32_t value; } counts[] = {
        {"ortavis_upgd_runs_total", "Upgrade runs begun since the start.", d.runs},
        {"ortavis_upgd_attaches_total", "ISOs attached since the start.", d.attaches},
        {"ortavis_upgd_detaches_total", "ISOs taken out since the start.", d.detaches},
        {"ortavis_upgd_attach_failures_total", "Attaches that failed since the start.", d.failures},
        {"ortavis_upgd_refusals_total", "Attach requests refused since the start.", d.refusals},
    };
    for (const auto &c : counts) {
        family(c.name, "counter", c.help);
        sample(c.name, c.value);
    }
    family("ortavis_upgd_vm_state", "gauge",
           "Upgrade state of each running VM: 0 idle, 1 upgrading, 2 pending, 9 refused, 13 unreachable.");
    for (size_t i = 0; i < s->vmCount; ++i) {
        text += "ortavis_upgd_vm_state{vm=\"" + LabelValue(s->vms[i].name) + "\"} " +
                std::to_string(s->vms[i].state) + "\n";
    }
    family("ortavis_upgd_vm_out_of_date", "gauge", "1 when a module of the VM is offered at another version.");
    for (size_t i = 0; i < s->vmCount; ++i) {
        sample("ortavis_upgd_vm_out_of_date{vm=\"" + LabelValue(s->vms[i].name) + "\"}",
               static_cast<unsigned long long>(s->vms[i].upgradeAvailable));
    }
    if (!g_opt.quiet) {
        std::fputs(text.c_str(), stdout);
    }
    return kExitOk;
}

}  // namespace upgctl
