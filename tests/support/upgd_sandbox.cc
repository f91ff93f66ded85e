#include "upgd_sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "unix_socket.h"

namespace upgd_test {

LogCollector::LogCollector(const std::string &path) : path_(path)
{
    fd_ = simhost::BindUnix(path_, SOCK_DGRAM);
    if (fd_ < 0 || pipe2(stopPipe_, O_CLOEXEC) != 0) {
        std::abort();   // the sandbox is broken: nothing a test could say is trustworthy
    }
    chmod(path_.c_str(), 0666);
    reader_ = std::thread([this] { Run(); });
}

LogCollector::~LogCollector()
{
    char c = 0;
    (void)!write(stopPipe_[1], &c, 1);
    reader_.join();
    close(fd_);
    close(stopPipe_[0]);
    close(stopPipe_[1]);
    unlink(path_.c_str());
}

void LogCollector::Run()
{
    char buf[65536];
    for (;;) {
        pollfd pfd[2] = {{fd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        if (poll(pfd, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pfd[0].revents & POLLIN) {
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n > 0) {
                std::string line(buf, static_cast<size_t>(n));
                while (!line.empty() && line.back() == '\0') {
                    line.pop_back();
                }
                std::lock_guard<std::mutex> lock(mu_);
                lines_.push_back(std::move(line));
                cv_.notify_all();
            }
            continue;
        }
        if (pfd[1].revents) {
            return;
        }
    }
}

std::string LogCollector::Message(const std::string &line)
{
    // "<pri>Mmm dd hh:mm:ss tag: message" (or "tag[pid]: message")
    size_t start = line.find('>');
    if (start == std::string::npos || line.size() < start + 17) {
        return line;
    }
    size_t pos = line.find(": ", start + 17);
    return pos == std::string::npos ? line : line.substr(pos + 2);
}

std::string LogCollector::Text(const std::string &message)
{
    if (!message.empty() && message[0] == '[') {
        size_t pos = message.find("] ");
        if (pos != std::string::npos) {
            return message.substr(pos + 2);
        }
    }
    return message;
}

std::vector<std::string> LogCollector::Lines() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
}

std::vector<std::string> LogCollector::Messages() const
{
    std::vector<std::string> out;
    for (const auto &l : Lines()) {
        out.push_back(Message(l));
    }
    return out;
}

std::vector<std::string> LogCollector::Texts() const
{
    std::vector<std::string> out;
    for (const auto &l : Lines()) {
        out.push_back(Text(Message(l)));
    }
    return out;
}

size_t LogCollector::Count(const std::string &text) const
{
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const auto &l : lines_) {
        if (Message(l).find(text) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

bool LogCollector::WaitForCount(const std::string &text, size_t count,
                                std::chrono::milliseconds timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        size_t n = 0;
        for (const auto &l : lines_) {
            if (Message(l).find(text) != std::string::npos) {
                ++n;
            }
        }
        if (n >= count) {
            return true;
        }
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            return false;
        }
    }
}

bool LogCollector::WaitFor(const std::string &text, std::chrono::milliseconds timeout) const
{
    return WaitForCount(text, 1, timeout);
}

namespace {

// Logs a marker unique to this process and waits until it came back.
std::string LogMarker(const LogCollector &log)
{
    static std::atomic<int> next{0};
    std::string marker = "log marker " + std::to_string(getpid()) + "-" + std::to_string(next++);
    syslog(LOG_INFO, "%s", marker.c_str());
    if (!log.WaitFor(marker, 10s)) {
        std::abort();   // the collector lost a line: nothing counted after is trustworthy
    }
    return marker;
}

}  // namespace

void LogCollector::Barrier() const
{
    (void)LogMarker(*this);
}

std::vector<std::string> LogCollector::TextsLoggedBy(const std::function<void()> &fn) const
{
    const std::string begin = LogMarker(*this);
    fn();
    const std::string end = LogMarker(*this);
    std::vector<std::string> texts = Texts();
    auto from = std::find(texts.begin(), texts.end(), begin);
    return std::vector<std::string>(from + 1, std::find(from, texts.end(), end));
}

void LogCollector::Clear()
{
    std::lock_guard<std::mutex> lock(mu_);
    lines_.clear();
}

std::string LogCollector::Dump() const
{
    std::ostringstream out;
    for (const auto &l : Lines()) {
        out << "  " << l << "\n";
    }
    return out.str();
}

// ---- Daemon ----------------------------------------------------------------

std::string Daemon::BinaryPath()
{
    return UPGD_DAEMON_PATH;
}

bool Daemon::Start(std::initializer_list<int> blocked)
{
    std::string bin = BinaryPath();
    pid_ = fork();
    if (pid_ == 0) {
        // As a supervisor starts it: the mask, environment and descriptors
        // are what the caller has, plus the signals a supervisor left blocked.
        sigset_t set;
        sigemptyset(&set);
        for (int signo : blocked) {
            sigaddset(&set, signo);
        }
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        execl(bin.c_str(), "ortavis-upgd", static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid_ > 0;
}

bool Daemon::WaitStarted(std::chrono::milliseconds timeout)
{
    constexpr size_t kStartedThreads = 1 + 8;   // main and the pool's workers
    std::string want = std::to_string(pid_) + "\n";
    std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadFile(kPidFile).value_or("") == want) {
            size_t n = 0;
            if (DIR *dir = opendir(tasks.c_str())) {
                while (dirent *e = readdir(dir)) {
                    n += e->d_name[0] != '.';
                }
                closedir(dir);
            }
            if (n >= kStartedThreads) {
                return true;
            }
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

bool Daemon::Signal(int signo) const
{
    return pid_ > 0 && kill(pid_, signo) == 0;
}

bool Daemon::Running()
{
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    return r == 0;
}

std::optional<int> Daemon::WaitExit(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0) {
        return std::nullopt;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return status;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(10ms);
    }
}

Daemon::~Daemon()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

int ExitCode(int waitStatus)
{
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

// ---- Files -----------------------------------------------------------------

bool WriteFile(const std::string &path, const std::string &content, int mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return false;
    }
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(fd) == 0 && ok;
}

std::optional<std::string> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool PathExists(const std::string &path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0;
}

bool MakeDirs(const std::string &path)
{
    std::string cur;
    std::istringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty()) {
            continue;
        }
        cur += "/" + part;
        if (mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

}  // namespace upgd_test
