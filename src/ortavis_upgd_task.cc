// Concurrency support.
//
// The task pool runs every management client's connection on 8 long-lived
// workers. Jobs wait in a first-in, first-out queue
// guarded by the pool's mutex; AddTask may be called from any thread. A
// management client keeps its worker for as long as it stays connected, so
// destruction cannot simply wait for the workers: main raises the stop event
// first, which every long-running job polls, and destruction gives the
// workers one shared deadline. A worker still busy then is abandoned together with the pool's
// memory (the process is about to end), never freed under it.
//
// The lockable objects are plain records whose first member is a default
// pthread mutex; the wrappers below treat the record's address as the mutex.
// g_upgSem pairs its mutex with the counting semaphore that upgrade_thread
// waits on. SIGALRM posts that semaphore directly from signal context, once
// per expiry, without the mutex and without logging.
#include "ortavis_upgd_task.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <new>

#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_log.h"

UpgSemObject g_upgSem;
LockableObject g_upgMsgSendLock;
LockableObject g_clientListLock;
sem_t g_resetVmStatusSem;
sem_t g_exitSem;
std::atomic<TaskPool *> g_taskPool{nullptr};

namespace {

std::atomic<int> g_upgRunning{0};   // written under g_upgMsgSendLock
pthread_key_t g_connEndKey;
std::atomic<bool> g_stopRequested{false};
std::atomic<int> g_stopFd{-1};

// Pools whose workers could not be joined stay reachable here for the rest
// of the process.
std::atomic<TaskPool *> g_abandonedPool{nullptr};

constexpr int kPoolJoinSeconds = 5;

pthread_mutex_t *AsMutex(void *obj)
{
    return static_cast<pthread_mutex_t *>(obj);
}

bool NullObject(const void *obj)
{
    if (obj == nullptr) {
        UPG_LOG("Object is NULL, not a objectLockable instance.");
        return true;
    }
    return false;
}

}  // namespace

bool SleepUnlessStopping(int ms)
{
    const int64_t deadline = MonotonicMs() + ms;
    for (;;) {
        if (StopRequested()) {
            return false;
        }
        int64_t left = deadline - MonotonicMs();
        if (left <= 0) {
            return true;
        }
        pollfd stop{StopEventFd(), POLLIN, 0};
        (void)poll(&stop, stop.fd >= 0 ? 1 : 0, static_cast<int>(left));
    }
}

// ---- Lockable objects -------------------------------------------------------

int InitObjectLock(void *obj)
{
    if (NullObject(obj)) {
        return -1;
    }
    return pthread_mutex_init(AsMutex(obj), nullptr);
}

void LockObject(void *obj)
{
    if (!NullObject(obj)) {
        (void)pthread_mutex_lock(AsMutex(obj));
    }
}

void UnlockObject(void *obj)
{
    if (!NullObject(obj)) {
        (void)pthread_mutex_unlock(AsMutex(obj));
    }
}

void DestroyObjectLock(void *obj)
{
    if (!NullObject(obj)) {
        (void)pthread_mutex_destroy(AsMutex(obj));
    }
}

void LockMutex(ObjectMutex *mu) NO_THREAD_SAFETY_ANALYSIS   // the pthread call is not annotated
{
    (void)pthread_mutex_lock(mu);
}

void UnlockMutex(ObjectMutex *mu) NO_THREAD_SAFETY_ANALYSIS   // the pthread call is not annotated
{
    (void)pthread_mutex_unlock(mu);
}

// ---- Upgrade trigger ---------------------------------------------------------

void UpgSemPost()
{
    UPG_LOG("--> UpgSemPost");
    LockObject(&g_upgSem);
    if (sem_post(&g_upgSem.sem) != 0) {
        UPG_LOG("sem_post failed");
    }
    UnlockObject(&g_upgSem);
    UPG_LOG("<-- UpgSemPost");
}

void UpgTimerSignalHandler(int)
{
    int savedErrno = errno;
    (void)sem_post(&g_upgSem.sem);
    errno = savedErrno;
}

int SemWaitRetry(sem_t *sem)
{
    for (;;) {
        if (sem_wait(sem) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

int GetUpgRunning()
{
    return g_upgRunning.load();
}

void SetUpgRunning(int running)
{
    g_upgRunning.store(running);
}

// ---- Connection-end mark -------------------------------------------------------

int CreateConnEndKey()
{
    return pthread_key_create(&g_connEndKey, nullptr);
}

int SetConnEndMark(const char *mark)
{
    int ret = pthread_setspecific(g_connEndKey, mark);
    if (ret != 0) {
        errno = ret;
        return -1;
    }
    return 0;
}

const char *GetConnEndMark()
{
    return static_cast<const char *>(pthread_getspecific(g_connEndKey));
}

// ---- Stop event ---------------------------------------------------------------

int CreateStopEvent()
{
    g_stopRequested.store(false);
    if (int old = g_stopFd.load(); old >= 0) {
        uint64_t count = 0;
        (void)!read(old, &count, sizeof(count));   // unraised again
        return 0;
    }
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    g_stopFd.store(fd);
    return 0;
}

void RequestStop()
{
    g_stopRequested.store(true);
    int fd = g_stopFd.load();
    if (fd >= 0) {
        uint64_t one = 1;
        (void)!write(fd, &one, sizeof(one));
    }
    // The threads that sleep on a semaphore wake, see the stop and end.
    (void)sem_post(&g_upgSem.sem);
    (void)sem_post(&g_resetVmStatusSem);
}

bool StopRequested()
{
    return g_stopRequested.load();
}

int StopEventFd()
{
    return g_stopFd.load();
}

// ---- Task pool ----------------------------------------------------------------

struct TaskNode {
    void (*routine)(void *);
    void *arg;
    void (*drop)(void *);   // releases arg of a job that never runs, or null
    std::unique_ptr<TaskNode> next;
};

// threadNum and threads are set before the first worker starts and fixed
// from then on; the queue and the counts are guarded by mutex.
struct TaskPool {
    explicit TaskPool(int workers) : runningNum(workers), threadNum(workers) {}

    int taskNum GUARDED_BY(mutex) = 0;
    int runningNum GUARDED_BY(mutex);   // workers not waiting for a job
    int shutdown GUARDED_BY(mutex) = 0;
    const int threadNum;
    ObjectMutex mutex{};
    pthread_cond_t cond{};
    std::unique_ptr<pthread_t[]> threads;
    std::unique_ptr<TaskNode> taskHead GUARDED_BY(mutex);
    TaskNode *taskTail GUARDED_BY(mutex) = nullptr;   // last queued node, for the append
};

namespace {

void *TaskWorker(void *argPool)
{
    auto *pool = static_cast<TaskPool *>(argPool);
    for (;;) {
        LockMutex(&pool->mutex);
        pool->runningNum--;
        while (pool->taskNum == 0) {
            if (pool->shutdown) {
                UnlockMutex(&pool->mutex);
                return nullptr;
            }
            pthread_cond_wait(&pool->cond, &pool->mutex);
        }
        if (pool->shutdown) {
            UnlockMutex(&pool->mutex);
            return nullptr;
        }
        pool->runningNum++;
        pool->taskNum--;
        std::unique_ptr<TaskNode> node = std::move(pool->taskHead);
        if (!node) {
            UnlockMutex(&pool->mutex);
            continue;
        }
        pool->taskHead = std::move(node->next);
        if (!pool->taskHead) {
            pool->taskTail = nullptr;
        }
        UnlockMutex(&pool->mutex);
        node->routine(node->arg);
    }
}

// Tells the workers to end and joins them against one deadline. Returns the
// number of workers that did not end in time.
int StopWorkers(TaskPool *pool, int started, const timespec &deadline)
{
    LockMutex(&pool->mutex);
    pool->shutdown = 1;
    pthread_cond_broadcast(&pool->cond);
    UnlockMutex(&pool->mutex);

    int stuck = 0;
    for (int i = 0; i < started; ++i) {
        if (JoinBefore(pool->threads[i], deadline) != 0) {
            UPG_LOG("can't join task pool worker %d", i);
            (void)pthread_detach(pool->threads[i]);   // it ends on its own, unjoined
            ++stuck;
        }
    }
    return stuck;
}

// Queued jobs are dropped unrun; their arguments belong to their routines.
// Called once every worker is joined.
void DropQueuedJobs(TaskPool *pool) NO_THREAD_SAFETY_ANALYSIS   // no worker is left to share the queue
{
    while (pool->taskHead) {
        if (pool->taskHead->drop != nullptr) {
            pool->taskHead->drop(pool->taskHead->arg);
        }
        pool->taskHead = std::move(pool->taskHead->next);
    }
}

void ReleasePool(TaskPool *pool)
{
    pthread_mutex_destroy(&pool->mutex);
    pthread_cond_destroy(&pool->cond);
    delete pool;
}

}  // namespace

int CreateTaskPool(int threadNum)
{
    if (threadNum <= 0) {
        UPG_LOG("thread_create failed");
        return -1;
    }
    std::unique_ptr<TaskPool> pool(new (std::nothrow) TaskPool(threadNum));
    if (!pool) {
        UPG_LOG("TaskPool malloc failed");
        g_taskPool = nullptr;
        return -1;
    }
    if (pthread_mutex_init(&pool->mutex, nullptr) != 0) {
        UPG_LOG("ConditionInit failed");
        g_taskPool = nullptr;
        return -1;
    }
    if (pthread_cond_init(&pool->cond, nullptr) != 0) {
        pthread_mutex_destroy(&pool->mutex);
        UPG_LOG("ConditionInit failed");
        g_taskPool = nullptr;
        return -1;
    }
    pool->threads.reset(new (std::nothrow) pthread_t[static_cast<size_t>(threadNum)]());
    if (!pool->threads) {
        UPG_LOG("thread_create failed");
        pthread_mutex_destroy(&pool->mutex);
        pthread_cond_destroy(&pool->cond);
        g_taskPool = nullptr;
        return -1;
    }
    for (int i = 0; i < threadNum; ++i) {
        if (pthread_create(&pool->threads[i], nullptr, TaskWorker, pool.get()) != 0) {
            UPG_LOG("thread_create failed");
            if (StopWorkers(pool.get(), i, DeadlineAfter(kPoolJoinSeconds)) != 0) {
                g_abandonedPool = pool.release();
            } else {
                ReleasePool(pool.release());
            }
            g_taskPool = nullptr;
            return -1;
        }
    }
    g_taskPool = pool.release();
    return 0;
}

int AddTask(void (*routine)(void *), void *arg, void (*drop)(void *))
{
    if (routine == nullptr) {
        UPG_LOG("Invalid argument routine");
        return -1;
    }
    TaskPool *pool = g_taskPool;
    if (pool == nullptr) {
        UPG_LOG("task pool is not running, task refused");
        return -1;
    }
    std::unique_ptr<TaskNode> node(new (std::nothrow) TaskNode());
    if (!node) {
        UPG_LOG("malloc a new task failed");
        return -1;
    }
    node->routine = routine;
    node->arg = arg;
    node->drop = drop;
    LockMutex(&pool->mutex);
    TaskNode *raw = node.get();
    if (pool->taskTail != nullptr) {
        pool->taskTail->next = std::move(node);
    } else {
        pool->taskHead = std::move(node);
    }
    pool->taskTail = raw;
    pool->taskNum++;
    pthread_cond_signal(&pool->cond);
    UnlockMutex(&pool->mutex);
    return 0;
}

timespec DeadlineAfter(int seconds)
{
    timespec deadline{};
    (void)clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    return deadline;
}

int JoinBefore(pthread_t thread, const timespec &deadline)
{
    const int64_t until = static_cast<int64_t>(deadline.tv_sec) * 1000 + deadline.tv_nsec / 1000000;
    for (;;) {
        int rc = pthread_tryjoin_np(thread, nullptr);
        if (rc != EBUSY) {
            return rc;
        }
        if (MonotonicMs() >= until) {
            return ETIMEDOUT;
        }
        timespec pause{0, 5L * 1000 * 1000};
        (void)nanosleep(&pause, nullptr);
    }
}

int DestroyTaskPool()
{
    return DestroyTaskPool(DeadlineAfter(kPoolJoinSeconds));
}

int DestroyTaskPool(const timespec &deadline)
{
    TaskPool *pool = g_taskPool.exchange(nullptr);
    if (pool == nullptr) {
        return 0;
    }
    int stuck = StopWorkers(pool, pool->threadNum, deadline);
    if (stuck != 0) {
        // A worker is still inside a job and may come back to the mutex.
        g_abandonedPool = pool;
        return stuck;
    }
    DropQueuedJobs(pool);
    ReleasePool(pool);
    return 0;
}
