// Test support for what runs inside sim/sandbox: the collector of the lines
// logged to /dev/log, the real daemon binary as a child, small file helpers.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <algorithm>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <thread>
#include <vector>

namespace upgd_test {

using namespace std::chrono_literals;

// Binds a datagram socket at /dev/log and keeps every line logged to it.
// Message() is the text after the syslog header ("[file:line] text" for the
// daemon's lines), Text() that without its "[file:line] " prefix.
class LogCollector {
public:
    explicit LogCollector(const std::string &path = "/dev/log");
    ~LogCollector();
    LogCollector(const LogCollector &) = delete;
    LogCollector &operator=(const LogCollector &) = delete;

    std::vector<std::string> Lines() const;   // whole syslog lines
    std::vector<std::string> Texts() const;
    // Waits until `count` messages (one for WaitFor) contain `text`; false after the timeout, which
    // only a fault reaches: a loaded machine may take seconds for what an idle one does at once.
    bool WaitForCount(const std::string &text, size_t count, std::chrono::milliseconds timeout = 30s) const;
    bool WaitFor(const std::string &text, std::chrono::milliseconds timeout = 30s) const
    {
        return WaitForCount(text, 1, timeout);
    }
    size_t Count(const std::string &text) const;
    // Returns once every line this process logged before the call arrived, so
    // a Count after it sees them all (for other processes' lines: nothing).
    void Barrier() const;
    // The texts that this process logs while fn runs, between two markers of its own.
    std::vector<std::string> TextsLoggedBy(const std::function<void()> &fn) const;
    void Clear();
    std::string Dump() const;   // for failure output

    static std::string Message(const std::string &line);
    static std::string Text(const std::string &message);

private:
    void Run();
    size_t CountLocked(const std::string &text) const;   // REQUIRES mu_
    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string path_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::thread reader_;
};

// The real ortavis-upgd binary, a child of the test.
class Daemon {
public:
    Daemon() = default;
    explicit Daemon(pid_t child) : pid_(child) {}   // one this process started otherwise
    ~Daemon();                                      // kills a daemon still running
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    static std::string BinaryPath();
    // Forks and execs the daemon with the caller's signal mask, environment
    // and descriptors, the signals in `blocked` added to the mask.
    bool Start(std::initializer_list<int> blocked = {}, const std::string &binary = BinaryPath());
    // Waits until its pid is the pid file's text, it takes a stop (once every
    // start-up thread runs), its socket listens and, given its `log`, main has
    // read the interval and is in its last wait. False after the timeout.
    bool WaitStarted(const LogCollector *log, std::chrono::milliseconds timeout = 10s);
    pid_t Pid() const { return pid_; }
    bool Signal(int signo) const { return pid_ > 0 && kill(pid_, signo) == 0; }
    // Looks without reaping: WaitExit still gets the status, and the pid is
    // never taken for another process's.
    bool Running()
    {
        siginfo_t info{};
        return pid_ > 0 && waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
    }
    // The wait status once it exited, or nullopt after the timeout.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout = 10s);

private:
    pid_t pid_ = -1;
};

// Polls cond every 10 ms until it holds or the timeout is over; cond's last value.
bool WaitUntil(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 5s);

// Exit status of a wait status that ended normally, or -1.
inline int ExitCode(int waitStatus) { return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1; }

bool WriteFile(const std::string &path, const std::string &content, int mode = 0644);
std::optional<std::string> ReadFile(const std::string &path);
bool PathExists(const std::string &path);
// The soft descriptor limit raised to the hard one, and both to at least
// atLeast (root may raise the hard limit): children, the daemon included,
// inherit it. False when the limit could not be set.
inline bool RaiseFdLimit(rlim_t atLeast = 0)
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) {
        return false;
    }
    lim.rlim_max = std::max(lim.rlim_max, atLeast);
    lim.rlim_cur = lim.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}
// A line "Key:   N kB" of /proc/PID/status (VmRSS, VmHWM), in KiB; -1 when missing.
inline long StatusKib(pid_t pid, const std::string &key)
{
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status").value_or("");
    size_t at = status.find("\n" + key + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + key.size() + 2));
}
// How many threads the process has now, and how many children its threads have.
std::pair<size_t, size_t> ThreadsAndChildren(pid_t pid);
// The signal set a line "Key:\tHEX" of /proc/PID/status shows (SigBlk, ShdPnd; with
// `task`, that thread's own): bit signo - 1 for signo, all set when unreadable.
std::bitset<64> ProcSigSet(pid_t pid, const std::string &key, pid_t task = 0);
bool MakeDirs(const std::string &path);

inline constexpr const char *kIsoDir = "/opt/patch/programfiles/ortavis";
inline constexpr const char *kPidFile = "/var/run/ortavis-upgd.pid";

}  // namespace upgd_test
