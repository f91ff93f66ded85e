// Queuing a job on the pool against a bare baseline of the same shape: one
// heap node appended under a mutex and one condition-variable signal, with
// one worker draining. The ratio shows what the pool adds to a hand-off.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <atomic>
#include <memory>

#include "ortavis_upgd_task.h"

namespace {

std::atomic<long> g_done{0};

void CountJob(void *)
{
    g_done.fetch_add(1, std::memory_order_relaxed);
}

void BM_AddTask(benchmark::State &state)
{
    CreateTaskPool(1);
    long queued = 0;
    for (auto _ : state) {
        AddTask(CountJob, nullptr);
        ++queued;
    }
    while (g_done.load() < queued) {
    }
    DestroyTaskPool();
    g_done = 0;
}
BENCHMARK(BM_AddTask);

// Bare baseline: the same hand-off written directly.
struct BareNode {
    std::unique_ptr<BareNode> next;
};
struct BareQueue {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv = PTHREAD_COND_INITIALIZER;
    std::unique_ptr<BareNode> head;
    BareNode *tail = nullptr;
    bool stop = false;
};

void *BareWorker(void *arg)
{
    auto *q = static_cast<BareQueue *>(arg);
    for (;;) {
        pthread_mutex_lock(&q->mu);
        while (!q->head && !q->stop) {
            pthread_cond_wait(&q->cv, &q->mu);
        }
        if (!q->head) {
            pthread_mutex_unlock(&q->mu);
            return nullptr;
        }
        auto node = std::move(q->head);
        q->head = std::move(node->next);
        if (!q->head) {
            q->tail = nullptr;
        }
        pthread_mutex_unlock(&q->mu);
        g_done.fetch_add(1, std::memory_order_relaxed);
    }
}

void BM_BareHandOff(benchmark::State &state)
{
    BareQueue q;
    pthread_t worker;
    pthread_create(&worker, nullptr, BareWorker, &q);
    long queued = 0;
    for (auto _ : state) {
        auto node = std::make_unique<BareNode>();
        BareNode *raw = node.get();
        pthread_mutex_lock(&q.mu);
        if (q.tail) {
            q.tail->next = std::move(node);
        } else {
            q.head = std::move(node);
        }
        q.tail = raw;
        pthread_mutex_unlock(&q.mu);
        pthread_cond_signal(&q.cv);
        ++queued;
    }
    while (g_done.load() < queued) {
    }
    pthread_mutex_lock(&q.mu);
    q.stop = true;
    pthread_cond_broadcast(&q.cv);
    pthread_mutex_unlock(&q.mu);
    pthread_join(worker, nullptr);
    g_done = 0;
}
BENCHMARK(BM_BareHandOff);

}  // namespace

BENCHMARK_MAIN();
