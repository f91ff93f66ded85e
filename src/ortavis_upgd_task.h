// Concurrency support: the task pool of 8 workers, the mutex-first lockable
// objects, the process-wide semaphores, the upgrade trigger and the per-thread
// connection-end mark.
//
// Locks and what they guard (lock order where two are held: registry lock,
// then g_independentVMListHead, then g_upgVMListAddHead, then
// g_upgMsgSendLock; an entry's stateLock before its writeLock; the registry
// lock is released before g_clientListLock is taken):
//   g_upgSem          mutex + counting semaphore: one post per upgrade run
//   g_upgMsgSendLock  g_upgRunning
//   g_clientListLock  the request registry of management clients
//   g_resetVmStatusSem, g_exitSem  plain semaphores
// The clang build checks these claims: what a lock guards is GUARDED_BY it,
// and a function that needs a lock held REQUIRES it.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ortavis_upgd_tsa.h"

// ---- Lockable objects -----------------------------------------------------
// Any standard-layout object whose first member `lock` is a default pthread
// mutex. The member is declared as an ObjectMutex, the same pthread mutex
// under a name that the analysis knows as a lock: what a record's mutex
// guards is GUARDED_BY(rec.lock), a function that needs it REQUIRES(rec->lock).
typedef pthread_mutex_t ObjectMutex CAPABILITY("mutex");

template <typename T>
concept LockableRecord = std::is_standard_layout_v<T> && std::is_same_v<decltype(T::lock), pthread_mutex_t>;

// The untyped forms, for callers that hold a lockable object as void *. A
// null object is logged and otherwise ignored. The analysis cannot see which
// lock these take; use the typed forms below wherever the type is known.
int InitObjectLock(void *obj);
void LockObject(void *obj);
void UnlockObject(void *obj);
void DestroyObjectLock(void *obj);

// The typed forms: the same calls, with the lock visible to the analysis.
// (Selected by enable_if: clang 14 reads the annotation of a constrained
// candidate before its constraint, and fails on T = void.)
template <typename T, std::enable_if_t<LockableRecord<T>, int> = 0>
void LockObject(T *obj) ACQUIRE(obj->lock) NO_THREAD_SAFETY_ANALYSIS   // locks through the untyped form
{
    static_assert(offsetof(T, lock) == 0, "a lockable record starts with its mutex");
    LockObject(static_cast<void *>(obj));
}
template <typename T, std::enable_if_t<LockableRecord<T>, int> = 0>
void UnlockObject(T *obj) RELEASE(obj->lock) NO_THREAD_SAFETY_ANALYSIS   // unlocks through the untyped form
{
    static_assert(offsetof(T, lock) == 0, "a lockable record starts with its mutex");
    UnlockObject(static_cast<void *>(obj));
}

// Holds a lockable object's mutex for a scope.
class SCOPED_CAPABILITY ObjectLockGuard {
public:
    template <typename T, std::enable_if_t<LockableRecord<T>, int> = 0>
    explicit ObjectLockGuard(T *obj) ACQUIRE(obj->lock) : obj_(obj)
    {
        LockObject(obj);
    }
    ~ObjectLockGuard() RELEASE() { UnlockObject(obj_); }
    ObjectLockGuard(const ObjectLockGuard &) = delete;
    ObjectLockGuard &operator=(const ObjectLockGuard &) = delete;

private:
    void *obj_;
};

// A bare ObjectMutex (an entry's own locks, the pool's): locked and unlocked
// where the analysis sees it.
void LockMutex(ObjectMutex *mu) ACQUIRE(*mu);
void UnlockMutex(ObjectMutex *mu) RELEASE(*mu);

// Holds a bare ObjectMutex for a scope.
class SCOPED_CAPABILITY MutexGuard {
public:
    explicit MutexGuard(ObjectMutex *mu) ACQUIRE(*mu) : mu_(mu) { LockMutex(mu_); }
    ~MutexGuard() RELEASE() { UnlockMutex(mu_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    ObjectMutex *mu_;
};

struct LockableObject {
    ObjectMutex lock;
};

// The mutex serialises the posts of ordinary threads; the semaphore itself
// is also posted without it, from signal context.
struct UpgSemObject {
    ObjectMutex lock;
    sem_t sem;
};

extern UpgSemObject g_upgSem;
extern LockableObject g_upgMsgSendLock;
extern LockableObject g_clientListLock;
extern sem_t g_resetVmStatusSem;
extern sem_t g_exitSem;

// ---- Upgrade trigger -------------------------------------------------------

// Asks for one upgrade run from an ordinary thread: logs, posts g_upgSem
// under its mutex.
void UpgSemPost();
// The SIGALRM handler: exactly one post of g_upgSem per expiry, nothing else
// (no mutex, no log: it runs in signal context).
void UpgTimerSignalHandler(int signo);

// Sleeps `ms` milliseconds, or less when the daemon stops meanwhile (the
// stop event below). False when the daemon is stopping.
bool SleepUnlessStopping(int ms);

// Waits on a semaphore, repeating a wait that a signal interrupted.
// Returns 0 once the semaphore was taken, -1 on any other failure.
int SemWaitRetry(sem_t *sem);

// g_upgRunning: 1 while an upgrade run sends its messages. It is written
// with g_upgMsgSendLock held; it is atomic because one reader (the upgrade
// control's first look) reads it without the lock.
int GetUpgRunning();
void SetUpgRunning(int running) REQUIRES(g_upgMsgSendLock.lock);

// ---- Connection-end mark ---------------------------------------------------

inline constexpr const char *CONN_END_MARK = "_csu_fini";

// Creates g_connEndKey (once, by main). Returns 0 or the pthread error.
int CreateConnEndKey();
// Sets the calling thread's mark (CONN_END_MARK or null). 0, or -1 with errno.
int SetConnEndMark(const char *mark);
// The calling thread's mark; null when never set.
const char *GetConnEndMark();

// ---- Task pool ---------------------------------------------------------------

inline constexpr int TASK_POOL_THREADS = 8;

// The pool handles the management clients' requests, a worker each for as
// long as one request takes; guest messages have a lane of their own (the
// guest lane), so no number of clients can hold a guest up.

struct TaskPool;
extern std::atomic<TaskPool *> g_taskPool;

// 0, or -1 with g_taskPool null.
int CreateTaskPool(int threadNum);
// Queues routine(arg); a job the pool drops unrun at its end gets drop(arg)
// instead, when given. 0, or -1 for a null routine or a failed allocation.
int AddTask(void (*routine)(void *), void *arg, void (*drop)(void *) = nullptr);
// Stops the workers, drops the queued jobs, releases the pool. Bounded in
// time: workers get until the absolute CLOCK_REALTIME `deadline` to finish
// their running job (the daemon raises the stop event below first, so long
// jobs end), and a worker still busy then is abandoned together with the
// pool, which stays allocated for the rest of the process. A second call
// does nothing. Returns the number of workers abandoned.
int DestroyTaskPool(const timespec &deadline);
// The same with a deadline 5 seconds from now.
int DestroyTaskPool();
// CLOCK_MONOTONIC now plus `seconds`: an absolute deadline of the joins and
// waits at shutdown, which a step of the wall clock leaves alone.
timespec DeadlineAfter(int seconds);
// Joins the thread before a DeadlineAfter deadline: 0, ETIMEDOUT when it
// still runs then, or the join's error.
int JoinBefore(pthread_t thread, const timespec &deadline);

// ---- Stop event ----------------------------------------------------------------
// Raised once at shutdown. Long-running threads and pool jobs test
// StopRequested() at their stopping points and put StopEventFd() into every
// poll, so a blocked wait ends at once (the descriptor stays readable); the
// threads that sleep on g_upgSem or g_resetVmStatusSem get one post each and
// must test StopRequested() after every wake.

// By main, before any thread: a stop event not raised (one made before is
// lowered again). 0 or -1.
int CreateStopEvent();
void RequestStop();             // idempotent, async-signal-safe
bool StopRequested();
int StopEventFd();
