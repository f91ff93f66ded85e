// Host command runner.
//
// A pipeline is started left to right, one fork and exec per command: each
// command's standard output is a pipe into the next one's standard input,
// the first reads /dev/null, and the last writes into a pipe that we read (or
// into /dev/null when the caller wants no output). Our pipe ends are opened
// close-on-exec and every child closes all descriptors above 2 before exec,
// so a socket opened without close-on-exec by another thread of the daemon
// does not leak into the tools either. Everything the child needs is
// prepared before the fork; the child itself makes only async-signal-safe
// calls, PATH search included, and reports a failed exec through a
// close-on-exec pipe, so a missing program fails the call as it should.
//
// The first command leads a new process group; the others join it. We then
// wait on a pidfd per command while draining the output pipe, so a command
// that fills the pipe never stalls, and reap the commands only after the
// wait: the leader's unreaped pid keeps the group id ours, which makes
// killing the group on a time-out, at stop or after a failed start safe from
// pid reuse. A call owns its descriptors and children; what it shares is
// the stop descriptor it reads and the slots: an eventfd semaphore holding
// the free ones, which a call takes before its first fork and gives back
// once its commands are reaped. A call without a slot polls the semaphore
// beside the stop descriptor until its time limit; every freed slot wakes
// all such callers and one takes it, an urgent one (seccmd_set_urgent)
// before the others, which hold back while one waits.
#include "ortavis_upgd_seccmd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
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

// Everything a child needs, prepared before the fork: after it the child of
// a multi-threaded process may only make async-signal-safe calls.
struct ChildPlan {
    char *const *argv;
    int inFd;       // becomes descriptor 0
    int outFd;      // becomes descriptor 1
    int reportFd;   // close-on-exec pipe: a failed exec writes its errno here
    pid_t group;    // 0: lead a new process group
    pid_t parent;
    const char *path;
};

// Execs argv[0] as execvp would, found on PATH through a stack buffer (an
// empty entry is the current directory). Returns only on failure, with the
// errno to report: EACCES when a candidate was there but not runnable,
// otherwise ENOENT.
int ExecSearch(const ChildPlan &plan)
{
    const char *name = plan.argv[0];
    if (std::strchr(name, '/') != nullptr) {
        execve(name, plan.argv, environ);
        return errno;
    }
    int err = ENOENT;
    const size_t nameLen = std::strlen(name);
    char candidate[PATH_MAX];
    for (const char *dir = plan.path;;) {
        const char *end = strchrnul(dir, ':');
        const size_t dirLen = static_cast<size_t>(end - dir);
        const char *prefix = dirLen > 0 ? dir : ".";
        const size_t prefixLen = dirLen > 0 ? dirLen : 1;
        if (prefixLen + nameLen + 2 <= sizeof(candidate)) {
            memcpy(candidate, prefix, prefixLen);
            candidate[prefixLen] = '/';
            memcpy(candidate + prefixLen + 1, name, nameLen + 1);
            execve(candidate, plan.argv, environ);
            err = errno == EACCES ? EACCES : err;
        }
        if (*end == '\0') {
            return err;
        }
        dir = end + 1;
    }
}

// Runs in the child; never returns. PR_SET_PDEATHSIG ties the command's life
// to the thread that forked it, which waits for it: it is killed when the
// daemon dies, however the daemon dies (the getppid check catches a parent
// that died before the tie was made).
[[noreturn]] void ExecChild(const ChildPlan &plan)
{
    int err = prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 ? 0 : errno;
    if (getppid() != plan.parent) {
        _exit(127);
    }
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        (void)sigaction(sig, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    if (err == 0 && (setpgid(0, plan.group) != 0 || dup2(plan.inFd, 0) != 0 || dup2(plan.outFd, 1) != 1 ||
                     sigprocmask(SIG_SETMASK, &none, nullptr) != 0)) {
        err = errno;
    }
    if (err == 0) {
        if (plan.reportFd > 3) {
            (void)close_range(3, plan.reportFd - 1, 0);
        }
        (void)close_range(plan.reportFd + 1, ~0U, 0);
        err = ExecSearch(plan);
    }
    (void)!write(plan.reportFd, &err, sizeof(err));
    _exit(127);
}

// Starts one command; 0 with *pid set once it has exec'ed, or an error
// number (the child that could not exec is reaped).
int SpawnCommand(ChildPlan plan, pid_t *pid)
{
    UniqueFd reportRead;
    UniqueFd reportWrite;
    if (!MakePipe(reportRead, reportWrite)) {
        return errno;
    }
    plan.reportFd = reportWrite.Get();
    plan.parent = getpid();
    const char *path = getenv("PATH");
    plan.path = path != nullptr ? path : "/bin:/usr/bin";

    // No handler of the daemon may run in the child before it resets them.
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t child = fork();
    if (child == 0) {
        ExecChild(plan);
    }
    int forkErr = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (child < 0) {
        return forkErr;
    }
    reportWrite.Reset();
    int err = 0;
    ssize_t n;
    do {
        n = read(reportRead.Get(), &err, sizeof(err));
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
        *pid = child;
        return 0;
    }
    int ws;
    while (waitpid(child, &ws, 0) < 0 && errno == EINTR) {
    }
    return n == static_cast<ssize_t>(sizeof(err)) && err != 0 ? err : ECHILD;
}

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

std::atomic<int> g_stopFd{-1};

bool StopRaised(int stopFd)
{
    pollfd pfd{stopFd, POLLIN, 0};
    return stopFd >= 0 && poll(&pfd, 1, 0) > 0;
}

enum class Ending { kExited, kTimedOut, kStopped };

std::atomic<int> g_slots{-1};
// Calls of the threads doing what a client waits on take a freed slot first.
thread_local bool t_urgent = false;
std::atomic<int> g_urgentWaiting{0};
constexpr int kYieldMs = 5;

// The semaphore of free slots, made by the first call that needs it; -1
// (errno set) when no descriptor is to be had.
int Slots()
{
    int fd = g_slots.load();
    if (fd >= 0) {
        return fd;
    }
    UniqueFd made(eventfd(SECCMD_RUNNING_MAX, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC));
    made = AboveStdio(std::move(made));
    if (!made.Valid()) {
        return -1;
    }
    if (g_slots.compare_exchange_strong(fd, made.Get())) {
        return made.Release();
    }
    return fd;   // another call made it first; ours closes
}

// One running pipeline's slot, given back when it goes.
class Slot {
public:
    Slot() = default;
    ~Slot()
    {
        if (held_) {
            const uint64_t one = 1;
            (void)!write(g_slots.load(), &one, sizeof(one));
        }
    }
    Slot(const Slot &) = delete;
    Slot &operator=(const Slot &) = delete;

    // Waits for a slot until the deadline: kExited once held, kTimedOut
    // when the deadline passed first, kStopped at the daemon's stop; false
    // (errno set) when the wait fails.
    template <class TimePoint>
    bool Take(TimePoint deadline, Ending *ending)
    {
        const int slots = Slots();
        if (slots < 0) {
            return false;
        }
        std::array<pollfd, 2> fds{{{slots, POLLIN, 0}, {g_stopFd.load(), POLLIN, 0}}};
        struct Urgent {
            Urgent() { g_urgentWaiting += t_urgent ? 1 : 0; }
            ~Urgent() { g_urgentWaiting -= t_urgent ? 1 : 0; }
        } urgent;
        for (;;) {
            // Behind an urgent caller, another waits without taking the slot.
            const bool yield = !t_urgent && g_urgentWaiting.load() > 0;
            uint64_t one = 0;
            if (!yield && read(slots, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) {
                held_ = true;
                *ending = Ending::kExited;
                return true;
            }
            if (!yield && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - TimePoint::clock::now());
            if (left.count() <= 0) {
                *ending = Ending::kTimedOut;
                return true;
            }
            int waitMs = yield && left.count() > kYieldMs ? kYieldMs : static_cast<int>(left.count());
            if (poll(yield ? &fds[1] : fds.data(), yield ? 1 : fds.size(), waitMs) < 0 && errno != EINTR) {
                return false;
            }
            if (fds[1].revents != 0) {
                *ending = Ending::kStopped;
                return true;
            }
        }
    }

private:
    bool held_ = false;
};

// Waits until every command has exited, draining `capture` meanwhile; kills
// the group once the deadline passes or the stop descriptor becomes
// readable. False (errno set) when poll fails.
bool WaitPipeline(const Pipeline &pipeline, const UniqueFd &capture, OutputBuffer *sink,
                  std::chrono::steady_clock::time_point deadline, Ending *ending)
{
    using Clock = std::chrono::steady_clock;
    std::array<pollfd, SECCMD_MAX_COMMANDS + 2> fds{};
    const size_t n = pipeline.Count();
    fds[0] = {capture.Get(), POLLIN, 0};
    for (size_t i = 0; i < n; ++i) {
        fds[i + 1] = {pipeline.PidFd(i), POLLIN, 0};
    }
    pollfd &stop = fds[n + 1];
    stop = {g_stopFd.load(), POLLIN, 0};
    size_t running = n;
    *ending = Ending::kExited;
    while (running > 0) {
        int waitMs = -1;
        if (*ending == Ending::kExited) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                pipeline.KillGroup();
                *ending = Ending::kTimedOut;
            } else {
                waitMs = static_cast<int>(left.count());
            }
        }
        if (poll(fds.data(), n + 2, waitMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (stop.revents != 0) {
            stop.fd = -1;
            pipeline.KillGroup();
            *ending = Ending::kStopped;
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

    if (StopRaised(g_stopFd.load())) {
        return Fail(ECANCELED);
    }
    if (timeoutMs <= 0) {
        timeoutMs = SECCMD_DEFAULT_TIMEOUT_MS;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Slot slot;   // before the pipeline: given back once its commands are reaped
    Ending ending = Ending::kExited;
    if (!slot.Take(deadline, &ending)) {
        return -1;
    }
    if (ending == Ending::kStopped) {
        return Fail(ECANCELED);
    }
    if (ending == Ending::kTimedOut) {
        *status = SECCMD_STATUS_TIMEOUT;
        return 0;
    }
    UniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    devNull = AboveStdio(std::move(devNull));
    if (!devNull.Valid()) {
        return -1;
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
        ChildPlan plan{};
        plan.argv = commands[i];
        plan.inFd = prevRead.Valid() ? prevRead.Get() : devNull.Get();
        plan.outFd = writeEnd.Valid() ? writeEnd.Get() : devNull.Get();
        plan.group = pipeline.Group();
        pid_t pid = -1;
        if (int rc = SpawnCommand(plan, &pid); rc != 0) {
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
    if (!WaitPipeline(pipeline, capture, &output, deadline, &ending)) {
        return -1;
    }
    int lastStatus = 0;
    if (!pipeline.Reap(&lastStatus)) {
        return -1;
    }
    if (ending == Ending::kStopped) {
        return Fail(ECANCELED);
    }
    if (output.Failed()) {
        return Fail(ENOMEM);
    }
    *status = ending == Ending::kTimedOut ? SECCMD_STATUS_TIMEOUT : DecodeStatus(lastStatus);
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
    int rc = RunVectors(out, status, SECCMD_DEFAULT_TIMEOUT_MS, argv0, ap);
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

void seccmd_set_urgent(int urgent)
{
    t_urgent = urgent != 0;
}

void seccmd_set_stop_fd(int fd)
{
    g_stopFd.store(fd);
}
