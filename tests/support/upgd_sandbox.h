// Shared test support for everything that runs inside sim/sandbox:
// the collector of the lines logged to /dev/log, the real daemon binary as a
// child process, and small file helpers. Tests that use these must run in
// the sandbox (upgd_test(... SANDBOX)).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace upgd_test {

using namespace std::chrono_literals;

// Binds a datagram socket at /dev/log and keeps every line logged to it.
// Message() is the text after the syslog header ("[file:line] text" for the
// daemon's lines).
class LogCollector {
public:
    explicit LogCollector(const std::string &path = "/dev/log");
    ~LogCollector();
    LogCollector(const LogCollector &) = delete;
    LogCollector &operator=(const LogCollector &) = delete;

    std::vector<std::string> Lines() const;         // whole syslog lines
    std::vector<std::string> Messages() const;      // the messages alone
    // Waits until some message contains `text`; true when one did.
    bool WaitFor(const std::string &text, std::chrono::milliseconds timeout = 5s) const;
    // Waits until `count` messages contain `text`.
    bool WaitForCount(const std::string &text, size_t count,
                      std::chrono::milliseconds timeout = 5s) const;
    size_t Count(const std::string &text) const;
    // Returns once every line this process logged before the call has
    // arrived (a marker logged now has come back), so a Count after it sees
    // them all. For lines of other processes it proves nothing.
    void Barrier() const;
    // The texts (prefix removed) that this process logs while fn runs, read
    // between two markers of its own.
    std::vector<std::string> TextsLoggedBy(const std::function<void()> &fn) const;
    // The messages, with their "[file:line] " prefix removed.
    std::vector<std::string> Texts() const;
    void Clear();
    std::string Dump() const;                       // for failure output

    static std::string Message(const std::string &line);
    static std::string Text(const std::string &message);

private:
    void Run();
    int fd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::string path_;
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<std::string> lines_;
    std::thread reader_;
};

// The real ortavis-upgd binary, started as a child of the test.
class Daemon {
public:
    Daemon() = default;
    ~Daemon();   // kills a daemon still running
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    static std::string BinaryPath();
    // Forks and execs the daemon with the caller's signal mask, environment
    // and descriptors, the signals in `blocked` added to the mask.
    bool Start(std::initializer_list<int> blocked = {});
    // Waits until the daemon has written its pid file and started its task
    // pool (so its signal handlers are in place). False after the timeout.
    bool WaitStarted(std::chrono::milliseconds timeout = 10s);
    pid_t Pid() const { return pid_; }
    bool Signal(int signo) const;
    bool Running();
    // The wait status once it exited, or nullopt after the timeout.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout = 10s);

private:
    pid_t pid_ = -1;
};

// Exit status of a wait status that ended normally, or -1.
int ExitCode(int waitStatus);

bool WriteFile(const std::string &path, const std::string &content, int mode = 0644);
std::optional<std::string> ReadFile(const std::string &path);
bool PathExists(const std::string &path);
bool MakeDirs(const std::string &path);

inline constexpr const char *kIsoDir = "/opt/patch/programfiles/ortavis";
inline constexpr const char *kPidFile = "/var/run/ortavis-upgd.pid";

}  // namespace upgd_test
