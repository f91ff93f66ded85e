// The guest lane; the story and the contracts are in the header.
#include "ortavis_upgd_guestlane.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <unordered_map>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_task.h"

namespace {

// One message with the registry entry it came in on: a VM whose channel is
// replaced keeps one queue, so its messages stay in order across entries.
struct QueuedMsg {
    VmRef vm;
    VmMsg msg;
};

struct GuestQueue {
    std::deque<QueuedMsg> msgs;
    bool scheduled = false;    // on the ready list or in a worker's hands
};

struct Lane {
    ObjectMutex lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t work = PTHREAD_COND_INITIALIZER;    // a VM is ready, or the lane stops
    pthread_cond_t ended = PTHREAD_COND_INITIALIZER;   // a worker ended
    std::unordered_map<std::string, GuestQueue> queues GUARDED_BY(lock);   // by VM name
    std::deque<std::string> ready GUARDED_BY(lock);
    std::set<std::string, std::less<>> full GUARDED_BY(lock);   // VMs whose queue is full
    std::atomic<size_t> fullCount{0};   // full's size, read without the lock
    int live GUARDED_BY(lock) = 0;
    int idle GUARDED_BY(lock) = 0;
    bool running GUARDED_BY(lock) = false;
    GuestMsgHandler handler = nullptr;    // set before the first worker, fixed from then on
    GuestRoomCallback onRoom = nullptr;
};

Lane g_lane;

// A guest's answer to a request a management client waits on.
bool AnswersClient(uint32_t msgType)
{
    return msgType == HOST_MSG_GET_UPG_RES || msgType == HOST_MSG_HEALTH_CHECK || msgType == VM_RSP_FIX_RESULT_MSG ||
           msgType == VM_RSP_AUTO_CTRL;
}

// Waits for work for at most GUEST_LANE_IDLE_MS. False when the worker is to
// end (the lane stops, or it idled long enough and is not one of the kept).
bool AwaitWork(Lane &lane) REQUIRES(lane.lock)
{
    while (lane.running && lane.ready.empty()) {
        timespec until = DeadlineAfter(GUEST_LANE_IDLE_MS / 1000);
        ++lane.idle;
        int rc = pthread_cond_clockwait(&lane.work, &lane.lock, CLOCK_MONOTONIC, &until);
        --lane.idle;
        if (rc == ETIMEDOUT && lane.ready.empty() && lane.live > GUEST_LANE_WORKERS_KEPT) {
            return false;
        }
    }
    return lane.running;
}

// Handles the VM's messages one by one until its queue is empty.
void Drain(Lane &lane, const std::string &key) REQUIRES(lane.lock)
{
    GuestQueue &queue = lane.queues[key];   // nodes of the map stay put while others come and go
    while (lane.running && !queue.msgs.empty()) {
        bool wasFull = queue.msgs.size() >= GUEST_QUEUE_MAX;
        QueuedMsg next = std::move(queue.msgs.front());
        queue.msgs.pop_front();
        if (wasFull) {
            lane.full.erase(key);
            lane.fullCount.store(lane.full.size());
        }
        UnlockMutex(&lane.lock);
        if (wasFull && lane.onRoom != nullptr) {
            lane.onRoom();
        }
        seccmd_set_urgent(AnswersClient(next.msg.msgType) ? 1 : 0);
        lane.handler(next.vm.get(), &next.msg);
        next.vm.reset();
        LockMutex(&lane.lock);
    }
    lane.queues.erase(key);
}

void *LaneWorker(void *)
{
    Lane &lane = g_lane;
    LockMutex(&lane.lock);
    while (AwaitWork(lane)) {
        std::string key = std::move(lane.ready.front());
        lane.ready.pop_front();
        Drain(lane, key);
        if (lane.live > GUEST_LANE_WORKERS_MAX - GUEST_LANE_ANSWER_WORKERS) {
            break;   // the room kept for answers is free again
        }
    }
    --lane.live;
    pthread_cond_broadcast(&lane.ended);
    UnlockMutex(&lane.lock);
    return nullptr;
}

bool StartWorker(Lane &lane) REQUIRES(lane.lock)
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, LaneWorker, nullptr) != 0) {
        UPG_LOG("guest lane: can't start a worker, %d running", lane.live);
        return false;
    }
    (void)pthread_detach(thread);
    ++lane.live;
    return true;
}

}  // namespace

int StartGuestLane(GuestMsgHandler handler, GuestRoomCallback onRoom)
{
    Lane &lane = g_lane;
    MutexGuard guard(&lane.lock);
    lane.handler = handler;
    lane.onRoom = onRoom;
    lane.running = true;
    while (lane.live < GUEST_LANE_WORKERS_KEPT) {
        if (!StartWorker(lane)) {
            lane.running = false;
            pthread_cond_broadcast(&lane.work);
            return -1;
        }
    }
    return 0;
}

int QueueGuestMsg(VmNode *vm, const VmMsg &msg)
{
    Lane &lane = g_lane;
    MutexGuard guard(&lane.lock);
    if (!lane.running) {
        UPG_LOG("guest lane stopped, message of %s dropped", vm->name);
        return -1;
    }
    GuestQueue &queue = lane.queues[vm->name];
    if (queue.msgs.size() >= GUEST_QUEUE_MAX) {
        UPG_LOG("%s has %d messages waiting, message dropped", vm->name, GUEST_QUEUE_MAX);
        return -1;
    }
    queue.msgs.push_back({VmRef(vm), msg});
    const bool filled = queue.msgs.size() >= GUEST_QUEUE_MAX;
    if (filled) {
        lane.full.emplace(vm->name);
        lane.fullCount.store(lane.full.size());
    }
    if (!queue.scheduled) {
        queue.scheduled = true;
        if (AnswersClient(msg.msgType)) {
            lane.ready.emplace_front(vm->name);   // a client waits: next, ahead of a crowd of guests
        } else {
            lane.ready.emplace_back(vm->name);
        }
        // A worker counted idle may already be woken for an earlier VM still
        // on the ready list: only more idle workers than ready VMs serve this
        // one at once.
        bool enough = lane.ready.size() <= static_cast<size_t>(lane.idle);
        const int bound = GUEST_LANE_WORKERS_MAX - (AnswersClient(msg.msgType) ? 0 : GUEST_LANE_ANSWER_WORKERS);
        if (enough || lane.live >= bound || !StartWorker(lane)) {
            pthread_cond_signal(&lane.work);
        }
    }
    return filled ? 1 : 0;
}

void FullGuestQueues(std::vector<std::string> *names)
{
    Lane &lane = g_lane;
    names->clear();
    if (lane.fullCount.load() == 0) {
        return;   // a queue that fills now is told by QueueGuestMsg
    }
    MutexGuard guard(&lane.lock);
    names->assign(lane.full.begin(), lane.full.end());
}

int StopGuestLane(const timespec &deadline)
{
    Lane &lane = g_lane;
    MutexGuard guard(&lane.lock);
    lane.running = false;
    lane.ready.clear();
    for (auto &[key, queue] : lane.queues) {
        queue.msgs.clear();
    }
    lane.full.clear();
    lane.fullCount.store(0);
    pthread_cond_broadcast(&lane.work);
    while (lane.live > 0) {
        if (pthread_cond_clockwait(&lane.ended, &lane.lock, CLOCK_MONOTONIC, &deadline) == ETIMEDOUT) {
            UPG_LOG("guest lane: %d workers still busy", lane.live);
            return lane.live;
        }
    }
    // Every worker is gone: the queues' references go now.
    lane.queues.clear();
    return 0;
}
