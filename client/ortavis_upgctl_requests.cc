// ortavis-upgctl's requests that go to the daemon as they are: the text
// requests about one VM (health check, channel repair, module result, auto
// control), whose reply text the guest or the daemon writes; the upgrade
// control requests (upgrade, interval, off), whose result is a number; and
// status, which asks several VMs at once (a few connections in parallel) for
// their guest channel and module results and prints one table.
//
// Each request's answer is judged into an exit status: whether the daemon
// could be reached, whether the guest answered in time, whether the daemon
// answered on the guest's behalf, and the findings in the answer.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "ortavis_upgctl_internal.h"
#include "ortavis_upgd_raii.h"

namespace upgctl {

namespace {

constexpr size_t kStatusConnections = 4;   // the daemon serves 8 clients at once; leave it room
constexpr const char *kLiveDir = "/var/run/libvirt/qemu";   // <vm>.xml while the VM runs

}  // namespace

// ---- Text requests: health check, channel repair, result, auto control ----------

namespace {

// What one text request came to on the wire.
struct Answer {
    bool connected = true;
    int connectErr = 0;
    int result = -1;    // the daemon's result; -1 no answer
    int err = 0;        // errno of the request when result is -1
    bool hasText = false;
    std::string text;   // the reply body
};

void Ask(UpgClientHandle *h, unsigned type, const char *vm, const char *module, int value, Answer *a)
{
    char *raw = nullptr;
    a->result = upgClientRequest(h, static_cast<int>(type), vm, module, value, &raw);
    a->err = errno;
    MallocText text(raw);
    a->hasText = text != nullptr;
    a->text = text ? text.get() : "";
}

// A reply text read by the library's parsers; ok is false when it does not
// parse or names another VM.
struct Parsed {
    bool ok = false;
    bool module = false;
    UpgClientCheckReply check{};
    UpgClientModuleReply mod{};
};

Parsed Parse(unsigned type, std::string_view vm, const Answer &a)
{
    Parsed p;
    p.module = type == UPG_MSG_GET_UPG_RES;
    if (a.hasText) {
        p.ok = p.module ? upgClientParseModuleReply(a.text.c_str(), &p.mod) == 0 && vm == p.mod.vm
                        : upgClientParseCheckReply(a.text.c_str(), &p.check) == 0 && vm == p.check.vm;
    }
    return p;
}

// A code the daemon or the guest put into an answer, for a person.
const char *CodeMeaning(int code, bool module)
{
    switch (code) {
    case UPGRADE_PENDING_STATE:
        return module ? "the upgrade is pending" : "the CD-ROM drive is not on hdb or holds a medium";
    case CHECK_CODE_UPGRADING:
    case CHECK_CODE_AUTO_UPGRADING:
        return "the VM is upgrading";
    case CHECK_CODE_DRIVE_HOLDS_MEDIUM:
        return "the CD-ROM drive on hdb already holds a medium";
    case UPGRADE_ATTACH_REFUSED_STATE:
        return module ? "the ISO could not be attached" : "the CD-ROM drive is not on hdb: the VM cannot be upgraded";
    case UPGRADE_CONNECT_TIMEOUT_STATE:
        return "its guest agent does not answer";
    default:
        return module ? "the guest reports a failure" : "unknown code";
    }
}

// The daemon's findings among the comma-separated fields of a check result:
// 9 and 4 about the CD-ROM drive, 2 in their place after a channel repair.
std::vector<int> Findings(std::string_view checkresult, bool fix)
{
    std::vector<int> found;
    for (size_t start = 0; start <= checkresult.size();) {
        size_t comma = std::min(checkresult.find(',', start), checkresult.size());
        std::string_view f = checkresult.substr(start, comma - start);
        if (f == "9" || f == "4" || (fix && f == "2")) {
            found.push_back(f[0] - '0');
        }
        start = comma + 1;
    }
    return found;
}

// The exit status of a text request and what to say. kind is the check
// kind of a health check (1 or 2), else 0.
Outcome JudgeText(unsigned type, int kind, std::string_view vm, const Answer &a, const Parsed &p)
{
    const std::string v(vm);
    if (!a.connected) {
        return NoConnection(a.connectErr);
    }
    if (a.result == -1 && !a.hasText) {
        if (a.err == ETIMEDOUT) {
            return {kExitGuestSilent, "no answer from the guest tools of " + v + " within " +
                                          std::to_string(g_opt.timeout) + " s"};
        }
        return {kExitUnreachable, std::string("lost the connection to the daemon: ") + std::strerror(a.err)};
    }
    if (!a.hasText) {
        if (a.result == HOST_RESULT_OK) {
            return {kExitRefused, "the daemon sent an empty answer"};
        }
        if (a.result == HOST_RESULT_TOO_LONG) {
            return {kExitRefused, "the daemon refused the request as too long"};
        }
        return {kExitRefused, "the daemon refused the request (is " + v + " a running VM?)"};
    }
    if (a.result != HOST_RESULT_OK && a.result != HOST_RESULT_FAIL) {
        return {kExitRefused, "the daemon answered with unknown result " + std::to_string(a.result)};
    }
    if (!p.ok) {
        return {kExitGuestFailure, "the answer about " + v + " does not parse"};
    }
    const bool behalf = a.result == HOST_RESULT_FAIL;   // the daemon answered for the guest
    if (p.module) {
        if (p.mod.rescode == 0 && !behalf) {
            return {};
        }
        return {kExitGuestFailure, v + ": module " + p.mod.module + ": " +
                                       CodeMeaning(p.mod.rescode, true) + " (code " +
                                       std::to_string(p.mod.rescode) + ")" +
                                       (behalf ? ", the daemon answering for the guest" : "")};
    }
    if (behalf) {
        std::string_view c = p.check.checkresult;
        int code = c == "3" ? 3 : c == "5" ? 5 : c == "13" ? 13 : -1;
        if (code < 0) {
            return {kExitRefused, "the daemon failed: " + a.text};
        }
        return {kExitGuestFailure, v + ": " + CodeMeaning(code, false) + " (code " + std::to_string(code) +
                                       "), the daemon answering for the guest"};
    }
    if (type != UPG_MSG_HEALTH_CHECK) {
        return {};
    }
    std::vector<int> found = Findings(p.check.checkresult, kind == UPG_CHECK_FIX_CHANNEL);
    if (found.empty()) {
        return {};
    }
    int code = found.front();
    return {kExitGuestFailure, v + ": " + CodeMeaning(code, false) + " (code " + std::to_string(code) + ")"};
}

// The answer's members: result, reply and its fields.
void PutAnswer(Json &o, const Answer &a, const Parsed &p)
{
    if (a.connected && (a.result != -1 || a.hasText)) {
        o["result"] = a.result;
    }
    if (!a.hasText) {
        return;
    }
    o["reply"] = a.text;
    if (!p.ok) {
        return;
    }
    if (!p.module) {
        o["answer"] = {{"checkresult", p.check.checkresult}};
    } else {
        o["answer"] = {{"module", p.mod.module},
                       {"curversion", p.mod.curversion},
                       {"rescode", p.mod.rescode},
                       {"tarversion", p.mod.tarversion}};
    }
}

}  // namespace

// A text request of the command line: the reply text on stdout (or its JSON
// object), what went wrong on stderr, the exit status.
int TextCommand(unsigned type, const char *vm, const char *module, int value)
{
    Answer a;
    Handle h = Connect();
    if (!h) {
        a.connected = false;
        a.connectErr = errno;
    } else {
        Ask(h.get(), type, vm, module, value, &a);
    }
    Parsed p = Parse(type, vm, a);
    Outcome out = JudgeText(type, type == UPG_MSG_HEALTH_CHECK ? value : 0, vm, a, p);
    if (g_opt.json) {
        Json o;
        o["request"] = g_command;
        o["type"] = type;
        o["vm"] = vm;
        if (module != nullptr) {
            o["module"] = module;
        }
        if (type == UPG_MSG_AUTO_CTRL) {
            o["value"] = value;
        }
        PutAnswer(o, a, p);
        PutOutcome(o, out);
        PrintJson(o);
    } else if (a.hasText) {
        PrintLine(a.text);
    }
    if (!out.why.empty()) {
        Complain(out.why);
    }
    return out.exit;
}

// ---- Upgrade control --------------------------------------------------------

namespace {

struct ControlMeaning {
    const char *word;
    const char *why;   // null: done
};

ControlMeaning JudgeControl(int result)
{
    switch (result) {
    case HOST_RESULT_OK:
        return {"done", nullptr};
    case HOST_RESULT_FAIL:
        return {"refused", "the daemon refused the request"};
    case HOST_RESULT_UPG_RUNNING:
        return {"busy", "an upgrade run is already under way"};
    case HOST_RESULT_NO_VM:
        return {"not-found", "none of the named VMs is running"};
    case HOST_RESULT_TOO_LONG:
        return {"too-long", "the request is too long"};
    case HOST_RESULT_BAD_PARAM:
        return {"out-of-range", "a parameter is out of range"};
    default:
        return {"unknown", "the daemon answered with an unknown result"};
    }
}

}  // namespace

// An upgrade control request: `done` on stdout for 0, the reason on stderr
// otherwise; with --json one object. o holds the request's members.
int Control(Json o, int action, int interval, const char *para, const std::string &done,
            const std::vector<std::string> &notRunning)
{
    Outcome out;
    int result = -1;
    Handle h = Connect();
    if (!h) {
        out = NoConnection(errno);
    } else {
        result = upgClientControlUpgrade(h.get(), action, interval, para);
        if (result == -1) {
            out = {kExitUnreachable, "no answer from the daemon within " + std::to_string(g_opt.timeout) + " s"};
        } else if (result != HOST_RESULT_OK) {
            out = {kExitRefused, JudgeControl(result).why};
        }
    }
    if (result != -1) {
        o["result"] = result;
        o["meaning"] = JudgeControl(result).word;
        for (const std::string &vm : notRunning) {
            Warn("VM " + vm + " is not running: no run serves it");
        }
        if (!notRunning.empty()) {
            o["not_running"] = notRunning;
        }
    }
    PutOutcome(o, out);
    if (g_opt.json) {
        PrintJson(o);
    } else if (result == HOST_RESULT_OK) {
        PrintLine(done);
    }
    if (!out.why.empty()) {
        Complain(out.why);
    }
    return out.exit;
}

// The names of a VM list as the daemon reads them: empty segments skipped,
// blanks around a name cut.
std::vector<std::string> SplitVmList(std::string_view list)
{
    std::vector<std::string> names;
    while (!list.empty()) {
        size_t comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        size_t first = name.find_first_not_of(' ');
        if (first != std::string_view::npos) {
            name = name.substr(first, name.find_last_not_of(' ') - first + 1);
            names.emplace_back(name);
        }
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
    return names;
}

// The named VMs that are not running by libvirt's own mark, their live
// description. The daemon asks virsh besides, so a VM listed here is surely
// left out of the run, while one not listed may still be (a VM that stops
// meanwhile, or one whose domain is in another state).
std::vector<std::string> NotRunning(const std::vector<std::string> &names)
{
    std::vector<std::string> absent;
    for (const std::string &vm : names) {
        struct stat st {};
        if (vm.find('/') != std::string::npos ||
            (stat((std::string(kLiveDir) + "/" + vm + ".xml").c_str(), &st) != 0 && errno == ENOENT)) {
            absent.push_back(vm);
        }
    }
    return absent;
}

// ---- status -----------------------------------------------------------------

namespace {

struct VmStatus {
    const char *vm = nullptr;
    Answer health;
    std::vector<Answer> modules;   // one per module asked, in order; empty when not asked
};

// A word for the guest channel, from the health check's answer.
const char *ChannelState(const VmStatus &s)
{
    const Answer &a = s.health;
    if (!a.connected) {
        return "no-daemon";
    }
    if (a.result == -1 && !a.hasText) {
        return a.err == ETIMEDOUT ? "silent" : "no-daemon";
    }
    if (!a.hasText) {
        return "refused";
    }
    if (a.result == HOST_RESULT_OK) {
        return "answering";
    }
    Parsed p = Parse(UPG_MSG_HEALTH_CHECK, s.vm, a);
    std::string_view c = p.ok ? p.check.checkresult : "";
    return c == "3" ? "upgrading" : c == "13" ? "unreachable" : "failed";
}

// The exit status of one VM: the highest-ranked of its requests.
int VmExit(const VmStatus &s, const std::vector<std::string> &modules)
{
    int worst = JudgeText(UPG_MSG_HEALTH_CHECK, UPG_CHECK_HEALTH, s.vm, s.health,
                          Parse(UPG_MSG_HEALTH_CHECK, s.vm, s.health)).exit;
    for (size_t i = 0; i < s.modules.size() && i < modules.size(); ++i) {
        const Answer &a = s.modules[i];
        int e = JudgeText(UPG_MSG_GET_UPG_RES, 0, s.vm, a, Parse(UPG_MSG_GET_UPG_RES, s.vm, a)).exit;
        worst = Info(e).rank > Info(worst).rank ? e : worst;
    }
    return worst;
}

// Asks the VM's health check, then (when the daemon answered with a body,
// itself or for the guest) the result of each module. A handle whose stream
// broke is dropped so that the next VM gets a fresh connection.
void AskVm(Handle &h, const std::vector<std::string> &modules, VmStatus *s)
{
    Ask(h.get(), UPG_MSG_HEALTH_CHECK, s->vm, nullptr, UPG_CHECK_HEALTH, &s->health);
    bool broken = s->health.result == -1 && s->health.err != ETIMEDOUT;
    if (s->health.hasText) {
        for (const std::string &m : modules) {
            Answer a;
            Ask(h.get(), UPG_MSG_GET_UPG_RES, s->vm, m.c_str(), 0, &a);
            broken = broken || (a.result == -1 && a.err != ETIMEDOUT);
            s->modules.push_back(std::move(a));
        }
    }
    if (broken) {
        h.reset();
    }
}

std::vector<std::vector<std::string>> StatusRows(const VmStatus &s, const std::vector<std::string> &modules)
{
    std::string check = "-";
    if (s.health.result == HOST_RESULT_OK && s.health.hasText) {
        Parsed p = Parse(UPG_MSG_HEALTH_CHECK, s.vm, s.health);
        check = Printable(p.ok ? std::string_view(p.check.checkresult) : std::string_view(s.health.text));
    }
    std::vector<std::vector<std::string>> rows;
    const std::string vm = Printable(s.vm), channel = ChannelState(s);
    for (size_t i = 0; i < s.modules.size(); ++i) {
        const Answer &a = s.modules[i];
        Parsed p = Parse(UPG_MSG_GET_UPG_RES, s.vm, a);
        if (p.ok) {
            rows.push_back({vm, channel, check, Printable(p.mod.module), Printable(p.mod.curversion),
                            Printable(p.mod.tarversion), std::to_string(p.mod.rescode)});
            continue;
        }
        const char *why = a.result == -1 ? "no-answer" : a.hasText ? "unreadable" : "refused";
        rows.push_back({vm, channel, check, Printable(modules[i]), "-", "-", why});
    }
    if (rows.empty()) {
        rows.push_back({vm, channel, check, "-", "-", "-", "-"});
    }
    return rows;
}

}  // namespace

int Status(char **vms, int count, const std::vector<std::string> &modules)
{
    std::vector<VmStatus> all(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        all[static_cast<size_t>(i)].vm = vms[i];
    }
    std::atomic<size_t> next{0};
    auto worker = [&] {
        Handle h;
        for (size_t i = next++; i < all.size(); i = next++) {
            if (!h) {
                h = Connect();
            }
            if (!h) {
                all[i].health.connected = false;
                all[i].health.connectErr = errno;
                continue;
            }
            AskVm(h, modules, &all[i]);
        }
    };
    // The calling thread is a worker too; when no more threads can be had,
    // fewer VMs are asked at a time.
    std::vector<std::thread> threads;
    for (size_t i = 1; i < std::min(all.size(), kStatusConnections); ++i) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error &) {
            break;
        }
    }
    worker();
    for (std::thread &t : threads) {
        t.join();
    }

    int worst = kExitOk;
    std::vector<std::vector<std::string>> rows = {{"VM", "CHANNEL", "CHECK", "MODULE", "CURRENT", "TARGET", "RESULT"}};
    std::string noDaemon;
    for (const VmStatus &s : all) {
        int exit = VmExit(s, modules);
        worst = Info(exit).rank > Info(worst).rank ? exit : worst;
        if (!s.health.connected) {
            noDaemon = NoConnection(s.health.connectErr).why;
        }
        if (!g_opt.json) {
            auto more = StatusRows(s, modules);
            rows.insert(rows.end(), more.begin(), more.end());
            continue;
        }
        Json o;
        o["request"] = "status";
        o["vm"] = s.vm;
        o["channel"] = ChannelState(s);
        PutAnswer(o, s.health, Parse(UPG_MSG_HEALTH_CHECK, s.vm, s.health));
        Json items = Json::array();
        for (size_t i = 0; i < s.modules.size(); ++i) {
            Json m;
            m["module"] = modules[i];
            m["type"] = UPG_MSG_GET_UPG_RES;
            PutAnswer(m, s.modules[i], Parse(UPG_MSG_GET_UPG_RES, s.vm, s.modules[i]));
            m["code"] = Info(JudgeText(UPG_MSG_GET_UPG_RES, 0, s.vm, s.modules[i],
                                       Parse(UPG_MSG_GET_UPG_RES, s.vm, s.modules[i])).exit).code;
            items.push_back(m);
        }
        o["modules"] = items;
        o["code"] = Info(exit).code;
        o["exit"] = exit;
        PrintJson(o);
    }
    if (!g_opt.json) {
        PrintTable(rows);
    }
    if (!noDaemon.empty()) {
        Complain(noDaemon);
    }
    return worst;
}

}  // namespace upgctl
