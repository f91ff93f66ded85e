// ortavis-upgctl: the operator's command line for ortavis-upgd. One command,
// one connection, requests through the client library; the daemon's text
// replies go to stdout as they are, control results become one line. With
// --json each answer is one JSON object on one line instead, for scripts.
// `status` asks several VMs at once (a few connections in parallel) for their
// guest channel and module results and prints one table.
//
// Exit status: 0 done; 1 the daemon refused the request or reports a failure
// (its text, when it sent one, still goes to stdout); 2 a usage error
// (nothing is sent then); 3 the daemon could not be reached or did not answer.
// `status` exits with the worst status of its requests (3 over 1 over 0).
//
// Guest text (module names, versions, check results) is the guest's to choose:
// JSON output escapes it to plain ASCII, and the status table shows any byte
// that is not printable ASCII as \xNN.
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgclient.h"

namespace {

constexpr const char *kProg = "ortavis-upgctl";
constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoAnswer = 3;

constexpr size_t kVmNameMax = VM_NAME_MAX;
constexpr size_t kModNameMax = MOD_NAME_MAX;
constexpr size_t kVmListMax = 512;
constexpr long kIntervalMin = 30;
constexpr long kIntervalMax = 525600;
constexpr size_t kStatusConnections = 4;   // the daemon serves 8 clients at once; leave it room
constexpr const char *kIsoDir = "/opt/patch/programfiles/ortavis";
constexpr const char *kIsoLink = "/opt/patch/programfiles/ortavis/ortavis-linux.iso";
constexpr const char *kProductModule = "ortavis";

constexpr int kTypeHealth = UPG_MSG_HEALTH_CHECK;
constexpr int kTypeResult = UPG_MSG_GET_UPG_RES;
constexpr int kTypeControl = UPG_START_UPGRADE_MSG;
constexpr int kTypeAuto = UPG_MSG_AUTO_CTRL;

constexpr const char *kHelp =
    "Usage: ortavis-upgctl [--json] COMMAND [ARGUMENT...]\n"
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
    "  status [-m MODULE[,MODULE...]] VM...\n"
    "                       one table of the guest channel and module results of\n"
    "                       each VM; the modules are those with ISOs in the ISO\n"
    "                       directory (ortavis when it cannot be read), or -m's\n"
    "  help, -h, --help     show this help\n"
    "\n"
    "Options:\n"
    "  --json               one JSON object per answer, one line each (status: one\n"
    "                       per VM); errors are objects with an \"error\" field\n"
    "\n"
    "Channel states in status: answering (the guest answered), upgrading,\n"
    "unreachable (its guest agent does not answer), refused (the daemon knows no\n"
    "such running VM or could not ask it), silent (no answer in time), no-daemon.\n"
    "\n"
    "The daemon listens on /var/run/upgraded_manage (root or group libvirt).\n"
    "Exit status: 0 done, 1 refused or failed, 2 usage error,\n"
    "3 no connection to the daemon or no answer from it; status gives the worst\n"
    "of its requests (3 over 1 over 0). See ortavis-upgctl(1).\n";

bool g_json = false;
const char *g_command = nullptr;   // for the JSON object of a usage error

// ---- JSON text --------------------------------------------------------------

// The code point of the well-formed UTF-8 sequence at s[i] and its length, or
// 0 for a stray, cut-off, overlong or surrogate sequence.
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t *cp)
{
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    size_t len = 0;
    uint32_t min = 0;
    if (c >= 0xC0 && c < 0xE0) {
        len = 2, *cp = c & 0x1Fu, min = 0x80;
    } else if (c >= 0xE0 && c < 0xF0) {
        len = 3, *cp = c & 0x0Fu, min = 0x800;
    } else if (c >= 0xF0 && c < 0xF8) {
        len = 4, *cp = c & 0x07u, min = 0x10000;
    } else {
        return 0;
    }
    if (len > s.size() - i) {
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        *cp = (*cp << 6) | (byte(i + k) & 0x3Fu);
    }
    if (*cp < min || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

void AppendUnicodeEscape(std::string &out, uint16_t unit)
{
    char buf[8];
    std::snprintf(buf, sizeof(buf), "\\u%04x", static_cast<unsigned>(unit));
    out += buf;
}

// A JSON string in plain ASCII: quote and backslash escaped, control
// characters and every non-ASCII character as \u escapes (surrogate pairs
// beyond U+FFFF), each byte that is not part of well-formed UTF-8 as U+FFFD.
void AppendJsonString(std::string &out, std::string_view s)
{
    out += '"';
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        uint32_t cp = c;
        size_t len = c < 0x80 ? 1 : DecodeUtf8(s, i, &cp);
        if (len == 0) {
            cp = 0xFFFD;
            len = 1;
        }
        i += len;
        if (cp >= 0x10000) {
            AppendUnicodeEscape(out, static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            AppendUnicodeEscape(out, static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            AppendUnicodeEscape(out, static_cast<uint16_t>(cp));
        }
    }
    out += '"';
}

// One JSON object, built member by member.
class JsonObject {
public:
    JsonObject &Text(const char *key, std::string_view value)
    {
        Key(key);
        AppendJsonString(out_, value);
        return *this;
    }
    JsonObject &Number(const char *key, long value)
    {
        Key(key);
        out_ += std::to_string(value);
        return *this;
    }
    JsonObject &Bool(const char *key, bool value)
    {
        Key(key);
        out_ += value ? "true" : "false";
        return *this;
    }
    // A member whose value is JSON already (an object or an array).
    JsonObject &Json(const char *key, std::string_view json)
    {
        Key(key);
        out_ += json;
        return *this;
    }
    std::string Close() const { return out_ + "}"; }
    void Print() const { std::printf("%s}\n", out_.c_str()); }

private:
    void Key(const char *key)
    {
        if (out_.size() > 1) {
            out_ += ',';
        }
        AppendJsonString(out_, key);
        out_ += ':';
    }
    std::string out_ = "{";
};

std::string JsonArray(const std::vector<std::string> &items)
{
    std::string out = "[";
    for (const std::string &item : items) {
        out += out.size() > 1 ? "," : "";
        out += item;
    }
    return out + "]";
}

// ---- Complaints -------------------------------------------------------------

void Complain(const std::string &what)
{
    std::fprintf(stderr, "%s: %s\n", kProg, what.c_str());
}

__attribute__((format(printf, 1, 2))) int Usage(const char *fmt, ...)
{
    char what[640];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(what, sizeof(what), fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "%s: %s (see '%s --help')\n", kProg, what, kProg);
    if (g_json) {
        JsonObject o;
        if (g_command != nullptr) {
            o.Text("request", g_command);
        }
        o.Text("error", what).Print();
    }
    return kExitUsage;
}

std::string NoConnectionText(int err)
{
    return std::string("cannot connect to /var/run/upgraded_manage: ") + std::strerror(err);
}

// ---- Answers ----------------------------------------------------------------

// What one text request (health check, result query, automatic-upgrade
// control) came to.
struct Answer {
    bool connected = true;
    int connectErr = 0;
    int result = -1;    // the daemon's result; -1 no answer
    int err = 0;        // errno of the request when result is -1
    bool hasText = false;
    std::string text;   // the reply body
};

// The exit status of an answer and what goes to stderr (empty: nothing).
struct Verdict {
    int exit;
    std::string complaint;
};

Verdict JudgeText(const Answer &a)
{
    if (!a.connected) {
        return {kExitNoAnswer, NoConnectionText(a.connectErr)};
    }
    if (a.result == -1 && !a.hasText) {
        if (a.err == ETIMEDOUT) {
            return {kExitNoAnswer, "no answer from the daemon"};
        }
        return {kExitNoAnswer, std::string("the request failed: ") + std::strerror(a.err)};
    }
    if (a.hasText) {
        return {a.result == 0 ? kExitOk : kExitFail, ""};
    }
    return {kExitFail, a.result == 0 ? "the daemon sent an empty answer" : "the daemon refused the request"};
}

void Ask(UpgClientHandle *h, int type, const char *vm, const char *module, int value, Answer *a)
{
    char *raw = nullptr;
    a->result = upgClientRequest(h, type, vm, module, value, &raw);
    a->err = errno;
    MallocText text(raw);
    a->hasText = text != nullptr;
    a->text = text ? text.get() : "";
}

// The text between "<vm>:{" and the closing "}" of a reply body.
std::optional<std::string_view> Inner(std::string_view body, std::string_view vm)
{
    if (body.size() < vm.size() + 3 || body.substr(0, vm.size()) != vm || body.substr(vm.size(), 2) != ":{" ||
        body.back() != '}') {
        return std::nullopt;
    }
    return body.substr(vm.size() + 2, body.size() - vm.size() - 3);
}

struct ModuleFields {
    std::string_view name, curversion, tarversion;
    long rescode = 0;
};

// "module,curversion,rescode,tarversion". The texts are the guest's: a comma
// inside one makes the fields ambiguous, and such a body has no fields.
std::optional<ModuleFields> ParseModule(std::string_view inner)
{
    std::string_view part[4];
    size_t n = 0;
    for (size_t start = 0;; ++n) {
        size_t comma = inner.find(',', start);
        if (n == 4) {
            return std::nullopt;
        }
        part[n] = inner.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    std::string_view code = part[2];
    size_t digits = !code.empty() && code[0] == '-' ? 1 : 0;
    if (n != 3 || code.size() == digits || code.size() > 11 ||
        code.find_first_not_of("0123456789", digits) != std::string_view::npos) {
        return std::nullopt;
    }
    return ModuleFields{part[0], part[1], part[3], std::strtol(std::string(code).c_str(), nullptr, 10)};
}

// The daemon's own codes in a body it sends for the guest (result 1): the VM
// upgrades (3, 5; a module's 2) or its guest agent does not answer (13).
const char *OnBehalf(int type, std::string_view inner)
{
    if (type == kTypeResult) {
        auto m = ParseModule(inner);
        return !m ? nullptr : m->rescode == 2 ? "upgrading" : m->rescode == 13 ? "unreachable" : nullptr;
    }
    if (inner == "3" || inner == "5") {
        return "upgrading";
    }
    return inner == "13" ? "unreachable" : nullptr;
}

// One word for the daemon's result of a text request.
const char *TextMeaning(int type, std::string_view vm, const Answer &a)
{
    switch (a.result) {
    case 0:
        return "answered";
    case 1: {
        auto inner = a.hasText ? Inner(a.text, vm) : std::nullopt;
        const char *behalf = inner ? OnBehalf(type, *inner) : nullptr;
        return !a.hasText ? "refused" : behalf != nullptr ? behalf : "failed";
    }
    case 4:
        return "too-long";
    default:
        return "unknown";
    }
}

// The answer's members: result, meaning, reply and its fields, or error.
void PutAnswer(JsonObject &o, int type, std::string_view vm, const Answer &a)
{
    Verdict v = JudgeText(a);
    if (a.connected && (a.result != -1 || a.hasText)) {
        o.Number("result", a.result).Text("meaning", TextMeaning(type, vm, a));
    }
    if (a.hasText) {
        o.Text("reply", a.text);
        if (auto inner = Inner(a.text, vm)) {
            JsonObject fields;
            if (type != kTypeResult) {
                o.Json("answer", fields.Text("checkresult", *inner).Close());
            } else if (auto m = ParseModule(*inner)) {
                fields.Text("module", m->name).Text("curversion", m->curversion).Number("rescode", m->rescode);
                o.Json("answer", fields.Text("tarversion", m->tarversion).Close());
            }
        }
    }
    if (!v.complaint.empty()) {
        o.Text("error", v.complaint);
    }
}

// ---- Single requests --------------------------------------------------------

struct HandleCloser {
    void operator()(UpgClientHandle *h) const { upgClientClose(h); }
};
using Handle = std::unique_ptr<UpgClientHandle, HandleCloser>;

Handle Connect()
{
    return Handle(upgClientConnect(AF_UNIX));
}

// A text request of the command line: the reply text on stdout (or its JSON
// object), a complaint on stderr, the exit status.
int TextCommand(const char *command, int type, const char *vm, const char *module, int value)
{
    Answer a;
    Handle h = Connect();
    if (!h) {
        a.connected = false;
        a.connectErr = errno;
    } else {
        Ask(h.get(), type, vm, module, value, &a);
    }
    Verdict v = JudgeText(a);
    if (g_json) {
        JsonObject o;
        o.Text("request", command).Number("type", type).Text("vm", vm);
        if (module != nullptr) {
            o.Text("module", module);
        }
        if (type == kTypeAuto) {
            o.Number("value", value);
        }
        PutAnswer(o, type, vm, a);
        o.Print();
    } else if (a.hasText) {
        std::printf("%s\n", a.text.c_str());
    }
    if (!v.complaint.empty()) {
        Complain(v.complaint);
    }
    return v.exit;
}

struct ControlMeaning {
    const char *word;
    const char *complaint;   // null: done
};

ControlMeaning JudgeControl(int result)
{
    switch (result) {
    case 0:
        return {"done", nullptr};
    case 1:
        return {"refused", "the daemon refused the request"};
    case 2:
        return {"busy", "an upgrade run is already under way"};
    case 3:
        return {"not-found", "none of the named VMs was found"};
    case 4:
        return {"too-long", "the request is too long"};
    case 5:
        return {"out-of-range", "a parameter is out of range"};
    default:
        return {"unknown", nullptr};
    }
}

// An upgrade control request: `done` on stdout for 0, the reason on stderr
// otherwise; with --json one object. `head` holds the request's members.
int Control(JsonObject head, int action, int interval, const char *para, const char *done)
{
    Handle h = Connect();
    if (!h) {
        int err = errno;
        if (g_json) {
            head.Text("error", NoConnectionText(err)).Print();
        }
        Complain(NoConnectionText(err));
        return kExitNoAnswer;
    }
    int result = upgClientControlUpgrade(h.get(), action, interval, para);
    ControlMeaning m = JudgeControl(result);
    std::string complaint = m.complaint != nullptr ? m.complaint : "";
    int exit = result == 0 ? kExitOk : kExitFail;
    if (result == -1) {
        complaint = "no answer from the daemon";
        exit = kExitNoAnswer;
    } else if (result != 0 && m.complaint == nullptr) {
        complaint = "the daemon answered with unknown code " + std::to_string(result);
    }
    if (g_json) {
        if (result != -1) {
            head.Number("result", result).Text("meaning", m.word);
        }
        if (!complaint.empty()) {
            head.Text("error", complaint);
        }
        head.Print();
    } else if (result == 0) {
        std::printf("%s\n", done);
    }
    if (!complaint.empty()) {
        Complain(complaint);
    }
    return exit;
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
    const char *meaning = TextMeaning(kTypeHealth, s.vm, a);
    return a.result == 0 ? "answering" : std::strcmp(meaning, "failed") == 0 ? "failed" : meaning;
}

int StatusExit(const VmStatus &s)
{
    int worst = JudgeText(s.health).exit;
    for (const Answer &a : s.modules) {
        worst = std::max(worst, JudgeText(a).exit);
    }
    return worst;
}

// Asks the VM's health check, then (when the daemon answered with a body,
// itself or for the guest) the result of each module. A handle whose stream
// broke is dropped so that the next VM gets a fresh connection.
void AskVm(Handle &h, const std::vector<std::string> &modules, VmStatus *s)
{
    Ask(h.get(), kTypeHealth, s->vm, nullptr, 1, &s->health);
    bool broken = s->health.result == -1 && s->health.err != ETIMEDOUT;
    if (s->health.hasText) {
        for (const std::string &m : modules) {
            Answer a;
            Ask(h.get(), kTypeResult, s->vm, m.c_str(), 0, &a);
            broken = broken || (a.result == -1 && a.err != ETIMEDOUT);
            s->modules.push_back(std::move(a));
        }
    }
    if (broken) {
        h.reset();
    }
}

// The modules that have ISOs in the ISO directory (the first "-" field of
// each "*.iso" name), as the daemon finds that directory: the directory of
// the target of its ortavis-linux.iso link, else the default one.
std::vector<std::string> OfferedModules()
{
    std::string dir = kIsoDir;
    char target[1024];
    ssize_t len = readlink(kIsoLink, target, sizeof(target) - 1);
    if (len > 0) {
        std::string t(target, static_cast<size_t>(len));
        size_t slash = t.rfind('/');
        if (slash != std::string::npos) {
            dir = t[0] == '/' ? t.substr(0, slash) : std::string(kIsoDir) + "/" + t.substr(0, slash);
        }
    }
    std::set<std::string> found;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            std::string_view name = e->d_name;
            if (e->d_type == DT_DIR || name.size() <= 4 || name.substr(name.size() - 4) != ".iso") {
                continue;
            }
            name = name.substr(std::min(name.find_first_not_of(".-"), name.size()));
            name = name.substr(0, name.find_first_of(".-"));
            if (!name.empty() && name.size() <= kModNameMax) {
                found.emplace(name);
            }
        }
        closedir(d);
    }
    if (found.empty()) {
        return {kProductModule};
    }
    return {found.begin(), found.end()};
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
        std::printf("%s\n", line.c_str());
    }
}

std::vector<std::vector<std::string>> StatusRows(const VmStatus &s, const std::vector<std::string> &modules)
{
    std::string check = "-";
    if (s.health.result == 0 && s.health.hasText) {
        auto inner = Inner(s.health.text, s.vm);
        check = Printable(inner ? *inner : std::string_view(s.health.text));
    }
    std::vector<std::vector<std::string>> rows;
    const std::string vm = Printable(s.vm), channel = ChannelState(s);
    for (size_t i = 0; i < s.modules.size(); ++i) {
        const Answer &a = s.modules[i];
        auto inner = a.hasText ? Inner(a.text, s.vm) : std::nullopt;
        auto m = inner ? ParseModule(*inner) : std::nullopt;
        if (m) {
            rows.push_back({vm, channel, check, Printable(m->name), Printable(m->curversion),
                            Printable(m->tarversion), std::to_string(m->rescode)});
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
        worst = std::max(worst, StatusExit(s));
        if (!s.health.connected) {
            noDaemon = NoConnectionText(s.health.connectErr);
        }
        if (!g_json) {
            auto more = StatusRows(s, modules);
            rows.insert(rows.end(), more.begin(), more.end());
            continue;
        }
        JsonObject o;
        o.Text("request", "status").Text("vm", s.vm).Text("channel", ChannelState(s));
        PutAnswer(o, kTypeHealth, s.vm, s.health);
        std::vector<std::string> items;
        for (size_t i = 0; i < s.modules.size(); ++i) {
            JsonObject m;
            m.Text("module", modules[i]).Number("type", kTypeResult);
            PutAnswer(m, kTypeResult, s.vm, s.modules[i]);
            items.push_back(m.Close());
        }
        o.Json("modules", JsonArray(items)).Number("exit", StatusExit(s)).Print();
    }
    if (!g_json) {
        PrintTable(rows);
    }
    if (!noDaemon.empty()) {
        Complain(noDaemon);
    }
    return worst;
}

// ---- Command line -----------------------------------------------------------

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

// "a,b,c" into its names, each 1 to kModNameMax characters.
bool SplitModules(std::string_view list, std::vector<std::string> *out)
{
    for (size_t start = 0;;) {
        size_t comma = list.find(',', start);
        std::string_view name = list.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (name.empty() || name.size() > kModNameMax) {
            return false;
        }
        out->emplace_back(name);
        if (comma == std::string_view::npos) {
            return true;
        }
        start = comma + 1;
    }
}

struct Command {
    std::string_view name;
    int args;   // operands after the command word; -1: one or more
};

constexpr Command kCommands[] = {
    {"health", 1}, {"fix", 1}, {"result", 2}, {"auto", 2},
    {"upgrade", 1}, {"interval", 1}, {"off", 0}, {"status", -1},
};

int StatusCommand(char **arg, int count)
{
    std::vector<std::string> modules;
    if (count > 0 && std::strcmp(arg[0], "-m") == 0) {
        if (count < 2 || !SplitModules(arg[1], &modules)) {
            return Usage("-m takes a comma-separated list of module names of 1 to 15 characters");
        }
        arg += 2;
        count -= 2;
    }
    if (count < 1) {
        return Usage("wrong number of arguments for 'status'");
    }
    for (int i = 0; i < count; ++i) {
        if (!ValidName(arg[i], kVmNameMax)) {
            return Usage("VM must be 1 to 127 characters");
        }
    }
    return Status(arg, count, modules.empty() ? OfferedModules() : modules);
}

}  // namespace

int main(int argc, char **argv)
{
    int first = 1;
    while (first < argc && std::strcmp(argv[first], "--json") == 0) {
        g_json = true;
        ++first;
    }
    if (first >= argc) {
        return Usage("missing command");
    }
    std::string_view cmd = argv[first];
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
        return Usage("unknown command '%s'", argv[first]);
    }
    g_command = argv[first];
    char **arg = argv + first + 1;
    const int count = argc - first - 1;
    if (cmd == "status") {
        return StatusCommand(arg, count);
    }
    if (count != found->args) {
        return Usage("wrong number of arguments for '%s'", argv[first]);
    }

    JsonObject control;
    control.Text("request", g_command).Number("type", kTypeControl);
    if (cmd == "off") {
        return Control(control, 2, 0, "no", "periodic upgrade stopped");
    }
    if (cmd == "interval") {
        long minutes = 0;
        if (!ParseNumber(arg[0], kIntervalMin, kIntervalMax, &minutes)) {
            return Usage("MINUTES must be a number from 30 to 525600, not '%s'", arg[0]);
        }
        char done[64];
        std::snprintf(done, sizeof(done), "periodic upgrade every %ld minutes", minutes);
        return Control(control.Number("interval", minutes), 1, static_cast<int>(minutes), "no", done);
    }
    if (cmd == "upgrade") {
        size_t len = strnlen(arg[0], kVmListMax + 1);
        if (len == 0 || len > kVmListMax) {
            return Usage("the VM list must be 1 to 512 characters");
        }
        const bool all = std::strcmp(arg[0], "no") == 0;
        std::vector<std::string> names;
        for (std::string_view rest = all ? "" : arg[0]; !rest.empty();) {
            size_t comma = rest.find(',');
            std::string quoted;
            AppendJsonString(quoted, rest.substr(0, comma));
            names.push_back(quoted);
            rest = comma == std::string_view::npos ? "" : rest.substr(comma + 1);
        }
        control.Json("vms", JsonArray(names)).Bool("all", all);
        return Control(control, 1, 0, arg[0], all ? "upgrade of all VMs requested" : "upgrade requested");
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
    if (cmd == "health" || cmd == "fix") {
        return TextCommand(g_command, kTypeHealth, arg[0], nullptr, cmd == "health" ? 1 : 2);
    }
    if (cmd == "result") {
        return TextCommand(g_command, kTypeResult, arg[0], arg[1], 0);
    }
    return TextCommand(g_command, kTypeAuto, arg[0], nullptr, static_cast<int>(value));
}
