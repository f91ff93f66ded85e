// The task pool, the upgrade trigger and the daemon's stop, driven in
// process. Every test runs in its own sandboxed process, so the
// process-wide objects start fresh in each.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ortavis_upgd.h"
#include "ortavis_upgd_task.h"
#include "upgd_sandbox.h"

namespace {

using namespace std::chrono_literals;
using upgd_test::WaitUntil;

// A job that keeps its worker until the atomic<bool> it is given is set.
std::atomic<int> g_held{0};
void HoldJob(void *open)
{
    g_held++;
    WaitUntil([open] { return static_cast<std::atomic<bool> *>(open)->load(); }, 60s);
}

// Jobs numbered i % 4 come from one adder in order: none may overtake another,
// and so many that a pool letting two adders into its queue at once loses one.
constexpr int kJobs = 20000;
std::atomic<int> g_ran{0}, g_overtook{0};
int g_lastOfAdder[4] = {-1, -1, -1, -1};   // one worker at a time touches it
void OrderedJob(void *arg)
{
    int id = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    g_overtook += id <= g_lastOfAdder[id % 4];
    g_lastOfAdder[id % 4] = id;
    g_ran++;
}

TEST(TaskPool, QueuedJobsWaitForAFreeWorkerAndRunFirstInFirstOut)
{
    ASSERT_EQ(CreateTaskPool(TASK_POOL_THREADS), 0);
    std::atomic<bool> seven{false}, eighth{false};
    for (int i = 0; i < TASK_POOL_THREADS - 1; ++i) {
        ASSERT_EQ(AddTask(HoldJob, &seven), 0);
    }
    ASSERT_TRUE(WaitUntil([] { return g_held == TASK_POOL_THREADS - 1; }));
    ASSERT_EQ(AddTask(HoldJob, &eighth), 0);
    ASSERT_TRUE(WaitUntil([] { return g_held == TASK_POOL_THREADS; }));
    eighth = true;
    {   // four threads queue at once while the one free worker takes jobs, each its own in order
        std::vector<std::jthread> adders;
        for (intptr_t t = 0; t < 4; ++t) {
            adders.emplace_back([t] {
                for (intptr_t i = t; i < kJobs; i += 4) {
                    EXPECT_EQ(AddTask(OrderedJob, reinterpret_cast<void *>(i)), 0);
                }
            });
        }
    }
    EXPECT_TRUE(WaitUntil([] { return g_ran == kJobs; }, 30s)) << g_ran << " of " << kJobs << " jobs ran";
    EXPECT_EQ(g_overtook.load(), 0);
    seven = true;
    DestroyTaskPool();
}

TEST(TaskPool, DestroyWaitsForRunningJobsDropsQueuedOnesAndRefusesLaterOnes)
{
    ASSERT_EQ(CreateStopEvent(), 0);
    ASSERT_EQ(CreateTaskPool(2), 0);
    EXPECT_EQ(AddTask(nullptr, nullptr), -1);
    for (int i = 0; i < 2; ++i) {   // long jobs: they end at the stop event
        ASSERT_EQ(AddTask([](void *) {
                      g_held++;
                      pollfd pfd{StopEventFd(), POLLIN, 0};
                      poll(&pfd, 1, 60000);
                  }, nullptr), 0);
    }
    ASSERT_TRUE(WaitUntil([] { return g_held == 2; }));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(AddTask([](void *) { g_ran++; }, nullptr), 0);
    }
    std::thread stopper([] {
        std::this_thread::sleep_for(200ms);
        RequestStop();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(DestroyTaskPool(), 0);
    auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_GE(took, 150ms) << "the pool went while its jobs ran";
    EXPECT_LT(took, 4s) << "the jobs missed the stop event";
    EXPECT_EQ(g_ran.load(), 0) << "a queued job ran at destruction";
    EXPECT_EQ(DestroyTaskPool(), 0);
    EXPECT_EQ(AddTask([](void *) {}, nullptr), -1) << "no pool, yet the task was taken";
    // A daemon started again in this process must not see the old stop.
    ASSERT_EQ(CreateStopEvent(), 0);
    EXPECT_FALSE(StopRequested());
    pollfd pfd{StopEventFd(), POLLIN, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 0) << "the stop event stayed raised";
}

TEST(UpgTrigger, EachExpiryIsOnePostAndNoneIsLostToAnInterruptedWait)
{
    ASSERT_EQ(sem_init(&g_upgSem.sem, 0, 0), 0);
    ASSERT_EQ(InitObjectLock(&g_upgSem), 0);
    InstallTimerHandler();   // what main installs
    // The consumer holds the trigger's mutex, as a busy run might: a handler must not take it.
    LockObject(&g_upgSem);
    for (int i = 0; i < 500; ++i) {
        raise(SIGALRM);   // delivered before raise returns
    }
    UnlockObject(&g_upgSem);
    // Then expiries interrupt the consumer's wait: it resumes and takes each post.
    std::atomic<int> taken{0};
    std::thread consumer([&] {
        while (taken < 600 && SemWaitRetry(&g_upgSem.sem) == 0) {
            taken++;
        }
    });
    bool lost = !WaitUntil([&] { return taken == 500; });
    for (int i = 1; i <= 100 && !lost; ++i) {
        std::this_thread::sleep_for(1ms);   // let the consumer block again
        pthread_kill(consumer.native_handle(), SIGALRM);
        lost = !WaitUntil([&] { return taken == 500 + i; });
    }
    EXPECT_FALSE(lost) << taken;
    lost ? consumer.detach() : consumer.join();
}

// Shutdown through StopDaemon, with the shared objects main makes.
class DaemonStop : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(InitSharedObjects(), 0);
        ASSERT_EQ(CreateTaskPool(TASK_POOL_THREADS), 0);
    }
    static int StartAndStop(std::span<DaemonThread> threads)
    {
        for (auto &t : threads) {
            t.started = pthread_create(&t.handle, nullptr, t.routine, nullptr) == 0;
        }
        return StopDaemon(threads);
    }
    static bool Go() { return g_go.load(); }
    static inline std::atomic<bool> g_go{false};
    upgd_test::LogCollector log;
};

TEST_F(DaemonStop, AnAbandonedThreadIsCountedOnceAndStillFindsThePool)
{
    static std::atomic<bool> lateJobRan{false};
    static DaemonThread threads[] = {
        // Misses the deadline, then queues a job, as the accept loop may.
        {"dealWithCmd",
         [](void *) -> void * {
             WaitUntil(Go, 60s);
             AddTask([](void *) { lateJobRan = true; }, nullptr);
             return nullptr;
         },
         {}, false},
        {"dealWithVmCmd", [](void *) -> void * { return nullptr; }, {}, false},
    };
    EXPECT_EQ(StartAndStop(threads), 1);
    log.Barrier();
    EXPECT_EQ(log.Count("can't join thread dealWithCmd"), 1u) << log.Dump();
    EXPECT_EQ(log.Count("can't join task pool worker"), 0u) << "the pool is left alone";
    g_go = true;
    EXPECT_TRUE(WaitUntil([] { return lateJobRan.load(); })) << "the pool went from under it";
}

TEST_F(DaemonStop, ThreadsAndWorkersShareOneDeadline)
{
    ASSERT_EQ(AddTask([](void *) { WaitUntil(Go, 60s); }, nullptr), 0);
    static DaemonThread threads[] = {{"upgrade_thread",
                                      [](void *) -> void * {
                                          WaitUntil(StopRequested, 60s);
                                          std::this_thread::sleep_for(3s);   // late but not stuck
                                          return nullptr;
                                      },
                                      {}, false}};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StartAndStop(threads), 1) << "the stuck worker is abandoned";
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 4500ms);
    EXPECT_LT(took, 7500ms) << "3 s of thread join, then only what is left of the 5 s, not 5 s more";
    EXPECT_TRUE(log.WaitFor("can't join task pool worker"));
    g_go = true;
}

}  // namespace
