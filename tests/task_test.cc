// The task pool, the lockable objects and the upgrade trigger, driven in
// process. Every test runs in its own sandbox, so the process-wide objects
// start fresh in each.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "ortavis_upgd.h"
#include "ortavis_upgd_task.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using upgd_test::LogCollector;

struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> arrived{0};
    void Wait()
    {
        arrived++;
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [this] { return open; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(mu);
        open = true;
        cv.notify_all();
    }
};

bool WaitUntil(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 5s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

struct Recorder {
    std::mutex mu;
    std::vector<int> order;
};

struct Job {
    Recorder *rec;
    int id;
};

void RecordJob(void *arg)
{
    auto *job = static_cast<Job *>(arg);
    std::lock_guard<std::mutex> lock(job->rec->mu);
    job->rec->order.push_back(job->id);
}

void BlockJob(void *arg)
{
    static_cast<Gate *>(arg)->Wait();
}

struct GatedJob {
    Recorder *rec;
    int id;
    Gate gate;
};

void RecordThenBlockJob(void *arg)
{
    auto *job = static_cast<GatedJob *>(arg);
    {
        std::lock_guard<std::mutex> lock(job->rec->mu);
        job->rec->order.push_back(job->id);
    }
    job->gate.Wait();
}

TEST(TaskPool, QueuedJobsRunInOrderOnceWorkersFree)
{
    ASSERT_EQ(CreateTaskPool(TASK_POOL_THREADS), 0);
    Gate busy;
    for (int i = 0; i < TASK_POOL_THREADS; ++i) {
        ASSERT_EQ(AddTask(BlockJob, &busy), 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return busy.arrived == TASK_POOL_THREADS; }));

    // All eight busy. Each queued job keeps its worker until released, so
    // after the first release exactly one worker is free at a time and the
    // recorded order is the order in which the pool hands jobs out.
    Recorder rec;
    constexpr int kJobs = 100;
    std::vector<std::unique_ptr<GatedJob>> jobs;
    for (int i = 0; i < kJobs; ++i) {
        jobs.push_back(std::make_unique<GatedJob>());
        jobs.back()->rec = &rec;
        jobs.back()->id = i;
        ASSERT_EQ(AddTask(RecordThenBlockJob, jobs.back().get()), 0);
    }
    auto recorded = [&] {
        std::lock_guard<std::mutex> lock(rec.mu);
        return rec.order.size();
    };
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(recorded(), 0u) << "a queued job ran while every worker was busy";
    busy.Open();   // frees all eight: the first eight queued jobs start
    ASSERT_TRUE(WaitUntil([&] { return recorded() == TASK_POOL_THREADS; }));
    for (int i = TASK_POOL_THREADS; i < kJobs; ++i) {
        jobs[static_cast<size_t>(i - TASK_POOL_THREADS)]->gate.Open();
        ASSERT_TRUE(WaitUntil([&] { return recorded() == static_cast<size_t>(i + 1); }));
    }
    for (auto &j : jobs) {
        j->gate.Open();
    }
    DestroyTaskPool();
    std::vector<int> firstEight(rec.order.begin(), rec.order.begin() + TASK_POOL_THREADS);
    std::sort(firstEight.begin(), firstEight.end());
    for (int i = 0; i < TASK_POOL_THREADS; ++i) {
        EXPECT_EQ(firstEight[static_cast<size_t>(i)], i);
    }
    for (int i = TASK_POOL_THREADS; i < kJobs; ++i) {
        EXPECT_EQ(rec.order[static_cast<size_t>(i)], i);
    }
}

TEST(TaskPool, SingleWorkerIsStrictFifoUnderLoad)
{
    ASSERT_EQ(CreateTaskPool(1), 0);
    Recorder rec;
    std::vector<Job> jobs;
    for (int i = 0; i < 2000; ++i) {
        jobs.push_back({&rec, i});
    }
    // Queued from four threads at once, each thread's own jobs in order.
    std::vector<std::thread> adders;
    for (int t = 0; t < 4; ++t) {
        adders.emplace_back([&, t] {
            for (int i = t; i < 2000; i += 4) {
                AddTask(RecordJob, &jobs[i]);
            }
        });
    }
    for (auto &a : adders) {
        a.join();
    }
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(rec.mu);
        return rec.order.size() == 2000;
    }));
    DestroyTaskPool();
    std::vector<int> last(4, -1);
    for (int id : rec.order) {
        EXPECT_GT(id, last[id % 4]) << "job " << id << " overtook an earlier one";
        last[id % 4] = id;
    }
}

TEST(TaskPool, NullRoutineRefused)
{
    LogCollector log;
    ASSERT_EQ(CreateTaskPool(2), 0);
    EXPECT_EQ(AddTask(nullptr, nullptr), -1);
    EXPECT_TRUE(log.WaitFor("Invalid argument routine"));
    DestroyTaskPool();
}

TEST(TaskPool, DestroyDropsQueuedJobsAndSecondDestroyIsNoop)
{
    ASSERT_EQ(CreateTaskPool(2), 0);
    Gate gate;
    ASSERT_EQ(AddTask(BlockJob, &gate), 0);
    ASSERT_EQ(AddTask(BlockJob, &gate), 0);
    ASSERT_TRUE(WaitUntil([&] { return gate.arrived == 2; }));
    Recorder rec;
    Job queued[3] = {{&rec, 1}, {&rec, 2}, {&rec, 3}};
    for (auto &j : queued) {
        ASSERT_EQ(AddTask(RecordJob, &j), 0);
    }
    std::thread opener([&] {
        std::this_thread::sleep_for(200ms);
        gate.Open();
    });
    auto start = std::chrono::steady_clock::now();
    DestroyTaskPool();   // returns once the two running jobs ended
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    opener.join();
    EXPECT_TRUE(rec.order.empty());
    EXPECT_EQ(g_taskPool.load(), nullptr);
    DestroyTaskPool();
    EXPECT_EQ(AddTask(RecordJob, &queued[0]), -1);
}

std::atomic<int> g_pollersStarted{0};

void PollUntilStopJob(void *arg)
{
    auto *ended = static_cast<std::atomic<bool> *>(arg);
    g_pollersStarted++;
    pollfd pfd{StopEventFd(), POLLIN, 0};
    while (poll(&pfd, 1, -1) <= 0) {
    }
    ended->store(true);
}

TEST(TaskPool, StopEventEndsLongJobsSoDestroyIsPrompt)
{
    ASSERT_EQ(CreateStopEvent(), 0);
    ASSERT_EQ(CreateTaskPool(TASK_POOL_THREADS), 0);
    std::atomic<bool> ended[3] = {false, false, false};
    for (auto &e : ended) {
        ASSERT_EQ(AddTask(PollUntilStopJob, &e), 0);
    }
    ASSERT_TRUE(WaitUntil([] { return g_pollersStarted.load() == 3; }));
    auto start = std::chrono::steady_clock::now();
    RequestStop();
    DestroyTaskPool();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    for (auto &e : ended) {
        EXPECT_TRUE(e.load());
    }
    EXPECT_TRUE(StopRequested());
}

// Shutdown through StopDaemon, with the shared objects main makes.
class DaemonStop : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(InitSharedObjects(), 0);
        ASSERT_EQ(CreateTaskPool(TASK_POOL_THREADS), 0);
    }
    static void Start(DaemonThread &t)
    {
        ASSERT_EQ(pthread_create(&t.handle, nullptr, t.routine, nullptr), 0);
        t.started = true;
    }
    LogCollector log;
};

std::atomic<bool> g_lateGo{false};
std::atomic<int> g_lateAddTask{-2};
std::atomic<bool> g_lateJobRan{false};

// A thread that misses the deadline and then still queues a job and waits
// for a worker, as the accept loops may.
void *LateThread(void *)
{
    while (!g_lateGo.load()) {
        std::this_thread::sleep_for(10ms);
    }
    g_lateAddTask = AddTask([](void *) { g_lateJobRan = true; }, nullptr);
    waitIdleWorker();
    return nullptr;
}

TEST_F(DaemonStop, AnAbandonedThreadStillFindsThePool)
{
    static DaemonThread threads[] = {{"dealWithCmd", LateThread, {}, false}};
    Start(threads[0]);
    EXPECT_EQ(StopDaemon(threads), 1);
    EXPECT_EQ(log.Count("can't join task pool worker"), 0u) << "the pool is left alone";
    g_lateGo = true;
    ASSERT_TRUE(WaitUntil([] { return g_lateJobRan.load(); })) << "AddTask gave " << g_lateAddTask;
}

std::atomic<bool> g_stuckJobGo{false};

// Stops 3 seconds after the stop was asked for.
void *SlowToStopThread(void *)
{
    while (!StopRequested()) {
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(3s);
    return nullptr;
}

TEST_F(DaemonStop, ThreadsAndWorkersShareOneDeadline)
{
    ASSERT_EQ(AddTask([](void *) {
                  while (!g_stuckJobGo.load()) {
                      std::this_thread::sleep_for(10ms);
                  }
              },
                      nullptr),
              0);
    static DaemonThread threads[] = {{"upgrade_thread", SlowToStopThread, {}, false}};
    Start(threads[0]);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StopDaemon(threads), 1) << "the stuck worker is abandoned";
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 4500ms);
    EXPECT_LT(took, 6500ms) << "3 s of thread join, then only what is left of the 5 s";
    EXPECT_TRUE(log.WaitForCount("can't join task pool worker", 1));
    g_stuckJobGo = true;
}

struct JobCalls {
    int client = 0, vm = 0;
    int nfds = -1, fd = -1;
    short events = 0;
    void *msg = nullptr;
} g_calls;

TEST(TaskPool, RunTaskParaHandsEachTypeToItsHandlerAndFreesTheRecord)
{
    LogCollector log;
    SetTaskHandlers(
        [](int nfds, pollfd *fds) {
            g_calls = {g_calls.client + 1, g_calls.vm, nfds, fds->fd, fds->events, nullptr};
            return 0;
        },
        [](int fd, void *msg) {
            g_calls = {g_calls.client, g_calls.vm + 1, -1, fd, 0, msg};
            std::free(msg);
        });
    void *vmMsg = std::malloc(568);
    struct Row {
        tpool_para_t *para;
        JobCalls want;
    } rows[] = {
        {NewTaskPara(7, 1, TPOOL_TYPE_CLIENT, nullptr), {1, 0, 1, 7, POLLIN | POLLPRI, nullptr}},
        {NewTaskPara(9, 0, TPOOL_TYPE_VM_MSG, vmMsg), {1, 1, -1, 9, 0, vmMsg}},
        {NewTaskPara(11, 1, 2, nullptr), {1, 1, -1, 9, 0, vmMsg}},
    };
    for (auto &r : rows) {
        runTaskPara(r.para);   // ASan tells a record left unfreed
        EXPECT_EQ(std::tie(g_calls.client, g_calls.vm, g_calls.nfds, g_calls.fd, g_calls.events, g_calls.msg),
                  std::tie(r.want.client, r.want.vm, r.want.nfds, r.want.fd, r.want.events, r.want.msg))
            << "row " << &r - rows;
    }
    runTaskPara(nullptr);
    EXPECT_TRUE(log.WaitFor("para is NULL"));
}

TEST(UpgRunning, ReadWithoutTheLockWhileARunSetsIt)
{
    // The upgrade control takes its first look without g_upgMsgSendLock.
    ASSERT_EQ(InitObjectLock(&g_upgMsgSendLock), 0);
    std::thread writer([] {
        for (int i = 0; i < 2000; ++i) {
            ObjectLockGuard guard(&g_upgMsgSendLock);
            SetUpgRunning(i & 1);
        }
    });
    int seen = 0;
    for (int i = 0; i < 2000; ++i) {
        seen |= GetUpgRunning() + 1;
    }
    writer.join();
    EXPECT_NE(seen, 0);
}

TEST(TaskPool, WaitIdleWorkerWaitsForAFreeWorker)
{
    LogCollector log;
    ASSERT_EQ(CreateStopEvent(), 0);   // a stopping daemon does not wait
    ASSERT_EQ(CreateTaskPool(TASK_POOL_THREADS), 0);
    Gate gate;
    for (int i = 0; i < TASK_POOL_THREADS - 1; ++i) {
        ASSERT_EQ(AddTask(BlockJob, &gate), 0);
    }
    ASSERT_TRUE(WaitUntil([&] { return gate.arrived == TASK_POOL_THREADS - 1; }));
    waitIdleWorker();   // seven busy: at once
    EXPECT_TRUE(log.WaitFor("cur running thread num=7")) << log.Dump();

    Gate last;
    ASSERT_EQ(AddTask(BlockJob, &last), 0);
    ASSERT_TRUE(WaitUntil([&] { return last.arrived == 1; }));
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        waitIdleWorker();
        returned = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(returned.load());
    last.Open();
    ASSERT_TRUE(WaitUntil([&] { return returned.load(); }));
    waiter.join();
    gate.Open();
    DestroyTaskPool();
}

TEST(LockableObject, NullObjectLogsOnceAndDoesNothing)
{
    LogCollector log;
    EXPECT_EQ(InitObjectLock(nullptr), -1);
    LockObject(nullptr);
    UnlockObject(nullptr);
    DestroyObjectLock(nullptr);
    log.Barrier();
    EXPECT_EQ(log.Count("Object is NULL"), 4u);

    LockableObject obj;
    ASSERT_EQ(InitObjectLock(&obj), 0);
    {
        ObjectLockGuard guard(&obj);
        EXPECT_EQ(pthread_mutex_trylock(&obj.lock), EBUSY);
    }
    EXPECT_EQ(pthread_mutex_trylock(&obj.lock), 0);
    pthread_mutex_unlock(&obj.lock);
    DestroyObjectLock(&obj);
}

class UpgTrigger : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sem_init(&g_upgSem.sem, 0, 0), 0);
        ASSERT_EQ(InitObjectLock(&g_upgSem), 0);
        InstallTimerHandler();   // what main installs
    }
    static int Count()
    {
        int v = -1;
        sem_getvalue(&g_upgSem.sem, &v);
        return v;
    }
};

TEST_F(UpgTrigger, EveryExpiryIsOnePostWhileTheConsumerIsBusy)
{
    // The consumer holds the trigger's mutex (as a busy run might), which a
    // handler that took it would deadlock on. Each expiry must still count.
    LockObject(&g_upgSem);
    constexpr int kExpiries = 500;
    for (int i = 0; i < kExpiries; ++i) {
        raise(SIGALRM);   // delivered before raise returns
    }
    UnlockObject(&g_upgSem);
    EXPECT_EQ(Count(), kExpiries);
}

TEST_F(UpgTrigger, ExpiryInterruptingTheConsumersWaitIsNotLost)
{
    // The expiry lands on the consumer while it sleeps in its wait: the wait
    // is interrupted and must be resumed, taking the post the handler made.
    std::atomic<int> taken{0};
    std::atomic<int> failed{0};
    std::thread consumer([&] {
        for (int i = 0; i < 100; ++i) {
            if (SemWaitRetry(&g_upgSem.sem) == 0) {
                taken++;
            } else {
                failed++;
            }
        }
    });
    for (int i = 0; i < 100; ++i) {
        std::this_thread::sleep_for(1ms);   // let the consumer block again
        pthread_kill(consumer.native_handle(), SIGALRM);
        ASSERT_TRUE(WaitUntil([&] { return taken.load() + failed.load() == i + 1; }));
    }
    consumer.join();
    EXPECT_EQ(taken.load(), 100);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(Count(), 0);
}

TEST_F(UpgTrigger, UpgSemPostFromThreadsLogsAndPosts)
{
    LogCollector log;
    UpgSemPost();
    UpgSemPost();
    EXPECT_EQ(Count(), 2);
    EXPECT_TRUE(log.WaitForCount("<-- UpgSemPost", 2));
    EXPECT_EQ(log.Count("--> UpgSemPost"), 2u);
}

TEST(ConnEndMark, PerThreadAndResettable)
{
    ASSERT_EQ(CreateConnEndKey(), 0);
    EXPECT_EQ(GetConnEndMark(), nullptr);
    ASSERT_EQ(SetConnEndMark(CONN_END_MARK), 0);
    EXPECT_STREQ(GetConnEndMark(), "_csu_fini");
    std::thread other([] { EXPECT_EQ(GetConnEndMark(), nullptr); });
    other.join();
    ASSERT_EQ(SetConnEndMark(nullptr), 0);
    EXPECT_EQ(GetConnEndMark(), nullptr);
}

void *StubbornThread(void *arg)
{
    static_cast<Gate *>(arg)->Wait();
    return nullptr;
}

void *PromptThread(void *)
{
    return nullptr;
}

TEST(DaemonThreads, OneDeadlineForAllJoinsAndOneLinePerStuckThread)
{
    LogCollector log;
    static Gate gate;
    DaemonThread threads[] = {
        {"dealWithCmd", StubbornThread, {}, false},
        {"dealWithVmCmd", PromptThread, {}, false},
        {"upgrade_thread", StubbornThread, {}, false},
        {"ResetVmStatusThread", nullptr, {}, false},
    };
    for (auto &t : threads) {
        if (t.routine != nullptr) {
            ASSERT_EQ(pthread_create(&t.handle, nullptr, t.routine, &gate), 0);
            t.started = true;
        }
    }
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(JoinThreadsByDeadline(threads, DeadlineAfter(1)), 2);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 1800ms) << "the deadline is shared, not per thread";
    EXPECT_TRUE(log.WaitForCount("can't join thread", 2));
    EXPECT_EQ(log.Count("can't join thread dealWithCmd"), 1u);
    EXPECT_EQ(log.Count("can't join thread upgrade_thread"), 1u);
    EXPECT_EQ(log.Count("can't join thread dealWithVmCmd"), 0u);
    gate.Open();
}

}  // namespace
