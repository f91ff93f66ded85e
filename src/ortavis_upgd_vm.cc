// VM registry and discovery.
//
// g_vmListHead is the registry of running VMs whose guest channel the daemon
// holds open, newest first. Beside the list, a name index (guarded by the
// registry lock like the list) makes a discovery pass over N unchanged VMs
// cost N lookups instead of N list walks.
//
// The discovery pass runs on the VM command loop and on every management
// request's worker; the registry lock serialises them and is held across the
// pass, channel connects included. The directory holds more than the live
// descriptions: libvirt writes "<name>.xml.new" and renames it over
// "<name>.xml" on every state change, and operators leave "*.xml~" and
// "*.xml.bak" copies. Only a name ending exactly in ".xml" is a VM, so such
// copies never cost a connect, nor a line of the ten that connect failures
// may log over the daemon's life.
//
// Channel descriptors live as long as their entry: ending a channel shuts it
// down, and the last reference closes it (VmNodePut), so a number read from
// `fd` by a reference holder can never name another VM's channel or a
// management client.
#include "ortavis_upgd_vm.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ortavis_upgd_cmd.h"
#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_handlers.h"
#include "ortavis_upgd_iso.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_server.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_wire.h"

namespace {

VmNode g_vmListHead;
IndependentVmList g_independentVMListHead;
UpgVmAddList g_upgVMListAddHead;

// Channel connect failures over the daemon's whole life, for the log limits.
int vmConnectFailCount = 0;

constexpr size_t kNameCmpLen = VM_NAME_LEN - 1;

std::string_view NameKey(const char *name)
{
    return std::string_view(name, strnlen(name, kNameCmpLen));
}

// Bumped whenever an entry joins or leaves the registry; guarded by the registry lock.
uint64_t g_registryGeneration = 0;

// name -> front-most registry entry of that name; guarded by the registry lock.
std::unordered_map<std::string_view, VmNode *> &NameIndex()
{
    static std::unordered_map<std::string_view, VmNode *> index;
    return index;
}

void ZeroFill(void *obj, size_t size)
{
    (void)memset_s(obj, size, 0, size);
}

}  // namespace

VmNode *GetVmListHead()
{
    return &g_vmListHead;
}

IndependentVmList *GetIndependentVmList()
{
    return &g_independentVMListHead;
}

UpgVmAddList *GetUpgVmAddList()
{
    return &g_upgVMListAddHead;
}

namespace {

// Initialises the lock of a list object, logging "init <name> lock failed".
int InitListLock(void *list, const char *name)
{
    if (InitObjectLock(list) != 0) {
        UPG_LOG("init %s lock failed", name);
        return -1;
    }
    return 0;
}

}  // namespace

int InitVmListLock()
{
    g_vmListHead.next = nullptr;
    ++g_registryGeneration;
    g_vmListHead.name[0] = '\0';
    NameIndex().clear();
    return InitListLock(&g_vmListHead, "g_vmListHead");
}

int InitIndependentVmListLock()
{
    ZeroFill(&g_independentVMListHead, sizeof(g_independentVMListHead));
    return InitListLock(&g_independentVMListHead, "g_independentVMListHead");
}

int InitUpgVmListAddLock()
{
    ZeroFill(&g_upgVMListAddHead, sizeof(g_upgVMListAddHead));
    return InitListLock(&g_upgVMListAddHead, "g_upgVMListAddHead");
}

// ---- Records and references ------------------------------------------------------

VmNode *NewVmNode()
{
    auto *node = new (std::nothrow) VmNode();
    if (node == nullptr) {
        return nullptr;
    }
    node->fd = -1;
    node->ownedFd = -1;
    pthread_mutex_init(&node->stateLock, nullptr);
    pthread_mutex_init(&node->writeLock, nullptr);
    node->refs = 1;
    return node;
}

void VmNodeGet(VmNode *node)
{
    node->refs.fetch_add(1, std::memory_order_relaxed);
}

void VmNodePut(VmNode *node)
{
    if (node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        if (node->ownedFd >= 0 && close(node->ownedFd) != 0) {
            UPG_LOG("release socket failed");
        }
        ReleaseVmLogBudget(node->logBudget);
        pthread_mutex_destroy(&node->stateLock);
        pthread_mutex_destroy(&node->writeLock);
        delete node;
    }
}

// ---- List operations ------------------------------------------------------------------

VmNode *findVmByName(VmNode *head, const char *name)
{
    if (head == nullptr || name == nullptr) {
        return nullptr;
    }
    if (head == &g_vmListHead) {
        auto it = NameIndex().find(NameKey(name));
        return it == NameIndex().end() ? nullptr : it->second;
    }
    for (VmNode *n = head->next; n != nullptr; n = n->next) {
        if (std::strncmp(n->name, name, kNameCmpLen) == 0) {
            return n;
        }
    }
    return nullptr;
}

VmNode *findVmByFd(VmNode *head, int fd)
{
    if (head == nullptr) {
        return nullptr;
    }
    for (VmNode *n = head->next; n != nullptr; n = n->next) {
        if (n->fd == fd) {
            return n;
        }
    }
    return nullptr;
}

void addVmNode(VmNode *head, VmNode *node)
{
    if (head == nullptr || node == nullptr) {
        return;
    }
    node->next = head->next;
    head->next = node;
    if (head == &g_vmListHead) {
        ++g_registryGeneration;
        // The key views the indexed entry's own name, so it is replaced
        // together with the entry.
        NameIndex().erase(NameKey(node->name));
        NameIndex().emplace(NameKey(node->name), node);
    }
}

int deleteVmNode(VmNode *head, VmNode *node)
{
    if (head == nullptr || node == nullptr) {
        return 0;
    }
    for (VmNode *prev = head; prev->next != nullptr; prev = prev->next) {
        if (prev->next != node) {
            continue;
        }
        prev->next = node->next;
        node->next = nullptr;
        if (head == &g_vmListHead) {
            ++g_registryGeneration;
            auto &index = NameIndex();
            auto it = index.find(NameKey(node->name));
            if (it != index.end() && it->second == node) {
                index.erase(it);
                // Another entry of the same name (never made by discovery)
                // takes the index when one remains.
                for (VmNode *n = head->next; n != nullptr; n = n->next) {
                    if (std::strncmp(n->name, node->name, kNameCmpLen) == 0) {
                        index.emplace(NameKey(n->name), n);
                        break;
                    }
                }
            }
        }
        UPG_LOG("delete vm name %s", node->name);
        return 1;
    }
    return 0;
}

uint64_t RegistryGeneration()
{
    return g_registryGeneration;
}

void releaseVmNode(VmNode **ref)
{
    if (ref == nullptr || *ref == nullptr) {
        return;
    }
    VmNode *node = *ref;
    UPG_LOG("release vm %s client socket", node->name);
    CloseVmChannel(node);
    node->released = true;
    VmNodePut(node);
    *ref = nullptr;
}

void CloseVmChannel(VmNode *node)
{
    int fd = node->fd.exchange(-1);
    if (fd >= 0) {
        (void)shutdown(fd, SHUT_RDWR);
    }
}

void deleteIndependentVmNode(VmNode *node)
{
    IndependentVmList *list = &g_independentVMListHead;
    ObjectLockGuard guard(list);
    for (int i = 0; i < list->count && i < VM_LIST_MAX; ++i) {
        if (list->slots[i] == node) {
            list->slots[i] = nullptr;
            UPG_LOG("delete Independent VmNode : %s", node->name);
            VmNodePut(node);
            return;
        }
    }
}

void clearVmList(VmNode *head)
{
    if (head == nullptr) {
        return;
    }
    VmNode *n = head->next;
    head->next = nullptr;
    if (head == &g_vmListHead) {
        ++g_registryGeneration;
        NameIndex().clear();
    }
    while (n != nullptr) {
        VmNode *next = n->next;
        n->next = nullptr;
        releaseVmNode(&n);
        n = next;
    }
}

VmNode *InitNode(VmNode *src)
{
    std::unique_ptr<VmNode> copy(new (std::nothrow) VmNode());
    if (!copy) {
        UPG_LOG("%s malloc failed", src->name);
        return nullptr;
    }
    if (strncpy_s(copy->name, sizeof(copy->name), src->name, sizeof(copy->name) - 1) != 0) {
        UPG_LOG("strncpy_s node->name failed");
        return nullptr;
    }
    MutexGuard state(&src->stateLock);
    if (strncpy_s(copy->isopath, sizeof(copy->isopath), src->isopath, sizeof(copy->isopath) - 1) != 0) {
        UPG_LOG("strncpy_s node->isopath failed");
        return nullptr;
    }
    copy->cdromCheckRet = src->cdromCheckRet.load();
    copy->fd = -1;
    copy->ownedFd = -1;
    // The state the copy keeps is the one the change replaced.
    int32_t before = src->upgradeFlag.load();
    while (before != UPGRADE_RUNNING_STATE &&
           !src->upgradeFlag.compare_exchange_weak(before, UPGRADE_PENDING_STATE)) {
    }
    copy->upgradeFlag = before;
    return copy.release();
}

void FreeSnapshotNode(VmNode *copy)
{
    delete copy;
}

void setVmState(VmNode *node, int value)
{
    int32_t cur = node->upgradeFlag.load();
    bool kept = false;
    {
        MutexGuard state(&node->stateLock);
        do {
            kept = cur == UPGRADE_ATTACH_REFUSED_STATE || cur == UPGRADE_CONNECT_TIMEOUT_STATE;
        } while (!kept && !node->upgradeFlag.compare_exchange_weak(cur, value));
    }
    if (kept) {
        UPG_LOG("%s cur upgradeFlag is %d", node->name, static_cast<int>(cur));
    } else {
        UPG_LOG("set %s state %d", node->name, value);
    }
}

void ClearVmIsoPath(VmNode *node)
{
    MutexGuard state(&node->stateLock);
    ZeroFill(node->isopath, sizeof(node->isopath));
}

int WriteVmMsg(VmNode *vm, const VmMsg *msg)
{
    MutexGuard write(&vm->writeLock);
    int fd = vm->fd.load();
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    return WriteFD(fd, msg, VM_MSG_LEN);
}

// The caller holds the list's lock as GetIndependentVmList()->lock or
// GetUpgVmAddList()->lock; the list is reached through the same getter, the
// name under which the analysis knows that lock.

int AppendIndependentVmNode(VmNode *node)
{
    if (GetIndependentVmList()->count >= VM_LIST_MAX) {
        UPG_LOG("independent vm list full, %s left out", node->name);
        return -1;
    }
    VmNodeGet(node);
    GetIndependentVmList()->slots[GetIndependentVmList()->count++] = node;
    return 0;
}

int AppendUpgVmAddNode(VmNode *node)
{
    for (int i = 0; i < VM_LIST_MAX; ++i) {
        if (GetUpgVmAddList()->slots[i] == nullptr) {
            VmNodeGet(node);
            GetUpgVmAddList()->slots[i] = node;
            return 0;
        }
    }
    UPG_LOG("upgrade add vm list full, %s left out", node->name);
    return -1;
}

void ClearIndependentVmList()
{
    for (int i = 0; i < GetIndependentVmList()->count && i < VM_LIST_MAX; ++i) {
        VmNode *&slot = GetIndependentVmList()->slots[i];
        if (slot != nullptr) {
            VmNodePut(slot);
            slot = nullptr;
        }
    }
    GetIndependentVmList()->count = 0;
}

void ClearUpgVmAddList()
{
    for (int i = 0; i < VM_LIST_MAX && GetUpgVmAddList()->slots[i] != nullptr; ++i) {
        VmNodePut(GetUpgVmAddList()->slots[i]);
        GetUpgVmAddList()->slots[i] = nullptr;
    }
}

// ---- Discovery --------------------------------------------------------------------------

// Made once and kept for the process's life, so no writer ever hits a
// number that was reused.
int NewChannelEventFd()
{
    static const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd;
}

void WakeCommandLoop()
{
    uint64_t one = 1;
    if (NewChannelEventFd() >= 0) {
        (void)!write(NewChannelEventFd(), &one, sizeof(one));
    }
}

namespace {

// A management client whose descriptor is above MANAGE_CLIENT_FD_MAX is
// refused, and accept hands out the lowest free number: on a host with about
// a thousand VMs the channels would take every number a client may have. So
// a channel moves above that range; where the descriptor limit leaves no room
// there, it keeps its number. Channels are only ever polled, never selected.
int MoveAboveClientRange(int fd)
{
    int high = fcntl(fd, F_DUPFD_CLOEXEC, MANAGE_CLIENT_FD_MAX + 1);
    if (high < 0) {
        return fd;
    }
    close(fd);
    return high;
}

}  // namespace

int InitVmNode(char *pathBuf, const char *name, VmNode **out)
{
    constexpr size_t kPathBuf = 4096;
    if (snprintf_s(pathBuf, kPathBuf, kPathBuf - 1, "%s/%s.upgraded", VM_RUN_DIR, name) < 0) {
        UPG_LOG("snprintf_s %s.upgrade failed", name);
        return -1;
    }
    int fd = ConnectUnixSocket(pathBuf, &vmConnectFailCount);
    if (fd < 0) {
        if (vmConnectFailCount <= CONNECT_REPORT_LIMIT) {
            UPG_LOG("open vm %s socket fail", name);
        }
        return -1;
    }
    fd = MoveAboveClientRange(fd);
    VmNode *node = NewVmNode();
    if (node == nullptr) {
        UPG_LOG("malloc failed");
    } else if (strncpy_s(node->name, sizeof(node->name), name, sizeof(node->name) - 1) != 0) {
        UPG_LOG("strncpy_s node->name failed");
        VmNodePut(node);
        node = nullptr;
    }
    if (node == nullptr) {
        *out = nullptr;
        UPG_LOG("InitVmNode vm %s fail", name);
        close(fd);
        return -1;
    }
    node->fd = fd;
    node->ownedFd = fd;
    node->connectedMs = MonotonicMs();
    node->logBudget = VmLogBudget(node->name);
    *out = node;
    addVmNode(GetVmListHead(), node);
    UPG_LOG("vm list add vm : %s", name);
    WakeCommandLoop();
    return 0;
}

namespace {

struct DirCloser {
    void operator()(DIR *dir) const { closedir(dir); }
};
using NameList = std::vector<MallocText>;

// Reads the VM names from the run directory. False when a name could not be
// kept (the registry must then be left alone).
bool ReadRunningNames(DIR *dir, NameList &names)
{
    constexpr size_t kXmlLen = 4;
    constexpr size_t kMinLen = kXmlLen + 1;
    constexpr size_t kMaxExtra = 4093;
    while (names.size() < VM_LIST_MAX) {
        dirent *entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        const char *fileName = entry->d_name;
        size_t len = std::strlen(fileName);
        if (len < kMinLen || len - kMinLen > kMaxExtra ||
            std::strcmp(fileName + len - kXmlLen, ".xml") != 0) {
            continue;
        }
        size_t nameLen = len - kXmlLen;
        char *name = static_cast<char *>(std::malloc(nameLen + 1));
        if (name == nullptr) {
            UPG_LOG("malloc fileNameList failed, i=%d", static_cast<int>(names.size()));
            return false;
        }
        names.emplace_back(name);
        if (strncpy_s(name, nameLen + 1, fileName, nameLen) != 0) {
            UPG_LOG("strncpy_s fileNameList failed");
            return false;
        }
    }
    return true;
}

void DropVm(VmNode *node) REQUIRES(GetVmListHead()->lock)
{
    if (deleteVmNode(GetVmListHead(), node) == 1) {
        deleteIndependentVmNode(node);
        releaseVmNode(&node);
    }
}

}  // namespace

int VmConnectFailures()
{
    return vmConnectFailCount;
}

namespace {

// The channels that ended soon after their connect, by VM name; guarded by
// the registry lock.
struct Backoff {
    int quickEnds = 0;
    int64_t dueMs = 0;
};
std::unordered_map<std::string, Backoff> &Backoffs()
{
    static std::unordered_map<std::string, Backoff> backoffs;
    return backoffs;
}
std::atomic<int> g_reconnectWaitMs{-1};

// True when the VM's channel may be connected now; otherwise *wait gets the
// milliseconds left, if fewer than it holds.
bool ReconnectDue(const char *name, int64_t now, int64_t *wait)
{
    auto it = Backoffs().find(name);
    if (it == Backoffs().end() || it->second.dueMs <= now) {
        return true;
    }
    if (*wait < 0 || it->second.dueMs - now < *wait) {
        *wait = it->second.dueMs - now;
    }
    return false;
}

}  // namespace

void NoteChannelEnded(const VmNode *node)
{
    const int64_t now = MonotonicMs();
    if (now - node->connectedMs >= CHANNEL_STABLE_MS) {
        Backoffs().erase(node->name);
        return;
    }
    Backoff &b = Backoffs()[node->name];
    ++b.quickEnds;
    int64_t pause = 0;
    if (b.quickEnds > 1) {
        int shift = std::min(b.quickEnds - 2, 16);
        pause = std::min(int64_t{1000} << shift, RECONNECT_PAUSE_MAX_MS);
        UPG_LOG("vm %s ended its channel %d times in a row soon after connecting: next connect in %lld ms",
                node->name, b.quickEnds, static_cast<long long>(pause));
    }
    b.dueMs = now + pause;
}

int ReconnectWaitMs()
{
    return g_reconnectWaitMs.load();
}

void GetRunningVmList()
{
    LogPeerScope daemonsOwn(nullptr);   // the registry's lines, whichever peer's request runs the pass
    std::unique_ptr<DIR, DirCloser> dir(opendir(VM_RUN_DIR));
    if (!dir) {
        UPG_LOG("GetRunningVmList failed");
        return;
    }
    NameList names;
    if (!ReadRunningNames(dir.get(), names)) {
        UPG_LOG("get running vm list failed");
        return;
    }
    char path[4096] = {0};

    ObjectLockGuard registry(GetVmListHead());
    for (VmNode *n = g_vmListHead.next; n != nullptr; n = n->next) {
        n->syncMark = 1;
    }
    const int64_t now = MonotonicMs();
    int64_t wait = -1;
    for (const auto &name : names) {
        VmNode *node = findVmByName(GetVmListHead(), name.get());
        if (node != nullptr && node->fd >= 0) {
            node->syncMark = 2;   // connected
            continue;
        }
        if (!ReconnectDue(name.get(), now, &wait)) {
            if (node != nullptr) {
                node->syncMark = 2;   // hung up, and connected again once its pause is over
            }
            continue;
        }
        if (node != nullptr) {
            DropVm(node);   // hung up: a new entry takes its place
            node = nullptr;
        }
        if (InitVmNode(path, name.get(), &node) == 0) {
            node->syncMark = 2;
        }
    }
    g_reconnectWaitMs.store(static_cast<int>(std::min<int64_t>(wait, RECONNECT_PAUSE_MAX_MS)));
    VmNode *n = g_vmListHead.next;
    while (n != nullptr) {
        VmNode *next = n->next;
        if (n->syncMark == 1) {
            DropVm(n);
        }
        n = next;
    }
}

// ---- Replies on a guest's behalf ------------------------------------------------------------

namespace {

struct StateCodes {
    int module;        // type 4: the code in the module state
    int healthCheck;   // type 3
    int autoCtrl;      // type 6
};

// Builds the body for the request type into body (HOST_MSG_BODY_BUF bytes).
// Its length, or -1 after the log line.
int BuildStateReplyBody(const char *caller, const VmNode *vm, uint32_t msgType, const char *modName,
                        const StateCodes &codes, char *body)
{
    if (vm == nullptr) {
        UPG_LOG("%s vm is null", caller);
        return -1;
    }
    int ret;
    switch (msgType) {
    case UPG_MSG_GET_UPG_RES:
        ret = BuildModuleStateBody(body, HOST_MSG_BODY_BUF, vm->name, modName, codes.module);
        break;
    case UPG_MSG_HEALTH_CHECK:
        ret = BuildStateCodeBody(body, HOST_MSG_BODY_BUF, vm->name, codes.healthCheck);
        break;
    case UPG_MSG_AUTO_CTRL:
        ret = BuildStateCodeBody(body, HOST_MSG_BODY_BUF, vm->name, codes.autoCtrl);
        break;
    default:
        UPG_LOG("type is not support. type=%d", static_cast<int>(msgType));
        return -1;
    }
    if (ret == REPLY_PIECE_VM_NAME || ret == REPLY_PIECE_OUT) {
        UPG_LOG("strncpy_s name failed");
        return -1;
    }
    if (ret != 0) {
        UPG_LOG("strncpy_s modName failed");
        return -1;
    }
    return static_cast<int>(std::strlen(body));
}

// Writes header and body; on a failed write the failure reply follows.
// 0 when the reply went out, -1 otherwise.
int WriteStateReply(ClientConn &client, uint64_t msgId, uint32_t msgType, const char *body, int bodyLen)
{
    uint8_t msg[HOST_HEAD_LEN + HOST_MSG_BODY_BUF];
    int len = BuildHostMsg(msg, sizeof(msg), msgId, msgType, HOST_RESULT_FAIL, body,
                           static_cast<size_t>(bodyLen));
    if (len > 0 && ClientWrite(client, msg, len) == len) {
        return 0;
    }
    UPG_LOG("send to client upgrade state failed");
    (void)ClientWriteHead(client, MakeHostHead(msgId, msgType, 0, 0), HOST_RESULT_FAIL);
    return -1;
}

}  // namespace

int vmUpgradeState(ClientConn &client, const VmNode *vm, const MsgHeadInfo &request, const char *modName)
{
    char body[HOST_MSG_BODY_BUF] = {0};
    int bodyLen = BuildStateReplyBody("vmUpgradeState", vm, request.msgType, modName,
                                      {UPGRADE_PENDING_STATE, 3, 5}, body);
    if (bodyLen < 0) {
        return -1;
    }
    UPG_LOG("send to client the vm is upgrading : %s", body);
    (void)WriteStateReply(client, request.msgId, request.msgType, body, bodyLen);
    return 0;
}

void vmModuleUpgradeState(ClientConn &client, const VmNode *vm, const MsgHeadInfo &head, const char *modName,
                          int code)
{
    char body[HOST_MSG_BODY_BUF] = {0};
    int bodyLen = BuildStateReplyBody("vmUpgradeState", vm, UPG_MSG_GET_UPG_RES, modName, {code, 0, 0}, body);
    if (bodyLen < 0) {
        return;
    }
    UPG_LOG("send to client the vm is upgrading : %s", body);
    (void)WriteStateReply(client, head.msgId, head.msgType, body, bodyLen);
}

int vmConnectTimeOut(ClientConn &client, const VmNode *vm, uint32_t msgType, const char *modName,
                     uint64_t msgId)
{
    char body[HOST_MSG_BODY_BUF] = {0};
    int bodyLen = BuildStateReplyBody("vmConnectTimeOut", vm, msgType, modName,
                                      {UPGRADE_CONNECT_TIMEOUT_STATE, UPGRADE_CONNECT_TIMEOUT_STATE,
                                       UPGRADE_CONNECT_TIMEOUT_STATE},
                                      body);
    if (bodyLen < 0) {
        return -1;
    }
    return WriteStateReply(client, msgId, msgType, body, bodyLen);
}

// ---- Status reset ---------------------------------------------------------------------------

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
