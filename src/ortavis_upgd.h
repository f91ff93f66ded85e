// Daemon core: the life of the process. UpgdMain takes the single-instance
// pid-file lock, settles the ISO directory, initialises every shared object
// in its fixed order, starts the pool and the long-running threads, and
// sleeps on g_exitSem until a termination signal; then it stops everything in
// order and removes the pid file.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <span>

inline constexpr const char *UPGD_PID_FILE = "/var/run/ortavis-upgd.pid";
inline constexpr const char *UPGD_ISO_DEFAULT_DIR = "/opt/patch/programfiles/ortavis";
inline constexpr const char *UPGD_ISO_LINK_NAME = "ortavis-linux.iso";
inline constexpr int UPGD_PATH_MAX = 1024;

// The ISO directory, settled once at start-up; every ISO file is "%s/%s" from it.
extern char g_chISORealPath[UPGD_PATH_MAX];

// The whole life of the daemon: 0 after an orderly shutdown, -1 when
// start-up failed or another instance holds the lock.
int UpgdMain();

// Writes into dest (1024 bytes) the directory of the target of
// "ortavis-linux.iso" in the default ISO directory. A relative target is
// taken relative to the link's own directory, as the kernel resolves it.
// 0 on success; the errno of a failed readlink (EINVAL: not a symbolic link);
// -1 for a null dest, a formatting failure or an over-long target.
int GetLinkPath(char *dest);

// ---- Signals -------------------------------------------------------------------

// The last termination signal recorded and its sender; 0 means none.
extern std::atomic<int> g_recvSigNo;
extern std::atomic<int> g_recvSigPid;
static_assert(std::atomic<int>::is_always_lock_free);

// The fault signal (SIGSEGV, SIGFPE, SIGILL, SIGBUS) that the daemon's own
// code raised, or 0. The process must end with a failure after it.
extern std::atomic<int> g_faultSigNo;

// Blocks (true) or unblocks every signal the daemon handles in the calling
// thread: main blocks them first of all, so that a stop that arrives while it
// starts waits for the handlers instead of killing it without clean-up, and
// unblocks them once the handlers are in place, before any other thread
// exists (a supervisor may have started it with some of them blocked).
// 0 or -1.
int SetHandledSignalsBlocked(bool blocked);
void InstallSignalHandlers();
// Installs the upgrade timer's SIGALRM handler (UpgTimerSignalHandler).
void InstallTimerHandler();
int GetRecvSigNo();
// Initialises g_exitSem (0) and clears the recorded signal. 0 or -1.
int InitExitSem();
// Sleeps on g_exitSem (an interrupted wait is repeated, any other failure
// ends it), then writes the termination report when a signal was recorded.
// After a fault of the daemon's own code it does not return: the pid file is
// removed and the process ends by that signal.
void AwaitTermination();
// Logs "ortavis-upgd: terminating on signal %d from pid %d(%s)" naming the
// sender's executable.
void ReportTermination(int signo, int pid);

// ---- Long-running threads ----------------------------------------------------

struct DaemonThread {
    const char *name;          // routine name, for the log
    void *(*routine)(void *);
    pthread_t handle;
    bool started;
};

// Joins the started threads in order against one absolute CLOCK_REALTIME
// deadline; each thread that does not end logs "can't join thread %s" once
// and is detached. Returns the number of threads not joined.
int JoinThreadsByDeadline(std::span<DaemonThread> threads, const timespec &deadline);

// ---- Shared objects and shutdown ---------------------------------------------

// Initialises the shared locks, semaphores, the request registry and the
// stop event in their fixed order. 0, or -1 after the failing step's line.
int InitSharedObjects();
// Stops the daemon: raises the stop event, joins the threads and then the
// pool's workers against one 5-second deadline, and releases the shared
// objects. When a thread or worker is abandoned, everything it may still
// reach (the pool, the semaphores, the registries) is left in place.
// Returns the number of threads and workers abandoned.
int StopDaemon(std::span<DaemonThread> threads);
