// The VM status reset thread: a VM whose guest reported the end of its
// upgrade goes back to idle some seconds later (RESET_DELAY_SECONDS), unless
// an attach came meanwhile. The thread waits on g_resetVmStatusSem, posted
// with each report, at most a period at a time on the monotonic clock, and
// runs the daemon's periodic work (the attach deadline) between waits.
// Marks are monotonic seconds; a walk takes the registry lock, then each
// entry's stateLock.
#include "ortavis_upgd_vm.h"

#include <semaphore.h>

#include <cerrno>
#include <ctime>

#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_task.h"

void postResetVmStatus(VmNode *node)
{
    node->resetTime.store(MonotonicSeconds());
    if (sem_post(&g_resetVmStatusSem) != 0) {
        UPG_LOG("post resetVmStatusSem failed");
    }
}

namespace {

struct ResetWork {
    void (*atStart)();
    void (*periodic)();
    int periodSeconds;
};
ResetWork g_resetWork{nullptr, nullptr, 0};

// Waits on g_resetVmStatusSem, at most periodSeconds when that is not 0 (a
// wait a signal interrupted is repeated). 1 when it was posted, 0 when the
// time ran out, -1 on any other failure.
int WaitResetSem(int periodSeconds)
{
    if (periodSeconds <= 0) {
        return SemWaitRetry(&g_resetVmStatusSem) == 0 ? 1 : -1;
    }
    timespec until{};
    (void)clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += periodSeconds;
    for (;;) {
        if (sem_clockwait(&g_resetVmStatusSem, CLOCK_MONOTONIC, &until) == 0) {
            return 1;
        }
        if (errno == ETIMEDOUT) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

// One walk of the registry: resets the entries whose mark is old enough.
// True when a younger mark is left.
bool ResetDueVms()
{
    VmNode *head = GetVmListHead();
    ObjectLockGuard registry(head);
    const int64_t now = MonotonicSeconds();
    bool pending = false;
    for (VmNode *node = head->next; node != nullptr; node = node->next) {
        int64_t mark = node->resetTime.load();
        if (mark == 0) {
            continue;
        }
        if (now - mark <= RESET_DELAY_SECONDS) {
            pending = true;
            continue;
        }
        {
            // The mark taken and the state set as one step: an attach that
            // cleared the mark meanwhile keeps its upgrade, and a report that
            // moved it on keeps its own reset.
            MutexGuard state(&node->stateLock);
            if (!node->resetTime.compare_exchange_strong(mark, 0)) {
                pending = pending || mark != 0;
                continue;
            }
            node->upgradeFlag.store(UPGRADE_IDLE_STATE);
        }
        UPG_LOG("vm %s reset status", node->name);
    }
    return pending;
}

}  // namespace

void SetResetThreadWork(void (*atStart)(), void (*periodic)(), int periodSeconds)
{
    g_resetWork = {atStart, periodic, periodSeconds};
}

void *ResetVmStatusThread(void *)
{
    UPG_LOG("ResetVmStatusThread created");
    if (g_resetWork.atStart != nullptr) {
        g_resetWork.atStart();
    }
    for (;;) {
        int woke = WaitResetSem(g_resetWork.periodSeconds);
        if (woke < 0 || StopRequested()) {
            UPG_LOG("ResetVmStatusThread end");
            return nullptr;
        }
        if (g_resetWork.periodic != nullptr) {
            g_resetWork.periodic();
        }
        if (woke == 0) {
            continue;
        }
        UPG_LOG("get resetVmStatusSem");
        if (ResetDueVms()) {
            (void)sem_post(&g_resetVmStatusSem);
            (void)SleepUnlessStopping(RESET_DELAY_SECONDS * 1000);
        }
    }
}
