// Host command runner.
//
// A pipeline is started left to right with posix_spawnp: each command's
// standard output is a pipe into the next one's standard input, the first
// reads /dev/null, and the last writes into a pipe that we read (or into
// /dev/null when the caller wants no output). Our pipe ends are opened
// close-on-exec and every child closes all descriptors above 2 before exec,
// so a socket opened without close-on-exec by another thread of the daemon
// does not leak into the tools either.
//
// The first command leads a new process group; the others join it. We then
// wait on a pidfd per command while draining the output pipe, so a command
// that fills the pipe never stalls, and reap the commands only after the
// wait: the leader's unreaped pid keeps the group id ours, which makes
// killing the group on a time-out or a failed spawn safe from pid reuse.
// A call owns its descriptors and children and touches no shared state,
// so any number of threads may run pipelines at once.
#include "ortavis_upgd_seccmd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ortavis_upgd_raii.h"

namespace {


// A daemon whose standard descriptors are closed gets 0, 1 or 2 from pipe2;
// the child's redirections of 0 and 1 would overwrite such a pipe end before
// using it, so our ends always live above 2.
UniqueFd AboveStdio(UniqueFd fd)
{
    if (fd.Get() > 2) {
        return fd;
    }
    return UniqueFd(fcntl(fd.Get(), F_DUPFD_CLOEXEC, 3));
}

bool MakePipe(UniqueFd &readEnd, UniqueFd &writeEnd)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    UniqueFd r(fds[0]);
    UniqueFd w(fds[1]);
    readEnd = AboveStdio(std::move(r));
    writeEnd = AboveStdio(std::move(w));
    return readEnd.Valid() && writeEnd.Valid();
}

class SpawnActions {
public:
    SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
    ~SpawnActions()
    {
        if (ok_) {
            posix_spawn_file_actions_destroy(&actions_);
        }
    }
    SpawnActions(const SpawnActions &) = delete;
    SpawnActions &operator=(const SpawnActions &) = delete;

    // Standard input from inFd (or /dev/null when -1), standard output into
    // outFd (or /dev/null when -1), nothing else above 2. Returns 0 or an
    // error number.
    int Build(int inFd, int outFd)
    {
        if (!ok_) {
            return ENOMEM;
        }
        int rc = inFd >= 0 ? posix_spawn_file_actions_adddup2(&actions_, inFd, 0)
                           : posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
        if (rc == 0) {
            rc = outFd >= 0 ? posix_spawn_file_actions_adddup2(&actions_, outFd, 1)
                            : posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
        }
        if (rc == 0) {
            rc = posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
        }
        return rc;
    }
    const posix_spawn_file_actions_t *Get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
    bool ok_ = false;
};

// Default dispositions for every signal (the daemon ignores SIGPIPE and
// SIGINT, which exec would pass on) and an empty mask; pgroup 0 makes the
// child the leader of a new group.
class SpawnAttr {
public:
    SpawnAttr() { ok_ = posix_spawnattr_init(&attr_) == 0; }
    ~SpawnAttr()
    {
        if (ok_) {
            posix_spawnattr_destroy(&attr_);
        }
    }
    SpawnAttr(const SpawnAttr &) = delete;
    SpawnAttr &operator=(const SpawnAttr &) = delete;

    int Build(pid_t pgroup)
    {
        if (!ok_) {
            return ENOMEM;
        }
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        int rc = posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                                      POSIX_SPAWN_SETSIGMASK);
        if (rc == 0) {
            rc = posix_spawnattr_setsigdefault(&attr_, &all);
        }
        if (rc == 0) {
            rc = posix_spawnattr_setsigmask(&attr_, &none);
        }
        if (rc == 0) {
            rc = posix_spawnattr_setpgroup(&attr_, pgroup);
        }
        return rc;
    }
    const posix_spawnattr_t *Get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
    bool ok_ = false;
};


// The captured output: kept up to SECCMD_OUTPUT_MAX bytes, dropped beyond.
class OutputBuffer {
public:
    void Append(const char *data, size_t n)
    {
        n = std::min(n, SECCMD_OUTPUT_MAX - len_);
        if (n == 0 || failed_) {
            return;
        }
        if (len_ + n + 1 > cap_) {
            size_t cap = std::max<size_t>(cap_ * 2, 4096);
            cap = std::min(std::max(cap, len_ + n + 1), SECCMD_OUTPUT_MAX + 1);
            char *grown = static_cast<char *>(realloc(data_.get(), cap));
            if (grown == nullptr) {
                failed_ = true;
                return;
            }
            (void)data_.release();
            data_.reset(grown);
            cap_ = cap;
        }
        memcpy(data_.get() + len_, data, n);
        len_ += n;
        data_.get()[len_] = '\0';
    }
    bool Failed() const { return failed_; }
    // The NUL-terminated text for the caller to free, or null when empty.
    char *Release() { return data_.release(); }

private:
    std::unique_ptr<char, FreeDeleter> data_;
    size_t len_ = 0;
    size_t cap_ = 0;
    bool failed_ = false;
};

// Reads what the non-blocking pipe holds now, at most a bounded amount per
// call so a writer that never stops cannot hold the caller here. False once
// the pipe is at its end (or broken) and should no longer be watched.
bool Drain(int fd, OutputBuffer *sink)
{
    constexpr int kChunksPerCall = 64;
    char chunk[16384];
    for (int chunks = 0; chunks < kChunksPerCall; ++chunks) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n > 0) {
            if (sink != nullptr) {
                sink->Append(chunk, static_cast<size_t>(n));
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
    return true;
}

// The started commands of one pipeline. Whatever path leaves the call, the
// destructor kills and reaps those not reaped yet, so no child outlives it
// as a zombie.
class Pipeline {
public:
    Pipeline() = default;
    ~Pipeline() { KillAndReap(); }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    size_t Count() const { return count_; }
    pid_t Group() const { return count_ > 0 ? pids_[0] : 0; }
    int PidFd(size_t i) const { return pidfds_[i].Get(); }

    // Takes a started child; false (errno set) when it cannot be watched.
    bool Add(pid_t pid)
    {
        pids_[count_] = pid;
        pidfds_[count_].Reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
        return pidfds_[count_++].Valid();
    }

    // Only while the leader is unreaped: the group id cannot have been
    // reused.
    // Kills the whole group, and each command by its pid in case it left
    // the group, so every command is sure to end.
    void KillGroup() const
    {
        if (count_ > 0 && pids_[0] > 0) {
            kill(-pids_[0], SIGKILL);
        }
        for (size_t i = 0; i < count_; ++i) {
            if (pids_[i] > 0) {
                kill(pids_[i], SIGKILL);
            }
        }
    }

    // Reaps every child; the last one's wait status goes to *lastStatus.
    // False (errno set) when a child could not be reaped.
    bool Reap(int *lastStatus)
    {
        bool ok = true;
        for (size_t i = 0; i < count_; ++i) {
            if (pids_[i] <= 0) {
                continue;
            }
            int ws = 0;
            pid_t r;
            do {
                r = waitpid(pids_[i], &ws, 0);
            } while (r < 0 && errno == EINTR);
            ok = ok && r == pids_[i];
            pids_[i] = -1;
            *lastStatus = ws;
        }
        return ok;
    }

private:
    void KillAndReap()
    {
        int errnoSaved = errno;
        KillGroup();
        int ignored;
        Reap(&ignored);
        errno = errnoSaved;
    }

    std::array<pid_t, SECCMD_MAX_COMMANDS> pids_{};
    std::array<UniqueFd, SECCMD_MAX_COMMANDS> pidfds_;
    size_t count_ = 0;
};

int Fail(int err)
{
    errno = err;
    return -1;
}

int DecodeStatus(int ws)
{
    if (WIFEXITED(ws)) {
        return WEXITSTATUS(ws);
    }
    if (WIFSIGNALED(ws)) {
        return 128 + WTERMSIG(ws);
    }
    return -1;
}

// Waits until every command has exited, draining `capture` meanwhile; kills
// the group once the deadline passes. False (errno set) when poll fails.
bool WaitPipeline(const Pipeline &pipeline, const UniqueFd &capture, OutputBuffer *sink,
                  int timeoutMs, bool *timedOut)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::array<pollfd, SECCMD_MAX_COMMANDS + 1> fds{};
    const size_t n = pipeline.Count();
    fds[0] = {capture.Get(), POLLIN, 0};
    for (size_t i = 0; i < n; ++i) {
        fds[i + 1] = {pipeline.PidFd(i), POLLIN, 0};
    }
    size_t running = n;
    while (running > 0) {
        int waitMs = -1;
        if (timeoutMs >= 0 && !*timedOut) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                pipeline.KillGroup();
                *timedOut = true;
            } else {
                waitMs = static_cast<int>(left.count());
            }
        }
        if (poll(fds.data(), n + 1, waitMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (fds[0].revents != 0 && !Drain(fds[0].fd, sink)) {
            fds[0].fd = -1;
        }
        for (size_t i = 1; i <= n; ++i) {
            if (fds[i].revents != 0) {
                fds[i].fd = -1;
                --running;
            }
        }
    }
    // What the last command wrote before it exited is in the pipe by now.
    if (fds[0].fd >= 0) {
        Drain(fds[0].fd, sink);
    }
    return true;
}

int RunVectors(char **out, int *status, int timeoutMs, char *const *argv0, va_list ap)
{
    std::array<char *const *, SECCMD_MAX_COMMANDS> vectors{};
    size_t count = 0;
    for (char *const *argv = argv0; argv != nullptr; argv = va_arg(ap, char *const *)) {
        if (count == vectors.size()) {
            return Fail(EINVAL);
        }
        vectors[count++] = argv;
    }
    return seccmd_run_pipeline(out, status, timeoutMs,
                               std::span<char *const *const>(vectors.data(), count));
}

}  // namespace

int seccmd_run_pipeline(char **out, int *status, int timeoutMs,
                        std::span<char *const *const> commands)
{
    if (status == nullptr || commands.empty() || commands.size() > SECCMD_MAX_COMMANDS) {
        return Fail(EINVAL);
    }
    for (char *const *argv : commands) {
        if (argv == nullptr || argv[0] == nullptr) {
            return Fail(EINVAL);
        }
    }

    Pipeline pipeline;
    UniqueFd prevRead;   // feeds the next command's standard input
    UniqueFd capture;    // the last command's standard output, when wanted
    for (size_t i = 0; i < commands.size(); ++i) {
        const bool last = i + 1 == commands.size();
        UniqueFd readEnd;
        UniqueFd writeEnd;
        if ((!last || out != nullptr) && !MakePipe(readEnd, writeEnd)) {
            return -1;
        }
        SpawnActions actions;
        SpawnAttr attr;
        int rc = actions.Build(prevRead.Get(), writeEnd.Get());
        if (rc == 0) {
            rc = attr.Build(pipeline.Group());
        }
        pid_t pid = -1;
        if (rc == 0) {
            rc = posix_spawnp(&pid, commands[i][0], actions.Get(), attr.Get(), commands[i], environ);
        }
        if (rc != 0) {
            return Fail(rc);
        }
        if (!pipeline.Add(pid)) {
            return -1;
        }
        prevRead = std::move(readEnd);
        if (last) {
            capture = std::move(prevRead);
        }
    }
    if (capture.Valid() && fcntl(capture.Get(), F_SETFL, O_NONBLOCK) != 0) {
        return -1;
    }

    OutputBuffer output;
    bool timedOut = false;
    if (!WaitPipeline(pipeline, capture, &output, timeoutMs, &timedOut)) {
        return -1;
    }
    int lastStatus = 0;
    if (!pipeline.Reap(&lastStatus)) {
        return -1;
    }
    if (output.Failed()) {
        return Fail(ENOMEM);
    }
    *status = timedOut ? SECCMD_STATUS_TIMEOUT : DecodeStatus(lastStatus);
    if (out != nullptr) {
        *out = output.Release();
    }
    return 0;
}

int seccmd_run_argset(char **out, void *reserved, int *status, char *const *argv0, ...)
{
    if (reserved != nullptr) {
        return Fail(EINVAL);
    }
    va_list ap;
    va_start(ap, argv0);
    int rc = RunVectors(out, status, -1, argv0, ap);
    va_end(ap);
    return rc;
}

int seccmd_run_argset_timeout(char **out, int *status, int timeoutMs, char *const *argv0, ...)
{
    va_list ap;
    va_start(ap, argv0);
    int rc = RunVectors(out, status, timeoutMs, argv0, ap);
    va_end(ap);
    return rc;
}
