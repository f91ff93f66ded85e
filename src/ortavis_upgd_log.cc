// The daemon's log lines: escaping of peer text and the peers' budgets; the
// contracts are in the header.
#include "ortavis_upgd_log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>

#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_task.h"

struct LogBudget {
    ObjectMutex lock = PTHREAD_MUTEX_INITIALIZER;
    // Thousandths of a line, so that the refill of a few lines a minute
    // adds up over the milliseconds between lines.
    int64_t milliLines GUARDED_BY(lock) = int64_t{LOG_PEER_BURST} * 1000;
    int64_t lastMs GUARDED_BY(lock) = 0;
    int64_t lastSummaryMs GUARDED_BY(lock) = 0;
    long dropped GUARDED_BY(lock) = 0;
    char peer[80] = {0};
    // The registry entries or connections that hold it, and since when none
    // has (guarded by the table's lock, not this one).
    int holders = 0;
    int64_t unheldMs = 0;
};

namespace {

// Peer budgets by key, each held by the registry entries of a VM (keyed by
// its name) or the connections of a client uid (keyed "uid/N", which no VM
// name can be): a peer that comes back keeps what it used, and a budget no
// holder has held for a minute goes. Past the bound, the peers share one
// overflow budget, so no peer ever logs without a limit.
constexpr size_t kBudgetsMax = 8192;
constexpr int64_t kMinuteMs = 60 * 1000;

ObjectMutex g_budgetsLock = PTHREAD_MUTEX_INITIALIZER;
std::unordered_map<std::string, std::unique_ptr<LogBudget>> &Budgets() REQUIRES(g_budgetsLock)
{
    // For the process's life: a connection or an entry that a static of
    // another file holds may give its budget back while the process exits.
    static auto *budgets = new std::unordered_map<std::string, std::unique_ptr<LogBudget>>;
    return *budgets;
}
int64_t g_budgetsSweptMs GUARDED_BY(g_budgetsLock) = 0;

thread_local LogBudget *t_peer = nullptr;

void SetPeerName(LogBudget *budget, const char *peer)
{
    (void)snprintf(budget->peer, sizeof(budget->peer), "%s", peer);
}

LogBudget &OverflowBudget()
{
    static LogBudget *budget = [] {
        auto *b = new LogBudget;   // for the daemon's life
        SetPeerName(b, "peers past the budget table");
        return b;
    }();
    return *budget;
}

// Takes one line from the budget. False when the line is left out; *summary
// is then or otherwise the number of lines to report as left out now (0:
// no summary line).
bool TakeLine(LogBudget *budget, long *summary)
{
    MutexGuard guard(&budget->lock);
    const int64_t now = MonotonicMs();
    if (budget->lastMs != 0) {
        budget->milliLines += (now - budget->lastMs) * LOG_PEER_PER_MINUTE * 1000 / kMinuteMs;
        if (budget->milliLines > int64_t{LOG_PEER_BURST} * 1000) {
            budget->milliLines = int64_t{LOG_PEER_BURST} * 1000;
        }
    }
    budget->lastMs = now;
    *summary = 0;
    bool allowed = budget->milliLines >= 1000;
    if (allowed) {
        budget->milliLines -= 1000;
    } else {
        ++budget->dropped;
    }
    if (budget->dropped > 0 && now - budget->lastSummaryMs >= kMinuteMs) {
        *summary = budget->dropped;
        budget->dropped = 0;
        budget->lastSummaryMs = now;
    }
    return allowed;
}

// Copies text into out (outSize bytes), every control character but a final
// newline written as "\xNN"; cut where it does not fit.
void Escape(const char *text, char *out, size_t outSize)
{
    static const char kHex[] = "0123456789abcdef";
    size_t o = 0;
    for (const char *p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        bool finalNewline = c == '\n' && p[1] == '\0';
        if ((c < 0x20 || c == 0x7f) && !finalNewline) {
            if (o + 4 >= outSize) {
                break;
            }
            out[o++] = '\\';
            out[o++] = 'x';
            out[o++] = kHex[c >> 4];
            out[o++] = kHex[c & 0xf];
        } else {
            if (o + 1 >= outSize) {
                break;
            }
            out[o++] = static_cast<char>(c);
        }
    }
    out[o] = '\0';
}

void LogLeftOut(const LogBudget &budget, long leftOut)
{
    char name[sizeof(budget.peer) * 4];
    Escape(budget.peer, name, sizeof(name));
    syslog(LOG_INFO, "[%s:%d] %ld log lines of %s left out", __FILE_NAME__, __LINE__, leftOut, name);
}

// Tells the budget's left-out lines, if any.
void TellLeftOut(LogBudget &b)
{
    long dropped = 0;
    {
        MutexGuard guard(&b.lock);
        dropped = b.dropped;
        if (dropped > 0) {
            b.dropped = 0;
            b.lastSummaryMs = MonotonicMs();
        }
    }
    if (dropped > 0) {
        LogLeftOut(b, dropped);
    }
}

void Sweep(int64_t now, bool all) REQUIRES(g_budgetsLock)
{
    if (!all && now - g_budgetsSweptMs < kMinuteMs) {
        return;
    }
    g_budgetsSweptMs = now;
    auto &budgets = Budgets();
    for (auto it = budgets.begin(); it != budgets.end();) {
        LogBudget &b = *it->second;
        TellLeftOut(b);
        if (b.holders > 0 || now - b.unheldMs < kMinuteMs) {
            ++it;
        } else {
            it = budgets.erase(it);
        }
    }
    TellLeftOut(OverflowBudget());
}

LogBudget *HoldLogBudget(const std::string &key, const char *label)
{
    MutexGuard guard(&g_budgetsLock);
    Sweep(MonotonicMs(), false);
    auto &budgets = Budgets();
    auto it = budgets.find(key);
    if (it != budgets.end()) {
        ++it->second->holders;
        return it->second.get();
    }
    if (budgets.size() >= kBudgetsMax) {
        return &OverflowBudget();
    }
    std::unique_ptr<LogBudget> budget(new (std::nothrow) LogBudget);
    if (!budget) {
        return &OverflowBudget();
    }
    SetPeerName(budget.get(), label);
    budget->holders = 1;
    LogBudget *raw = budget.get();
    budgets.emplace(key, std::move(budget));
    return raw;
}

}  // namespace

LogBudget *VmLogBudget(const char *name)
{
    return HoldLogBudget(name, name);
}

LogBudget *ClientLogBudget(unsigned uid)
{
    char label[32];
    (void)snprintf(label, sizeof(label), "client uid %u", uid);
    return HoldLogBudget("uid/" + std::to_string(uid), label);
}

void ReleaseLogBudget(LogBudget *budget)
{
    if (budget == nullptr || budget == &OverflowBudget()) {
        return;
    }
    MutexGuard guard(&g_budgetsLock);
    if (--budget->holders == 0) {
        budget->unheldMs = MonotonicMs();
    }
}

void SweepLogBudgets(bool all)
{
    MutexGuard guard(&g_budgetsLock);
    Sweep(MonotonicMs(), all);
}

LogPeerScope::LogPeerScope(LogBudget *budget) : saved_(t_peer)
{
    t_peer = budget;
}

LogPeerScope::~LogPeerScope()
{
    t_peer = saved_;
}

void UpgLogLine(const char *file, int line, const char *fmt, ...)
{
    LogBudget *peer = t_peer;
    long leftOut = 0;
    bool allowed = peer == nullptr || TakeLine(peer, &leftOut);
    if (leftOut > 0) {
        LogLeftOut(*peer, leftOut);
    }
    if (!allowed) {
        return;
    }
    char text[LOG_LINE_MAX];
    va_list args;
    va_start(args, fmt);
    (void)vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    char safe[LOG_LINE_MAX * 4];
    Escape(text, safe, sizeof(safe));
    syslog(LOG_INFO, "[%s:%d] %s", file, line, safe);
}
