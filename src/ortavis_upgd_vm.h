// VM management: the registry of running VMs and their guest channels, the
// two upgrade lists, and the discovery pass that keeps the registry in line
// with the VMs libvirt runs.
//
// Locks: the registry lock (g_vmListHead.lock) guards the list links, every
// lookup and the fd changes of the command loop; it comes before the lock of
// g_independentVMListHead, which comes before g_upgVMListAddHead, and before
// any entry's stateLock. An entry's stateLock comes before its writeLock.
// The annotations name the registry lock GetVmListHead()->lock (or head->lock
// for a function given the head) and the list locks GetIndependentVmList()->lock
// and GetUpgVmAddList()->lock, so callers take them through those getters.
//
// Lifetime: an entry is reference-counted. The registry holds one reference,
// each slot of the two upgrade lists holds one, and a caller that keeps an
// entry past the registry lock takes one (VmRef). The record and its channel
// descriptor go together with the last reference, so no list or caller ever
// follows freed memory, and a descriptor number read from `fd` is never
// reused by another socket while its reader holds a reference. Ending a
// channel (CloseVmChannel: on a hang-up, and in releaseVmNode) only shuts
// the socket down and sets `fd` to -1: a reader still polling the old number
// sees a hang-up, a writer fails. A released entry reads fd -1 and
// `released` true.
//
// State: every change of upgradeFlag is one atomic step on the flag itself,
// so the rules "setVmState never overwrites 9 or 13" and "InitNode leaves 1
// in place" hold against writers that take no lock. isopath is guarded by
// stateLock and reached only through ClearVmIsoPath and InitNode.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_tsa.h"

inline constexpr int VM_LIST_MAX = 1024;
inline constexpr int VM_NAME_LEN = 128;
inline constexpr const char *VM_RUN_DIR = "/var/run/libvirt/qemu";

struct VmNode {
    ObjectMutex lock;                   // registry lock, in the list head only
    char name[VM_NAME_LEN];
    char isopath[256] GUARDED_BY(stateLock);
    std::atomic<int32_t> cdromCheckRet;
    std::atomic<int32_t> fd;            // guest channel; -1 once ended
    int32_t syncMark;                   // discovery work mark: 1 unseen, 2 seen
    int64_t connectedMs;                // when the channel was connected (monotonic)
    std::atomic<int32_t> upgradeFlag;   // UPGRADE_*_STATE
    std::atomic<int64_t> detachTime;   // monotonic seconds
    std::atomic<int64_t> resetTime;    // monotonic seconds
    ObjectMutex stateLock;
    VmNode *next;                       // guarded by the lock of the list's head
    ObjectMutex writeLock;              // held for each whole message to the guest
    std::atomic<int32_t> refs;          // registry, upgrade-list slots, VmRefs
    std::atomic<bool> released;
    int32_t ownedFd;                    // the channel descriptor; closed with the last reference
    LogBudget *logBudget;               // the VM's share of the log (VmLogBudget), or null
};

struct IndependentVmList {
    ObjectMutex lock;
    int32_t count GUARDED_BY(lock);
    VmNode *slots[VM_LIST_MAX] GUARDED_BY(lock);
};

struct UpgVmAddList {
    ObjectMutex lock;
    VmNode *slots[VM_LIST_MAX] GUARDED_BY(lock);
};

VmNode *GetVmListHead();
IndependentVmList *GetIndependentVmList();
UpgVmAddList *GetUpgVmAddList();

int InitVmListLock();
int InitIndependentVmListLock();
int InitUpgVmListAddLock();

// ---- References ----------------------------------------------------------------

void VmNodeGet(VmNode *node);
// Drops one reference; the last one closes the channel descriptor (a failed
// close logs "release socket failed") and frees the record.
void VmNodePut(VmNode *node);

// A counted reference that a caller keeps past the registry lock.
class VmRef {
public:
    VmRef() = default;
    explicit VmRef(VmNode *node) : node_(node)
    {
        if (node_ != nullptr) {
            VmNodeGet(node_);
        }
    }
    ~VmRef() { reset(); }
    VmRef(const VmRef &o) : VmRef(o.node_) {}
    VmRef &operator=(const VmRef &o)
    {
        if (this != &o) {
            VmRef copy(o);
            std::swap(node_, copy.node_);
        }
        return *this;
    }
    VmRef(VmRef &&o) noexcept : node_(o.node_) { o.node_ = nullptr; }
    VmRef &operator=(VmRef &&o) noexcept
    {
        std::swap(node_, o.node_);
        return *this;
    }
    void reset()
    {
        if (node_ != nullptr) {
            VmNodePut(node_);
            node_ = nullptr;
        }
    }
    VmNode *get() const { return node_; }
    VmNode *operator->() const { return node_; }
    explicit operator bool() const { return node_ != nullptr; }

private:
    VmNode *node_ = nullptr;
};

// ---- List operations ---------------------------------------------------------------

// The first entry whose name equals `name` in its first 127 characters, or
// null (also for a null name). REQUIRES: the registry lock.
VmNode *findVmByName(VmNode *head, const char *name) REQUIRES(head->lock);
// The first entry whose fd equals `fd`, or null. REQUIRES: the registry lock.
VmNode *findVmByFd(VmNode *head, int fd) REQUIRES(head->lock);
// Puts the node at the front. REQUIRES: the registry lock.
void addVmNode(VmNode *head, VmNode *node) REQUIRES(head->lock);
// Unlinks the node; 1 when it was in the list, else 0. Does not free.
// REQUIRES: the registry lock.
int deleteVmNode(VmNode *head, VmNode *node) REQUIRES(head->lock);
// Ends the node's channel (CloseVmChannel), marks it released, drops the
// registry's reference and sets *node to null.
void releaseVmNode(VmNode **node);
// Ends the VM's channel for every holder of the entry: `fd` reads -1 from now
// on and the socket is shut down both ways; the descriptor is closed with the
// entry's last reference. The one way to end a channel: the command loop
// calls it on a hang-up (holding the registry lock), releaseVmNode on
// release. A second call does nothing.
void CloseVmChannel(VmNode *node);
// Clears the node's slot in g_independentVMListHead (count unchanged). Takes
// that list's lock.
void deleteIndependentVmNode(VmNode *node) EXCLUDES(GetIndependentVmList()->lock);
// A number that changes whenever an entry joins or leaves the registry: while
// it stands, the entries seen under the lock before are all still there.
// REQUIRES: the registry lock.
uint64_t RegistryGeneration() REQUIRES(GetVmListHead()->lock);
// Releases every entry. REQUIRES: the registry lock.
void clearVmList(VmNode *head) REQUIRES(head->lock);

// A zero-filled record with its mutexes initialised and one reference; null
// when it cannot be allocated.
VmNode *NewVmNode();
// The snapshot copy an upgrade pass takes: name, isopath, cdromCheckRet and
// the state the source had; in one step with that read, the source becomes
// UPGRADE_PENDING_STATE unless it is UPGRADE_RUNNING_STATE. The copy holds no
// channel (fd -1) and no reference count: it is freed only with
// FreeSnapshotNode, never given to VmNodePut or a VmRef, and its sender uses
// the registry entry's channel. Null on failure. Takes the source's
// stateLock.
VmNode *InitNode(VmNode *src);
// Frees a snapshot copy made by InitNode.
void FreeSnapshotNode(VmNode *copy);
// Sets upgradeFlag to value unless it is 9 or 13, deciding and setting in one
// atomic step. Takes stateLock.
void setVmState(VmNode *node, int value);
// Empties the VM's isopath. Takes stateLock.
void ClearVmIsoPath(VmNode *node);
// Writes one whole message to the VM's guest channel under its writeLock.
// WriteFD's result; -1 with errno EBADF when the channel has ended.
int WriteVmMsg(VmNode *vm, const VmMsg *msg);

// Appends to the upgrade lists, checking their 1024-slot bound; each slot
// takes a reference. 0, or -1 when the list is full. REQUIRES: that list's lock.
int AppendIndependentVmNode(VmNode *node) REQUIRES(GetIndependentVmList()->lock);
int AppendUpgVmAddNode(VmNode *node) REQUIRES(GetUpgVmAddList()->lock);
// Empties a list, dropping its references. REQUIRES: that list's lock.
void ClearIndependentVmList() REQUIRES(GetIndependentVmList()->lock);
void ClearUpgVmAddList() REQUIRES(GetUpgVmAddList()->lock);

// ---- Discovery -----------------------------------------------------------------------

// Brings the registry in line with the live descriptions in the libvirt run
// directory: connects new VMs, reconnects hung-up ones, drops stopped ones.
// A VM's live description is a file named exactly "<name>.xml" with a
// non-empty name; libvirt's temporary and backup copies beside it
// ("web01.xml.new", "web01.xml~", "web01.xml.bak") are not VMs.
void GetRunningVmList();
// Readable when a discovery pass on another thread connected a channel that
// the command loop's poll does not watch yet, or when the loop has more to
// read (WakeCommandLoop).
int NewChannelEventFd();
void WakeCommandLoop();
// A channel that ended soon after its connect (a guest that half-closes or
// hangs up at once) is connected again at once the first time, then after
// 1, 2, 4 ... up to RECONNECT_PAUSE_MAX_MS: a guest that keeps ending its
// channel costs a few reconnects a minute, not a loop of them. A channel that
// lived CHANNEL_STABLE_MS starts the count anew. The command loop calls
// NoteChannelEnded when it ends a channel. REQUIRES: the registry lock.
inline constexpr int64_t CHANNEL_STABLE_MS = 10 * 1000;
inline constexpr int64_t RECONNECT_PAUSE_MAX_MS = 60 * 1000;
void NoteChannelEnded(const VmNode *node) REQUIRES(GetVmListHead()->lock);
// Milliseconds until the next reconnect that the last discovery pass put
// off, or -1 when none waits.
int ReconnectWaitMs();
// Channel connects that failed over the daemon's life (vmConnectFailCount):
// only the first 10 are logged.
int VmConnectFailures();
// Connects the VM's channel and puts a new entry at the front of the
// registry. 0, or -1. REQUIRES: the registry lock.
int InitVmNode(char *pathBuf, const char *name, VmNode **out) REQUIRES(GetVmListHead()->lock);

// ---- Replies on a guest's behalf -------------------------------------------------------

struct ClientConn;

// Tells a management client that the VM is upgrading: for a request of type
// 4 the module state with code 2, for type 3 ":{3}", for type 6 ":{5}",
// result 1. 0 once the reply was written or attempted (a failed write is
// followed by the failure reply), -1 when no reply could be built (a null VM,
// another type, an over-long name).
int vmUpgradeState(ClientConn &client, const VmNode *vm, const MsgHeadInfo &request, const char *modName);
// The module state on the guest's behalf with any code: vmName ":{" modName
// ",0.0.0.0," code ",0.0.0.0}", result 1; on a failed write the failure
// reply follows. Nothing is sent when the body cannot be built.
void vmModuleUpgradeState(ClientConn &client, const VmNode *vm, const MsgHeadInfo &head, const char *modName,
                          int code);
// Tells a management client that the VM's guest side does not answer: code
// 13 in each form. 0 once written; -1 when no reply could be built or the
// write failed (the failure reply is then attempted, and the caller sends its
// own as well).
int vmConnectTimeOut(ClientConn &client, const VmNode *vm, uint32_t msgType, const char *modName,
                     uint64_t msgId);

// ---- Status reset ----------------------------------------------------------------------

// A VM's state goes back to UPGRADE_IDLE_STATE some seconds after its guest
// reported the end of an upgrade: postResetVmStatus marks the request in
// resetTime and wakes ResetVmStatusThread, which resets every entry whose
// mark is more than RESET_DELAY_SECONDS old and looks again every
// RESET_DELAY_SECONDS while a mark is younger. A mark cleared meanwhile (an
// attach after the report) is not acted on: the newer upgrade stands.
inline constexpr int RESET_DELAY_SECONDS = 2;

void postResetVmStatus(VmNode *node);
// Work of a higher area that the reset thread does as well: atStart once
// before its first wait, periodic on every wake and at least every
// periodSeconds. Set by main before the thread starts.
void SetResetThreadWork(void (*atStart)(), void (*periodic)(), int periodSeconds);
// Thread routine: waits on g_resetVmStatusSem (a wait a signal interrupted is
// repeated); ends when the wait fails or the daemon stops.
void *ResetVmStatusThread(void *arg);
