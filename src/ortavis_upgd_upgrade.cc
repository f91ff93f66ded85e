// Upgrade runs and the answer to a guest that asks for the upgrade information.
#include "ortavis_upgd_upgrade.h"

#include <semaphore.h>

#include <vector>

#include "ortavis_upgd_handlers.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_probe.h"
#include "ortavis_upgd_state.h"
#include "ortavis_upgd_task.h"

namespace {

constexpr int kSkipPauseMs = 100;

void SetRunning(int running)
{
    ObjectLockGuard send(&g_upgMsgSendLock);
    SetUpgRunning(running);
}

// Adds the copy of one source entry to the snapshot; false when no copy
// could be made (the gathering stops).
bool Gather(std::vector<VmNode *> &snapshot, VmNode *source)
{
    UPG_LOG("add upgrade node vmname : %s", source->name);
    VmNode *copy = InitNode(source);
    if (copy == nullptr) {
        UPG_LOG("InitNode is null, break the while");
        return false;
    }
    snapshot.push_back(copy);
    return true;
}

// The copies of the mode's source list, in the order the run serves them
// (the reverse of the source); modes 1 and 2 empty their list.
std::vector<VmNode *> TakeSnapshot(int mode)
{
    std::vector<VmNode *> snapshot;
    if (mode == UPG_MODE_INDEPENDENT) {
        ObjectLockGuard list(GetIndependentVmList());
        for (int i = 0; i < GetIndependentVmList()->count && i < VM_LIST_MAX; ++i) {
            VmNode *slot = GetIndependentVmList()->slots[i];
            if (slot != nullptr && !Gather(snapshot, slot)) {
                break;
            }
        }
        ClearIndependentVmList();
    } else if (mode == UPG_MODE_ADDED) {
        ObjectLockGuard list(GetUpgVmAddList());
        for (int i = 0; i < VM_LIST_MAX && GetUpgVmAddList()->slots[i] != nullptr; ++i) {
            if (!Gather(snapshot, GetUpgVmAddList()->slots[i])) {
                break;
            }
        }
        ClearUpgVmAddList();
    } else {
        ObjectLockGuard registry(GetVmListHead());
        for (VmNode *n = GetVmListHead()->next; n != nullptr; n = n->next) {
            if (!Gather(snapshot, n)) {
                break;
            }
        }
    }
    return std::vector<VmNode *>(snapshot.rbegin(), snapshot.rend());
}

// One VM's turn; false when the daemon stops.
bool ServeVm(const VmNode *copy, const VmMsg *msg)
{
    VmRef vm;
    {
        ObjectLockGuard registry(GetVmListHead());
        vm = VmRef(findVmByName(GetVmListHead(), copy->name));
    }
    if (!vm) {
        UPG_LOG("can't find vm by name : %s", copy->name);
        return SleepUnlessStopping(kSkipPauseMs);
    }
    int32_t pending = UPGRADE_PENDING_STATE;
    (void)vm->upgradeFlag.compare_exchange_strong(pending, UPGRADE_IDLE_STATE);
    if (pingVmGuestAgent(vm->name, PING_MODE_ONCE) != 1) {
        UPG_LOG("upgrade_thread ping %s failed", vm->name);
        vm->upgradeFlag.store(UPGRADE_CONNECT_TIMEOUT_STATE);
        NoteOutcome(vm->name, UPG_OUTCOME_UNREACHABLE);
        return SleepUnlessStopping(kSkipPauseMs);
    }
    if (copy->upgradeFlag.load() == UPGRADE_RUNNING_STATE) {
        UPG_LOG("%s in the process of upgrading", vm->name);
        return SleepUnlessStopping(kSkipPauseMs);
    }
    UPG_LOG("upgrade_thread send HOST_RSP_UPGRADE_INFO_MSG to vm : %s", vm->name);
    if (WriteVmMsg(vm.get(), msg) < 0) {
        UPG_LOG("write fd failed.");
    } else {
        NoteOutcome(vm->name, UPG_OUTCOME_OFFERED);
    }
    return SleepUnlessStopping(UPG_SEND_PAUSE_SECONDS * 1000);
}

// A run over many VMs takes hours, and the interval timer and the agent go
// on asking meanwhile: however many triggers came during a run, they give one
// more run, never a backlog.
void CoalesceTriggers()
{
    int came = 0;
    while (sem_trywait(&g_upgSem.sem) == 0) {
        ++came;
    }
    if (came > 0) {
        UPG_LOG("%d upgrade triggers during the run: one more run", came);
        (void)sem_post(&g_upgSem.sem);
    }
}

}  // namespace

void upgradeVmList(int mode, const VmMsg *msg)
{
    std::vector<VmNode *> snapshot = TakeSnapshot(mode);
    NoteRunStart(mode == UPG_MODE_ALL ? UPG_RUN_ALL : mode == UPG_MODE_INDEPENDENT ? UPG_RUN_NAMED : UPG_RUN_ADDED,
                 static_cast<uint32_t>(snapshot.size()));
    for (VmNode *copy : snapshot) {
        NoteRunServing(copy->name);
        bool goOn = !StopRequested() && ServeVm(copy, msg);
        NoteRunServed();
        if (!goOn) {
            break;
        }
    }
    for (VmNode *copy : snapshot) {
        FreeSnapshotNode(copy);
    }
}

void *upgrade_thread(void *)
{
    for (;;) {
        UPG_LOG("waiting for ortavis upgrade...");
        if (SemWaitRetry(&g_upgSem.sem) != 0) {
            UPG_LOG("sem_wait failed");
            return nullptr;
        }
        if (StopRequested()) {
            return nullptr;
        }
        UPG_LOG(" ---> [upgrade_thread] send upgrade msg to vm start");
        SetRunning(1);
        std::unique_ptr<VmMsg> msg = PackingMsg(UPG_MSG_START_UPGRADE, true);
        if (msg == nullptr) {
            // Nothing to offer this time; a later trigger may find ISOs.
            UPG_LOG("upgrade_vm msg is null.return...");
            SetRunning(0);
            continue;
        }
        CountEvent(StateCount::kRuns);
        int mode = UPG_MODE_ALL;
        {
            ObjectLockGuard list(GetIndependentVmList());
            if (GetIndependentVmList()->count > 0) {
                mode = UPG_MODE_INDEPENDENT;
                UPG_LOG("[UpgMode] upgrade independent vm list");
            } else {
                UPG_LOG("[UpgMode] upgrade all vm list");
            }
        }
        upgradeVmList(mode, msg.get());
        bool added = false;
        {
            ObjectLockGuard list(GetUpgVmAddList());
            added = GetUpgVmAddList()->slots[0] != nullptr;
        }
        while (added && !StopRequested()) {
            UPG_LOG("[UpgMode] upgrade sub independent vm list");
            upgradeVmList(UPG_MODE_ADDED, msg.get());
            ObjectLockGuard list(GetUpgVmAddList());
            added = GetUpgVmAddList()->slots[0] != nullptr;
            if (!added) {
                // Still under the list's lock: a VM added from now on finds no run.
                SetRunning(0);
            }
        }
        SetRunning(0);
        NoteRunEnded();
        UPG_LOG(" <--- [upgrade_thread] send upgrade msg to vm end");
        CoalesceTriggers();
    }
}

void upgrade_vm(VmNode *vm)
{
    std::unique_ptr<VmMsg> msg = PackingMsg(UPG_MSG_START_UPGRADE, true);
    if (msg == nullptr) {
        UPG_LOG("upgrade_vm msg is null.return...");
        vm->upgradeFlag.store(UPGRADE_CONNECT_TIMEOUT_STATE);
        return;
    }
    if (pingVmGuestAgent(vm->name, PING_MODE_PATIENT) != 1) {
        vm->upgradeFlag.store(UPGRADE_CONNECT_TIMEOUT_STATE);
        return;
    }
    UPG_LOG("upgrade_vm : send HOST_RSP_UPGRADE_INFO_MSG to vm : %s", vm->name);
    if (WriteVmMsg(vm, msg.get()) < 0) {
        UPG_LOG("write to vm %s failed.", vm->name);
        vm->upgradeFlag.store(UPGRADE_CONNECT_TIMEOUT_STATE);
    }
}
