// Daemon core: start-up, signals, shutdown.
//
// main runs on the initial thread and, once started, only sleeps on
// g_exitSem. One handler serves every termination signal (a stop sent from
// outside reaches main alone): it records the signal and its sender in two
// lock-free atomics and posts g_exitSem; main then writes the termination
// report and stops the daemon in order. The long-running threads stop
// cooperatively: main raises the stop event, which each of them polls at its
// stopping points, and joins them against one deadline. A fault raised by
// the daemon's own code (SIGSEGV, SIGFPE, SIGILL, SIGBUS) is never resumed:
// main writes the report and ends the process by the same signal, and if
// main cannot (it is the faulting thread, or it does not get there in time)
// the handler restores the default action so the faulting instruction ends
// the process.
#include "ortavis_upgd.h"

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "ortavis_upgd_cmd.h"
#include "ortavis_upgd_guestlane.h"
#include "ortavis_upgd_handlers.h"
#include "ortavis_upgd_drive.h"
#include "ortavis_upgd_iso.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_upgrade.h"
#include "ortavis_upgd_vm.h"
#include "ortavis_upgd_vmloop.h"

char g_chISORealPath[UPGD_PATH_MAX];
std::atomic<int> g_recvSigNo{0};
std::atomic<int> g_recvSigPid{0};
std::atomic<int> g_faultSigNo{0};

namespace {

// g_exitSem may be posted only between its initialisation and destruction.
std::atomic<bool> g_exitSemLive{false};

constexpr int kShutdownSeconds = 5;
// How long a faulting thread waits for main to end the process.
constexpr int kFaultWaitTicks = 30;   // of 100 ms

bool IsFaultSignal(int signo)
{
    return signo == SIGSEGV || signo == SIGFPE || signo == SIGILL || signo == SIGBUS;
}

void RestoreDefaultAction(int signo)
{
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    (void)sigaction(signo, &dfl, nullptr);
}

void TermSignalHandler(int signo, siginfo_t *info, void *)
{
    if (signo == SIGPIPE || signo == SIGINT || info == nullptr) {
        return;
    }
    int savedErrno = errno;
    // si_code > 0 only for signals the kernel raised for this process itself;
    // kill() and sigqueue() give 0 or less.
    bool fault = IsFaultSignal(signo) && info->si_code > 0;
    g_recvSigPid.store(fault ? static_cast<int>(getpid()) : static_cast<int>(info->si_pid));
    g_recvSigNo.store(info->si_signo);
    if (fault) {
        g_faultSigNo.store(signo);
    }
    if (g_exitSemLive.load()) {
        (void)sem_post(&g_exitSem);
    }
    if (fault) {
        // main ends the process after its report, or, when it is already
        // stopping, checks for the fault before it exits.
        if (syscall(SYS_gettid) != getpid()) {
            for (int i = 0; i < kFaultWaitTicks; ++i) {
                timespec ts{0, 100L * 1000 * 1000};
                nanosleep(&ts, nullptr);
            }
        }
        // Resuming now re-executes the faulting instruction under the
        // default action, which ends the process.
        RestoreDefaultAction(signo);
    }
    errno = savedErrno;
}

// A refusal to start is said on standard error as well as in the log: whoever
// started the daemon by hand reads it there.
void RefuseStart(const char *why, int err)
{
    std::fprintf(stderr, "ortavis-upgd: %s %s%s%s\n", why, UPGD_PID_FILE, err != 0 ? ": " : "",
                 err != 0 ? std::strerror(err) : "");
}

// True while fd is still the file at the pid-file path. An exiting instance
// unlinks the path while it holds the lock; a file locked after that unlink
// is no longer the pid file, and locking it proves nothing.
bool LockedFileIsAtPath(int fd)
{
    struct stat held {};
    struct stat atPath {};
    if (fstat(fd, &held) != 0 || stat(UPGD_PID_FILE, &atPath) != 0) {
        return false;
    }
    return held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino;
}

// Takes the pid-file lock. Returns the locked descriptor, -1 when start-up
// must end, or -2 when the daemon goes on without the lock.
int LockPidFile()
{
    constexpr int kReopenAttempts = 10;
    for (int attempt = 0;; ++attempt) {
        int fd = open(UPGD_PID_FILE, O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
        if (fd < 0) {
            int err = errno;
            UPG_LOG("ortavis-upgd couldn't create lock file.\n");
            RefuseStart("cannot create the pid file", err);
            return -1;
        }
        struct flock lk {};
        lk.l_type = F_WRLCK;
        lk.l_whence = SEEK_SET;
        lk.l_start = 0;
        lk.l_len = 0;
        int ret;
        while ((ret = fcntl(fd, F_SETLK, &lk)) != 0 && errno == EINTR) {
        }
        if (ret == 0) {
            if (LockedFileIsAtPath(fd)) {
                return fd;
            }
            close(fd);
            if (attempt + 1 < kReopenAttempts) {
                continue;   // the old instance removed it: take the new file
            }
            UPG_LOG("ortavis-upgd couldn't aquire lock. Error was %d.\n", ESTALE);
            return -2;
        }
        if (errno == EAGAIN || errno == EACCES) {
            UPG_LOG("Another ortavis-upgd instance is already running.\n");
            RefuseStart("another instance is already running: it holds the lock of", 0);
            close(fd);
            return -1;
        }
        UPG_LOG("ortavis-upgd couldn't aquire lock. Error was %d.\n", errno);
        close(fd);
        return -2;
    }
}

// Writes "<pid>\n" over the locked file. 0, or -1 after unlinking and closing it.
int WritePid(int fd, pid_t pid)
{
    auto fail = [fd](int err) {
        RefuseStart("cannot write the pid into", err);
        unlink(UPGD_PID_FILE);
        close(fd);
        return -1;
    };
    if (ftruncate(fd, 0) != 0) {
        int err = errno;
        UPG_LOG("ortavis-upgd couldn't truncate lock file. Error was %d.\n", err);
        return fail(err);
    }
    char pidText[24] = {0};
    int len = snprintf_s(pidText, sizeof(pidText), sizeof(pidText) - 1, "%d\n", static_cast<int>(pid));
    if (len < 0) {
        UPG_LOG("snprintf_s pid_s failed");
        return fail(0);
    }
    for (;;) {
        ssize_t n = pwrite(fd, pidText, static_cast<size_t>(len), 0);
        if (n == len) {
            return 0;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        int err = errno;
        UPG_LOG("ortavis-upgd couldn't write pid to lock file. Error was %d\n", err);
        return fail(err);
    }
}

void SettleIsoDir()
{
    memset_s(g_chISORealPath, sizeof(g_chISORealPath), 0, sizeof(g_chISORealPath));
    int ret = GetLinkPath(g_chISORealPath);
    if (ret == 0) {
        UPG_LOG("%s is a symbolic link,real path is %s", UPGD_ISO_DEFAULT_DIR, g_chISORealPath);
        return;
    }
    (void)strncpy_s(g_chISORealPath, sizeof(g_chISORealPath), UPGD_ISO_DEFAULT_DIR,
                    sizeof(g_chISORealPath) - 1);
    if (ret == EINVAL) {
        UPG_LOG("%s is not a symbolic link. iso path is still %s", UPGD_ISO_DEFAULT_DIR,
                UPGD_ISO_DEFAULT_DIR);
    } else {
        UPG_LOG("failed to readlink,errno=%d", ret);
    }
}

// One guest channel per VM (up to 1024) besides the clients and the pipes of
// the commands run: the soft descriptor limit is raised to the hard one.
void RaiseDescriptorLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) {
            UPG_LOG("setrlimit RLIMIT_NOFILE failed, errno=%d", errno);
        }
    }
}

// The long-running threads, in start order. Each joins the table when its
// area exists.
DaemonThread g_daemonThreads[] = {
    {"dealWithCmd", dealWithCmd, {}, false},
    {"dealWithVmCmd", dealWithVmCmd, {}, false},
    {"upgrade_thread", upgrade_thread, {}, false},
    {"ResetVmStatusThread", ResetVmStatusThread, {}, false},
};

int StartDaemonThreads()
{
    for (auto &t : g_daemonThreads) {
        if (t.routine == nullptr) {
            continue;
        }
        if (pthread_create(&t.handle, nullptr, t.routine, nullptr) != 0) {
            UPG_LOG("create thread %s failed", t.name);
            return -1;
        }
        t.started = true;
    }
    return 0;
}

[[noreturn]] void EndAfterFault(int signo)
{
    UPG_LOG("ortavis-upgd: fault signal %d in the daemon itself, ending with it", signo);
    unlink(UPGD_PID_FILE);
    RestoreDefaultAction(signo);
    raise(signo);
    _exit(255);
}

}  // namespace

// ---- Signals ---------------------------------------------------------------------

// Every signal the daemon acts on. A supervisor may start it with some of
// them blocked, and the threads inherit main's mask.
constexpr int kHandledSignals[] = {SIGTERM, SIGHUP,  SIGFPE, SIGSEGV, SIGILL,
                                   SIGABRT, SIGBUS,  SIGPIPE, SIGINT, SIGALRM};
// Those sent to stop it: main's alone. Every other thread keeps them
// blocked, so that no stop is taken by a worker about to end. (The timer's
// SIGALRM may reach any thread: each expiry is one post wherever it lands,
// and every wait repeats a call it cut short.)
constexpr int kOutsideSignals[] = {SIGTERM, SIGHUP, SIGINT};

template <size_t N>
int SetSignalsBlocked(const int (&signals)[N], bool blocked)
{
    sigset_t set;
    sigemptyset(&set);
    for (int signo : signals) {
        sigaddset(&set, signo);
    }
    return pthread_sigmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr) == 0 ? 0 : -1;
}

int SetHandledSignalsBlocked(bool blocked)
{
    return SetSignalsBlocked(kHandledSignals, blocked);
}

void InstallTimerHandler()
{
    struct sigaction alrm {};
    alrm.sa_handler = UpgTimerSignalHandler;
    sigemptyset(&alrm.sa_mask);
    (void)sigaction(SIGALRM, &alrm, nullptr);
}

void InstallSignalHandlers()
{
    struct sigaction plain {};
    plain.sa_sigaction = TermSignalHandler;
    plain.sa_flags = SA_SIGINFO;
    sigemptyset(&plain.sa_mask);

    struct sigaction masked = plain;
    sigaddset(&masked.sa_mask, SIGHUP);
    sigaddset(&masked.sa_mask, SIGPIPE);
    sigaddset(&masked.sa_mask, SIGINT);

    (void)sigaction(SIGTERM, &plain, nullptr);
    (void)sigaction(SIGFPE, &plain, nullptr);
    (void)sigaction(SIGSEGV, &plain, nullptr);
    (void)sigaction(SIGILL, &plain, nullptr);
    (void)sigaction(SIGABRT, &plain, nullptr);
    (void)sigaction(SIGBUS, &plain, nullptr);
    (void)sigaction(SIGHUP, &masked, nullptr);
    (void)sigaction(SIGPIPE, &masked, nullptr);
    (void)sigaction(SIGINT, &masked, nullptr);
}

int InitExitSem()
{
    g_recvSigPid.store(0);
    g_recvSigNo.store(0);
    if (sem_init(&g_exitSem, 0, 0) != 0) {
        return -1;
    }
    g_exitSemLive.store(true);
    return 0;
}

void AwaitTermination()
{
    while (sem_wait(&g_exitSem) != 0 && errno == EINTR) {
    }
    int signo = g_recvSigNo.load();
    if (signo != 0) {
        ReportTermination(signo, g_recvSigPid.load());
    }
    int fault = g_faultSigNo.load();
    if (fault != 0) {
        EndAfterFault(fault);
    }
}

int GetRecvSigNo()
{
    return g_recvSigNo.load();
}

void ReportTermination(int signo, int pid)
{
    char name[1024] = {0};
    char link[1024] = {0};
    if (pid < 0) {
        UPG_LOG("pid : %d", pid);
    } else if (snprintf_s(link, sizeof(link), sizeof(link) - 1, "/proc/%d/exe", pid) < 0) {
        UPG_LOG("snprintf_s process path link failed");
    } else {
        ssize_t n = readlink(link, name, sizeof(name) - 1);
        if (n >= 0) {
            name[n] = '\0';
        } else if (snprintf_s(name, sizeof(name), 5, "%s", "NULL") < 0) {
            UPG_LOG("snprintf_s : pname snprintf_s failed");
        }
    }
    UPG_LOG("ortavis-upgd: terminating on signal %d from pid %d(%s)", signo, pid, name);
}

// ---- ISO directory -----------------------------------------------------------------

int GetLinkPath(char *dest)
{
    if (dest == nullptr) {
        UPG_LOG("pchSrcPath is null or pchDestPath is null!");
        return -1;
    }
    char linkPath[UPGD_PATH_MAX] = {0};
    if (snprintf_s(linkPath, sizeof(linkPath), sizeof(linkPath) - 1, "%s/%s", UPGD_ISO_DEFAULT_DIR,
                   UPGD_ISO_LINK_NAME) < 0) {
        UPG_LOG("snprintf_s : chSrcPathTemp snprintf_s failed");
        return -1;
    }
    char target[UPGD_PATH_MAX] = {0};
    ssize_t len = readlink(linkPath, target, sizeof(target));
    if (len < 0) {
        int err = errno;
        if (err == EINVAL) {
            UPG_LOG("%s is not a symbolic link\n", linkPath);
        } else {
            UPG_LOG("failed to readlink,errno=%d", err);
        }
        return err;
    }
    if (len > UPGD_PATH_MAX - 1) {
        UPG_LOG("the path is error or too long, iLen=%d", static_cast<int>(len));
        return -1;
    }
    target[len] = '\0';
    bool absolute = target[0] == '/';
    char *slash = std::strrchr(target, '/');
    if (slash != nullptr) {
        *slash = '\0';
    }
    int ret = 0;
    if (absolute) {
        ret = strncpy_s(dest, UPGD_PATH_MAX, target, UPGD_PATH_MAX - 1);
    } else if (slash == nullptr) {
        // The ISO lies beside the link.
        ret = strncpy_s(dest, UPGD_PATH_MAX, UPGD_ISO_DEFAULT_DIR, UPGD_PATH_MAX - 1);
    } else {
        ret = snprintf_s(dest, UPGD_PATH_MAX, UPGD_PATH_MAX - 1, "%s/%s", UPGD_ISO_DEFAULT_DIR, target) < 0
                  ? -1
                  : 0;
    }
    if (ret != 0) {
        UPG_LOG("the path is error or too long, iLen=%d", static_cast<int>(len));
        dest[0] = '\0';
        return -1;
    }
    UPG_LOG("GetLinkPath pchDestPath is %s", dest);
    return 0;
}

// ---- Threads -------------------------------------------------------------------------

int JoinThreadsByDeadline(std::span<DaemonThread> threads, const timespec &deadline)
{
    int notJoined = 0;
    for (auto &t : threads) {
        if (!t.started) {
            continue;
        }
        if (JoinBefore(t.handle, deadline) != 0) {
            UPG_LOG("can't join thread %s", t.name);
            (void)pthread_detach(t.handle);   // abandoned: it ends with the process
            t.started = false;
            ++notJoined;
            continue;
        }
        t.started = false;
    }
    return notJoined;
}

// ---- Shared objects ------------------------------------------------------------------

int InitSharedObjects()
{
    int keyRet = CreateConnEndKey();
    if (keyRet != 0) {
        errno = keyRet;
    }
    if (InitVmListLock() != 0 || InitIndependentVmListLock() != 0 || InitUpgVmListAddLock() != 0) {
        return -1;
    }
    if (InitIsoListLock() != 0) {
        UPG_LOG("init isoList lock failed");
        return -1;
    }
    if (sem_init(&g_upgSem.sem, 0, 0) != 0) {
        UPG_LOG("semaphore initialization failed");
        return -1;
    }
    if (InitObjectLock(&g_upgSem) != 0) {
        UPG_LOG("init g_upgSem lock failed");
        return -1;
    }
    InitMsgNodeList();
    if (InitObjectLock(&g_clientListLock) != 0) {
        UPG_LOG("init client list lock failed");
        return -1;
    }
    if (InitObjectLock(&g_upgMsgSendLock) != 0) {
        UPG_LOG("init g_upgMsgSendLock failed");
        return -1;
    }
    if (InitExitSem() != 0) {
        UPG_LOG("init semaphore initialization failed");
        return -1;
    }
    if (sem_init(&g_resetVmStatusSem, 0, 0) != 0) {
        UPG_LOG("init semaphore g_resetVmStatusSem failed");
        return -1;
    }
    if (CreateStopEvent() != 0) {
        UPG_LOG("create stop event failed");
        return -1;
    }
    // From the stop on, host commands are killed and no new one starts.
    seccmd_set_stop_fd(StopEventFd());
    return 0;
}

int StopDaemon(std::span<DaemonThread> threads)
{
    RequestStop();
    // One deadline for the whole stop: the thread joins and the pool's.
    const timespec deadline = DeadlineAfter(kShutdownSeconds);
    int abandoned = JoinThreadsByDeadline(threads, deadline);

    // No timer expiry or termination signal may post a semaphore from now on.
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    (void)sigaction(SIGALRM, &ign, nullptr);
    g_exitSemLive.store(false);

    // A thread that did not stop may still queue a job or wait for a worker,
    // and a worker still busy may post a semaphore or touch the registry:
    // whatever such a thread may reach is left in place, and the process
    // ends without running the destructors of its globals.
    if (abandoned != 0) {
        return abandoned;
    }
    abandoned = StopGuestLane(deadline);
    if (abandoned != 0) {
        return abandoned;
    }
    abandoned = DestroyTaskPool(deadline);
    if (abandoned != 0) {
        return abandoned;
    }
    sem_destroy(&g_exitSem);
    sem_destroy(&g_upgSem.sem);
    sem_destroy(&g_resetVmStatusSem);

    VmNode *registry = GetVmListHead();
    LockObject(registry);
    clearVmList(registry);
    UnlockObject(registry);
    DestroyObjectLock(registry);

    LockObject(&g_clientListLock);
    InitMsgNodeList();
    UnlockObject(&g_clientListLock);
    DestroyObjectLock(&g_clientListLock);
    DestroyIsoListLock();
    DestroyObjectLock(GetIndependentVmList());
    DestroyObjectLock(GetUpgVmAddList());
    return 0;
}

// ---- main ---------------------------------------------------------------------------

int UpgdMain()
{
    // Before anything else: a stop signal sent once the pid file is there
    // (a supervisor's sign that the daemon runs) waits for its handler.
    if (SetHandledSignalsBlocked(true) != 0) {
        UPG_LOG("block signals failed, errno=%d", errno);
    }
    pid_t pid = getpid();
    int pidFd = LockPidFile();
    if (pidFd == -1) {
        return -1;
    }
    if (pidFd >= 0 && WritePid(pidFd, pid) != 0) {
        return -1;
    }
    // Unlink before close: the lock is held until the path is gone, so a
    // starting instance never locks a file that is about to disappear.
    auto removePidFile = [pidFd] {
        unlink(UPGD_PID_FILE);
        if (pidFd >= 0) {
            close(pidFd);
        }
    };

    SettleIsoDir();
    RaiseDescriptorLimit();

    if (InitSharedObjects() != 0) {
        removePidFile();
        return -1;
    }
    InstallSignalHandlers();
    InstallTimerHandler();
    // Handlers in place and no other thread yet: every thread started from
    // here on inherits a mask with the stop signals blocked, which main opens
    // for itself once they are all started.
    if (SetHandledSignalsBlocked(false) != 0 || SetSignalsBlocked(kOutsideSignals, true) != 0) {
        UPG_LOG("unblock signals failed, errno=%d", errno);
    }

    // Guest messages have a lane of their own (the pool serves the clients).
    SetResetThreadWork(RecordAttachedAtStart, EjectOverdueIsos, AttachCheckSeconds());
    if (StartGuestLane(dealWithVmMsg, WakeCommandLoop) != 0) {
        removePidFile();
        return -1;
    }
    if (CreateTaskPool(TASK_POOL_THREADS) != 0) {
        UPG_LOG("task pool create failed");
        removePidFile();
        return -1;
    }
    // The ISO offer read once before any client can ask, so the host state
    // shows it from the first request on, before any run.
    (void)PackingMsg(UPG_MSG_START_UPGRADE, true);
    if (StartDaemonThreads() != 0) {
        removePidFile();
        return -1;
    }
    if (SetSignalsBlocked(kOutsideSignals, false) != 0) {   // one sent meanwhile is taken now
        UPG_LOG("unblock signals failed, errno=%d", errno);
    }
    usleep(100 * 1000);
    InitUpgradeInterval();

    AwaitTermination();
    int abandoned = StopDaemon(g_daemonThreads);

    removePidFile();
    UPG_LOG("<== BYE ==>");
    // A fault of the daemon's own code while it stopped: the process must
    // not end as if all went well.
    int fault = g_faultSigNo.load();
    if (fault != 0) {
        EndAfterFault(fault);
    }
    if (abandoned != 0) {
        _exit(0);
    }
    return 0;
}
