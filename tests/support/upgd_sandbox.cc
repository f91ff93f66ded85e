#include "upgd_sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
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
        if (poll(pfd, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        ssize_t n = (pfd[0].revents & POLLIN) ? recv(fd_, buf, sizeof(buf), 0) : 0;
        if (n > 0) {
            std::string line(buf, static_cast<size_t>(n));
            line.erase(line.find_last_not_of('\0') + 1);
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back(std::move(line));
            cv_.notify_all();
        } else if (pfd[1].revents) {
            return;
        }
    }
}

std::string LogCollector::Message(const std::string &line)
{
    // "<pri>Mmm dd hh:mm:ss tag: message" (or "tag[pid]: message")
    size_t start = line.find('>');
    bool header = start != std::string::npos && line.size() >= start + 17;
    size_t pos = header ? line.find(": ", start + 17) : std::string::npos;
    return pos == std::string::npos ? line : line.substr(pos + 2);
}

std::string LogCollector::Text(const std::string &message)
{
    size_t pos = message.starts_with('[') ? message.find("] ") : std::string::npos;
    return pos == std::string::npos ? message : message.substr(pos + 2);
}

std::vector<std::string> LogCollector::Lines() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
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
    return CountLocked(text);
}

size_t LogCollector::CountLocked(const std::string &text) const
{
    return std::count_if(lines_.begin(), lines_.end(),
                         [&](const std::string &l) { return Message(l).find(text) != std::string::npos; });
}

bool LogCollector::WaitForCount(const std::string &text, size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return CountLocked(text) >= count; });
}

// Logs a marker unique to this process and waits until it came back.
static std::string LogMarker(const LogCollector &log)
{
    static std::atomic<int> next{0};
    std::string marker = "log marker " + std::to_string(getpid()) + "-" + std::to_string(next++);
    syslog(LOG_INFO, "%s", marker.c_str());
    if (!log.WaitFor(marker, 10s)) {
        std::abort();   // the collector lost a line: nothing counted after is trustworthy
    }
    return marker;
}

void LogCollector::Barrier() const { (void)LogMarker(*this); }

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
    std::string out;
    for (const auto &l : Lines()) {
        out += "  " + l + "\n";
    }
    return out;
}

// ---- Daemon ----------------------------------------------------------------

std::string Daemon::BinaryPath() { return UPGD_DAEMON_PATH; }

bool Daemon::Start(std::initializer_list<int> blocked, const std::string &binary)
{
    pid_ = fork();
    if (pid_ == 0) {
        sigset_t set;
        sigemptyset(&set);
        for (int signo : blocked) {
            sigaddset(&set, signo);
        }
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        execl(binary.c_str(), "ortavis-upgd", static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid_ > 0;
}

std::bitset<64> ProcSigSet(pid_t pid, const std::string &key, pid_t task)
{
    std::string dir = "/proc/" + std::to_string(pid) + (task != 0 ? "/task/" + std::to_string(task) : "");
    std::string status = ReadFile(dir + "/status").value_or("");
    size_t at = status.find("\n" + key + ":\t");
    return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + key.size() + 3), nullptr, 16);
}

bool Daemon::WaitStarted(const LogCollector *log, std::chrono::milliseconds timeout)
{
    // Main opens the stop signals once every thread of its start-up runs (the
    // pid file is written before, with them blocked), so a signal sent now never
    // meets a thread being made. Its command thread may still have to listen: its
    // socket bears the accepting flag (/proc/net/unix lists other sandboxes' too).
    auto listens = [this] {
        std::istringstream in(ReadFile("/proc/net/unix").value_or(""));
        std::string num, refs, protocol, flags, type, state, inode, path, own;
        std::error_code ec;
        for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec)) {
            own += std::filesystem::read_symlink(fd.path(), ec).string();   // "socket:[inode]" for a socket
        }
        bool found = false;
        while (!found && in >> num >> refs >> protocol >> flags >> type >> state >> inode && std::getline(in, path)) {
            found = flags == "00010000" && path == " /var/run/upgraded_manage" &&
                    own.find("socket:[" + inode + "]") != std::string::npos;
        }
        return found;
    };
    bool started = WaitUntil([&] {
        return ReadFile(kPidFile) == std::to_string(pid_) + "\n" && !ProcSigSet(pid_, "SigBlk")[SIGTERM - 1] && listens();
    }, timeout);
    if (!started || log == nullptr) {
        return started;
    }
    // Main then reads the interval and sleeps on a futex in its last wait, where a signal
    // is taken at once (a sanitizer's runtime may drop one sent before). The interval's
    // line follows its first, on the ISO directory, in once this process's marker is.
    log->Barrier();
    const std::string mainCall = "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/syscall";
    return WaitUntil([&] {
        auto texts = log->Texts();
        auto first = std::find_if(texts.rbegin(), texts.rend(), [](const std::string &t) {
            return t.starts_with(std::string(kIsoDir) + " is ") || t.starts_with("failed to readlink,");
        });
        return std::any_of(texts.rbegin(), first, [](const std::string &t) {
            return t == "conf interTime len is 0" || t == "Open config file failed" || t.starts_with("run upgrade interval ");
        }) && ReadFile(mainCall).value_or("").starts_with(std::to_string(SYS_futex) + " ");
    }, timeout);
}

std::optional<int> Daemon::WaitExit(std::chrono::milliseconds timeout)
{
    int status = 0;
    if (pid_ > 0 && WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
        pid_ = -1;
        return status;
    }
    return std::nullopt;
}

Daemon::~Daemon()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool WaitUntil(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    for (auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(10ms)) {
        if (cond()) {
            return true;
        }
    }
    return cond();
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

std::pair<size_t, size_t> ThreadsAndChildren(pid_t pid)
{
    std::pair<size_t, size_t> n{0, 0};
    std::error_code ec;
    for (const auto &task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::istringstream kids(ReadFile(task.path().string() + "/children").value_or(""));
        ++n.first;
        for (std::string child; kids >> child; ++n.second) {
        }
    }
    return n;
}

std::optional<std::string> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? std::optional(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}

bool PathExists(const std::string &path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0;
}

bool MakeDirs(const std::string &path)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

}  // namespace upgd_test
