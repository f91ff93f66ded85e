// The VM registry: the running VMs whose guest channel the daemon holds
// open, newest first, and the two upgrade lists. Beside the list, a name
// index (guarded by the registry lock like the list) makes a discovery pass
// over N unchanged VMs cost N lookups instead of N list walks. Discovery
// (ortavis_upgd_discovery.cc) adds and drops entries; every thread that
// handles a VM looks it up here and holds a reference while it works.
//
// Channel descriptors live as long as their entry: ending a channel shuts it
// down, and the last reference closes it (VmNodePut), so a number read from
// `fd` by a reference holder can never name another VM's channel or a
// management client.
#include "ortavis_upgd_vm.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <unordered_map>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_securec.h"

namespace {

VmNode g_vmListHead;
IndependentVmList g_independentVMListHead;
UpgVmAddList g_upgVMListAddHead;

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
        ReleaseLogBudget(node->logBudget);
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
