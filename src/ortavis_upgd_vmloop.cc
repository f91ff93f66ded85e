// The VM command loop; the story is in the header.
#include "ortavis_upgd_vmloop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_guestlane.h"
#include "ortavis_upgd_handlers.h"
#include "ortavis_upgd_iso.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_wire.h"

namespace {

constexpr int kPollTimeoutMs = 30000;
constexpr int kNoChannelPauseMs = 5000;
constexpr int kPollFailPauseMs = 100;

// A message on its way in: what a channel has sent of it so far.
struct Partial {
    VmRef vm;            // keeps the key's record, so its address is never reused meanwhile
    int have = 0;
    int64_t startedMs = 0;
    VmMsg msg{};
};

// Channels with part of a message read; the loop's own.
std::unordered_map<const VmNode *, Partial> g_partials;

// Reads and drops whatever the guests sent before the daemon was ready.
void clearVmSocketReadBuf()
{
    ObjectLockGuard registry(GetVmListHead());
    for (VmNode *n = GetVmListHead()->next; n != nullptr; n = n->next) {
        int fd = n->fd.load();
        if (fd <= 0) {
            continue;
        }
        uint8_t rubbish[VM_MSG_LEN];
        while (recv(fd, rubbish, sizeof(rubbish), MSG_DONTWAIT) > 0) {
        }
        // Logged once drained: what the guest sends after this line is read.
        UPG_LOG("clearVmSocketReadBuf vmname %s", n->name);
    }
}

// Ends the channel that hung up: the next discovery pass connects the VM anew.
void HangUp(const VmRef &vm, int fd)
{
    g_partials.erase(vm.get());
    ObjectLockGuard registry(GetVmListHead());
    if (vm->fd.load() == fd) {
        UPG_LOG("vm %s qemu socket hup", vm->name);
        CloseVmChannel(vm.get());
        NoteChannelEnded(vm.get());
    } else {
        UPG_LOG("find vm in dealWithVmCmd is null, vmfd=%d", fd);
    }
}

// The peer reset the channel: the entry loses its place at once.
void DropResetChannel(const VmRef &vm)
{
    g_partials.erase(vm.get());
    VmNode *node = vm.get();
    ObjectLockGuard registry(GetVmListHead());
    NoteChannelEnded(node);
    if (deleteVmNode(GetVmListHead(), node) == 1) {
        releaseVmNode(&node);
    }
    UPG_LOG("getVmCmdMsg failed");
}

// True when the message filled the VM's queue on the lane. Its receive
// lines are the lane's to write when it is handled: the loop logs nothing per
// message, so however much a crowd of guests sends, it reads on at once.
bool QueueWhole(const VmRef &vm, const VmMsg &msg)
{
    return QueueGuestMsg(vm.get(), msg) == 1;
}

enum class ReadEnd { Waiting, HungUp, Reset };

// Reads what the channel has, queueing each whole message. Never blocks.
ReadEnd ReadChannel(const VmRef &vm, int fd)
{
    auto found = g_partials.find(vm.get());
    Partial local;
    Partial &part = found != g_partials.end() ? found->second : local;
    auto *bytes = reinterpret_cast<uint8_t *>(&part.msg);
    bool full = false;   // the VM's queue on the lane: read on once it has room
    for (int taken = 0; taken < VM_MSGS_PER_PASS && !full;) {
        ssize_t got = recv(fd, bytes + part.have, VM_MSG_LEN - static_cast<size_t>(part.have), MSG_DONTWAIT);
        if (got > 0) {
            if (part.have == 0) {
                part.startedMs = MonotonicMs();
            }
            part.have += static_cast<int>(got);
            if (part.have == VM_MSG_LEN) {
                full = QueueWhole(vm, part.msg);
                part.have = 0;
                ++taken;
            }
            continue;
        }
        if (got == 0) {
            UPG_LOG("read to the end");
            return ReadEnd::HungUp;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        }
        int err = errno;
        UPG_LOG("read msg from client failed");
        if (err == ECONNRESET || err == EPIPE || err == EBADF) {
            return ReadEnd::Reset;
        }
        break;
    }
    if (part.have > 0 && found == g_partials.end()) {
        part.vm = vm;
        g_partials.emplace(vm.get(), std::move(part));
    } else if (part.have == 0 && found != g_partials.end()) {
        g_partials.erase(found);
    }
    return ReadEnd::Waiting;
}

// The channels that poll reported.
void HandleReady(const std::vector<pollfd> &set, const std::vector<VmRef> &owners)
{
    for (size_t i = 0; i < owners.size(); ++i) {
        short ev = set[i].revents;
        if (ev == 0) {
            continue;
        }
        const VmRef &vm = owners[i];
        if (vm->fd.load() != set[i].fd) {
            UPG_LOG("find vm in dealWithVmCmd is null normal, vmfd=%d", set[i].fd);
            continue;
        }
        LogPeerScope peer(vm->logBudget);
        if ((ev & POLLNVAL) != 0) {
            HangUp(vm, set[i].fd);
            continue;
        }
        // Whatever is readable is read first, the guest's last message
        // before a hang-up included; the end of the stream is the hang-up.
        switch (ReadChannel(vm, set[i].fd)) {
        case ReadEnd::HungUp:
            HangUp(vm, set[i].fd);
            break;
        case ReadEnd::Reset:
            DropResetChannel(vm);
            break;
        case ReadEnd::Waiting:
            if ((ev & (POLLIN | POLLPRI)) == 0 && (ev & (POLLHUP | POLLERR)) != 0) {
                HangUp(vm, set[i].fd);   // an error that poll would report at once for ever
            }
            break;
        }
    }
}

// Drops the messages that did not come whole in time; their channels go.
// The milliseconds until the next such deadline (kPollTimeoutMs if none).
int ExpirePartials()
{
    const int64_t now = MonotonicMs();
    int64_t next = kPollTimeoutMs;
    std::vector<VmRef> late;
    for (auto &[key, part] : g_partials) {
        int64_t left = part.startedMs + VM_MSG_COMPLETE_MS - now;
        if (left <= 0) {
            late.push_back(part.vm);
        } else {
            next = std::min(next, left);
        }
    }
    for (const VmRef &vm : late) {
        LogPeerScope peer(vm->logBudget);
        UPG_LOG("vm %s sent %d of %d bytes of a message within %d ms: dropped", vm->name,
                g_partials[vm.get()].have, VM_MSG_LEN, VM_MSG_COMPLETE_MS);
        int fd = vm->fd.load();
        if (fd < 0) {
            g_partials.erase(vm.get());   // ended meanwhile
        } else {
            HangUp(vm, fd);
        }
    }
    return static_cast<int>(next);
}

}  // namespace

void *dealWithVmCmd(void *)
{
    const int newChannel = NewChannelEventFd();
    GetRunningVmList();
    clearVmSocketReadBuf();
    std::vector<pollfd> set;
    std::vector<VmRef> owners;
    std::vector<std::string> full;   // the VMs whose queue on the lane is full, sorted
    set.reserve(VM_LIST_MAX + 2);
    owners.reserve(VM_LIST_MAX);
    while (!StopRequested()) {
        GetRunningVmList();
        int timeout = ExpirePartials();
        const int reconnect = ReconnectWaitMs();
        if (reconnect >= 0 && reconnect < timeout) {
            timeout = reconnect;   // a VM whose channel waits out its pause is connected then
        }
        set.clear();
        owners.clear();
        bool waiting = false;   // a channel left out until the lane has room
        FullGuestQueues(&full);
        {
            ObjectLockGuard registry(GetVmListHead());
            for (VmNode *n = GetVmListHead()->next; n != nullptr && owners.size() < VM_LIST_MAX; n = n->next) {
                int fd = n->fd.load();
                if (fd <= 0) {
                    continue;
                }
                if (!full.empty() && std::binary_search(full.begin(), full.end(), std::string_view(n->name))) {
                    waiting = true;
                    continue;
                }
                set.push_back({fd, POLLIN | POLLPRI, 0});
                owners.emplace_back(n);
            }
        }
        if (owners.empty() && !waiting && reconnect < 0) {
            (void)SleepUnlessStopping(kNoChannelPauseMs);
            continue;
        }
        set.push_back({StopEventFd(), POLLIN, 0});
        set.push_back({newChannel, POLLIN, 0});
        int ready = poll(set.data(), set.size(), timeout);
        if (ready > 0 && set.back().revents != 0) {
            uint64_t count = 0;
            (void)!read(newChannel, &count, sizeof(count));   // the next pass polls it
        }
        if (ready < 0 && errno != EINTR) {
            UPG_LOG("dealWithVmCmd poll failed");
            (void)SleepUnlessStopping(kPollFailPauseMs);
        } else if (ready > 0 && !StopRequested()) {
            HandleReady(set, owners);
        }
    }
    g_partials.clear();
    return nullptr;
}

void dealWithVmMsg(VmNode *vm, VmMsg *msg)
{
    LogPeerScope peer(vm->logBudget);
    const int fd = vm->fd.load();
    UPG_LOG("[dealWithVmCmd] recieve vm msg : %s, vmfd=%d", vm->name, fd);
    UPG_LOG(">>>>>>>>>>> receive from vm fd: %d", fd);
    dumpVmMsg(msg);
    MallocText isoName;
    if (msg->moduleNum >= 0 && (msg->msgType == VM_REQ_ATTACH_ISO_MSG || msg->msgType == VM_REQ_DETACH_ISO_MSG)) {
        isoName = CheckUpgInfo(&msg->module[0]);
    }
    if (vm->released.load()) {
        UPG_LOG("vm is null");
        return;
    }
    dispatchVmMsg(msg, vm, isoName.get(), isoName ? 0 : 1);
}
