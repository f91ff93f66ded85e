// ortavis-upgctl: the operator's command line for ortavis-upgd. One command,
// one connection, requests through the client library; the daemon's text
// replies go to stdout as they are, control results become one line. With
// --json each answer is one JSON object on one line instead, for scripts,
// and every object carries a fixed "code" that names its exit status.
// `status` asks several VMs at once (a few connections in parallel) for their
// guest channel and module results and prints one table.
//
// Options may stand anywhere (getopt_long); "--" ends them, so a VM whose
// name starts with '-' can still be named. The exit statuses are kExits
// below; the help text, the manual page and the operator's page list them.
//
// Guest text (module names, versions, check results) is the guest's to choose:
// JSON output escapes it to plain ASCII, and the status table shows any byte
// that is not printable ASCII as \xNN.
#include <getopt.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "ortavis_upgclient.h"
#include "ortavis_upgd_raii.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr const char *kProg = "ortavis-upgctl";
constexpr size_t kStatusConnections = 4;   // the daemon serves 8 clients at once; leave it room
constexpr int kDefaultTimeout = 10;        // seconds, the library's own wait
constexpr int kTimeoutMax = 3600;
constexpr const char *kLiveDir = "/var/run/libvirt/qemu";   // <vm>.xml while the VM runs
constexpr const char *kProductModule = "ortavis";

// ---- Exit statuses ----------------------------------------------------------

enum Exit : int {
    kExitOk = 0,
    kExitRefused = 1,
    kExitUsage = 2,
    kExitUnreachable = 3,
    kExitGuestSilent = 4,
    kExitGuestFailure = 5,
};

struct ExitInfo {
    int exit;
    const char *code;      // the "code" of a JSON answer; fixed
    const char *meaning;   // for --help
    int rank;              // status: the VM with the highest rank decides
};

constexpr ExitInfo kExits[] = {
    {kExitOk, "ok", "done; where a guest was asked, it reports success", 0},
    {kExitRefused, "refused", "the daemon refused the request or failed", 2},
    {kExitUsage, "usage", "usage error; nothing was sent", 5},
    {kExitUnreachable, "unreachable", "the daemon cannot be reached or broke off the connection", 4},
    {kExitGuestSilent, "guest-silent", "the VM's guest tools gave no answer in time (--timeout)", 3},
    {kExitGuestFailure, "guest-failure",
     "the guest answered with a failure or a finding (a module\n"
     "                    result other than 0; a check code 9, 4, 2, 3, 5 or 13)", 1},
};

const ExitInfo &Info(int exit)
{
    return kExits[exit];
}

// ---- Options and output -------------------------------------------------------

struct Options {
    bool json = false;
    bool quiet = false;
    int timeout = kDefaultTimeout;
    const char *modules = nullptr;   // status -m
    bool wait = false;               // upgrade --wait
};
Options g_opt;
const char *g_command = nullptr;   // for the JSON object of a usage error

// One JSON object a line, in plain ASCII; bytes that are not UTF-8 become U+FFFD.
void PrintJson(const Json &o)
{
    if (!g_opt.quiet) {
        std::printf("%s\n", o.dump(-1, ' ', true, Json::error_handler_t::replace).c_str());
    }
}

void PrintLine(const std::string &line)
{
    if (!g_opt.quiet && !g_opt.json) {
        std::printf("%s\n", line.c_str());
    }
}

void Complain(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\n", kProg, what.c_str());
}

// A warning is for a person: -q drops it.
void Warn(const std::string &what)
{
    if (!g_opt.quiet) {
        Complain("warning: " + what);
    }
}

__attribute__((format(printf, 1, 2))) int Usage(const char *fmt, ...)
{
    char what[640];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(what, sizeof(what), fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "%s: %s (see '%s --help')\n", kProg, what, kProg);
    if (g_opt.json) {
        Json o;
        if (g_command != nullptr) {
            o["request"] = g_command;
        }
        o["code"] = Info(kExitUsage).code;
        o["error"] = what;
        PrintJson(o);
    }
    return kExitUsage;
}

// What a request came to: its exit status and, unless done, why.
struct Outcome {
    int exit = kExitOk;
    std::string why;
};

void PutOutcome(Json &o, const Outcome &out)
{
    o["code"] = Info(out.exit).code;
    if (!out.why.empty()) {
        o["error"] = out.why;
    }
}

Outcome NoConnection(int err)
{
    std::string why = std::string("cannot connect to " UPGD_MANAGE_SOCKET ": ") + std::strerror(err);
    if (err == ENOENT || err == ECONNREFUSED) {
        why += " (is the daemon running? see 'systemctl status ortavis-upgd')";
    }
    return {kExitUnreachable, why};
}

struct HandleCloser {
    void operator()(UpgClientHandle *h) const { upgClientClose(h); }
};
using Handle = std::unique_ptr<UpgClientHandle, HandleCloser>;

// A connection with the wait of --timeout, or null with errno set.
Handle Connect()
{
    Handle h(upgClientConnect(AF_UNIX));
    if (h && upgClientSetTimeout(h.get(), g_opt.timeout) != 0) {
        return Handle();
    }
    return h;
}

// ---- Text requests: health check, channel repair, result, auto control ----------

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

// An upgrade control request: `done` on stdout for 0, the reason on stderr
// otherwise; with --json one object. o holds the request's members.
int Control(Json o, int action, int interval, const char *para, const std::string &done,
            const std::vector<std::string> &notRunning = {})
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

// Guest text for a terminal: printable ASCII as it is, anything else \xNN.
std::string Printable(std::string_view s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

void PrintTable(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto &row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            width[i] = std::max(width[i], row[i].size());
        }
    }
    for (const auto &row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line.append(width[i] - row[i].size() + 2, ' ');
            }
        }
        PrintLine(line);
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

// ---- The host at a glance: list, info, metrics ----------------------------------

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

struct StateFree {
    void operator()(UpgClientHostState *s) const { upgClientFreeHostState(s); }
};
using HostState = std::unique_ptr<UpgClientHostState, StateFree>;

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

const char *RunModeName(int mode)
{
    return mode == UPG_RUN_ALL ? "all VMs" : mode == UPG_RUN_NAMED ? "named VMs" : mode == UPG_RUN_ADDED ? "added VMs" : "-";
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

// A label value of the exposition format: backslash, quote and newline escaped.
std::string LabelValue(std::string_view s)
{
    std::string out;
    for (char c : s) {
        out += c == '\\' ? "\\\\" : c == '"' ? "\\\"" : c == '\n' ? "\\n" : std::string(1, c);
    }
    return out;
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

void PrintExitTable()
{
    std::printf("\nExit status:\n");
    for (const ExitInfo &e : kExits) {
        std::printf("  %d  %-13s  %s\n", e.exit, e.code, e.meaning);
    }
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

int main(int argc, char **argv)
{
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
