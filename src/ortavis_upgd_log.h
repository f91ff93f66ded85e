// Logging: every line the daemon writes goes to syslog at LOG_INFO with the
// default facility, prefixed "[file:line] " with the base name of the source
// file that logs. The daemon never calls openlog: glibc connects to /dev/log
// on the first line. Callers pass the message texts without the prefix.
//
// What a peer sends reaches the log in its texts (VM names, guest check
// results, ISO names, request bodies) and in the traffic dumps, so the log
// guards itself against peers:
//  - control characters anywhere but a final newline are written as "\xNN",
//    so no peer text can end a line and forge another;
//  - the lines logged on one peer's behalf (a thread names the peer with a
//    LogPeerScope while it reads or handles that peer's messages) draw on
//    that peer's LogBudget: a first burst, then a steady few a minute. What
//    is left out is counted and told in one summary line a minute, so a
//    flooding guest or client can neither fill the disk nor crowd the
//    daemon's other lines out of the journal's own rate limit.
#pragma once

#include <syslog.h>

#include <cstdint>

// Lines a peer may log at once, and afterwards a minute.
inline constexpr int LOG_PEER_BURST = 600;
inline constexpr int LOG_PEER_PER_MINUTE = 120;

struct LogBudget;

// The budget of the VM named `name`, for a registry entry of the VM to hold
// until it gives it back with ReleaseLogBudget: a VM whose channel is
// replaced keeps what it used. Past a bound of budgets, peers share one
// overflow budget; never null.
LogBudget *VmLogBudget(const char *name);
// The budget of a management client's uid, held by each of its connections
// alike: a client that reconnects draws on what it used before.
LogBudget *ClientLogBudget(unsigned uid);
// A budget no holder has held for a minute goes, telling the lines it left out.
void ReleaseLogBudget(LogBudget *budget);
// At most once a minute (every time with `all`): tells the lines each budget
// left out that no later line of its peer has told yet, and frees the
// budgets unheld for a minute. The management server calls it as it runs,
// and with `all` as it stops, so no count of left-out lines is lost.
void SweepLogBudgets(bool all);

// Names the peer on whose behalf the calling thread logs until the scope
// ends (null: the daemon's own lines). Scopes nest.
class LogPeerScope {
public:
    explicit LogPeerScope(LogBudget *budget);
    ~LogPeerScope();
    LogPeerScope(const LogPeerScope &) = delete;
    LogPeerScope &operator=(const LogPeerScope &) = delete;

private:
    LogBudget *saved_;
};

// One line: prefix, message with control characters escaped, and the
// peer's budget applied. Lines longer than LOG_LINE_MAX are cut.
inline constexpr int LOG_LINE_MAX = 1024;
void UpgLogLine(const char *file, int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

#define UPG_LOG(fmt, ...) UpgLogLine(__FILE_NAME__, __LINE__, fmt __VA_OPT__(,) __VA_ARGS__)
