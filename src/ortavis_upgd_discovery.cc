// VM discovery: the pass that keeps the registry in line with the VMs
// libvirt runs, connects their guest channels, and paces the reconnects of
// a channel that keeps ending soon after its connect.
//
// The pass runs on the VM command loop and on every management request's
// worker; the registry lock serialises them and is held across the pass,
// channel connects included. The directory holds more than the live
// descriptions: libvirt writes "<name>.xml.new" and renames it over
// "<name>.xml" on every state change, and operators leave "*.xml~" and
// "*.xml.bak" copies. Only a name ending exactly in ".xml" is a VM, so such
// copies never cost a connect, nor a line of the ten that connect failures
// may log over the daemon's life. A new channel wakes the command loop
// through an event descriptor made once for the process's life.
#include "ortavis_upgd_vm.h"

#include <dirent.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "ortavis_upgd_cmd.h"
#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_server.h"
#include "ortavis_upgd_task.h"

namespace {

// Channel connect failures over the daemon's whole life, for the log limits.
int vmConnectFailCount = 0;

}  // namespace

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
    for (VmNode *n = GetVmListHead()->next; n != nullptr; n = n->next) {
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
    VmNode *n = GetVmListHead()->next;
    while (n != nullptr) {
        VmNode *next = n->next;
        if (n->syncMark == 1) {
            DropVm(n);
        }
        n = next;
    }
}
