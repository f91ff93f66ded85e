// The host at a glance: the tables behind the host state request and the
// request's pages (see ortavis_upgd_state.h for who writes what).
//
// A guest's report is kept by VM name, apart from the registry entry, so it
// outlives the entry that a channel hang-up replaces. The table is bounded:
// past kReportsMax names, the VM reported longest ago gives way. Each VM
// costs one fixed record of six modules, so 1000 VMs hold well under a MiB.
#include "ortavis_upgd_state.h"

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_drive.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_vm.h"

#ifndef UPGD_VERSION
#define UPGD_VERSION "0"
#endif

namespace {

constexpr size_t kReportsMax = 2 * VM_LIST_MAX;

struct KeptModule {
    char name[MOD_NAME_FIELD];
    char curversion[16];
    char tarversion[16];
    int32_t rescode;
    int64_t at;   // monotonic milliseconds
};

struct KeptVm {
    KeptModule modules[VM_MSG_MODULE_MAX];
    uint8_t moduleCount;
    int32_t outcome;
    int64_t latest;   // of the newest report or outcome, monotonic milliseconds
};

ObjectMutex g_keptLock = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, KeptVm> g_kept GUARDED_BY(g_keptLock);

ObjectMutex g_offerLock = PTHREAD_MUTEX_INITIALIZER;
UpgStateOffer g_offer[UPG_STATE_OFFER_MAX] GUARDED_BY(g_offerLock);
uint8_t g_offerCount GUARDED_BY(g_offerLock) = 0;

ObjectMutex g_runLock = PTHREAD_MUTEX_INITIALIZER;
struct RunProgress {
    uint8_t active;
    uint8_t mode;
    uint32_t total;
    uint32_t done;
    char current[VM_NAME_FIELD];
} g_run GUARDED_BY(g_runLock) = {};

const time_t g_startTime = time(nullptr);
std::atomic<uint32_t> g_intervalMinutes{0};
std::atomic<uint32_t> g_counts[5];

// A fixed text field from a guest's record, cut to its last byte and NUL-padded.
void CopyField(char *dst, size_t dstSize, const char *src, size_t srcSize)
{
    size_t n = strnlen(src, std::min(srcSize, dstSize - 1));
    std::memset(dst, 0, dstSize);
    std::memcpy(dst, src, n);
}

// The entry of the VM, made room for when it is new. REQUIRES: g_keptLock.
KeptVm &KeptEntry(const char *vmName) REQUIRES(g_keptLock)
{
    auto it = g_kept.find(vmName);
    if (it != g_kept.end()) {
        return it->second;
    }
    if (g_kept.size() >= kReportsMax) {
        auto oldest = std::min_element(g_kept.begin(), g_kept.end(),
                                       [](const auto &a, const auto &b) { return a.second.latest < b.second.latest; });
        g_kept.erase(oldest);
    }
    return g_kept.try_emplace(vmName, KeptVm{}).first->second;
}

// Whole seconds from `at` to `now`, both monotonic milliseconds.
uint32_t Age(int64_t now, int64_t at)
{
    return now > at ? static_cast<uint32_t>(std::min<int64_t>((now - at) / 1000, UINT32_MAX)) : 0;
}

// A VM as the registry had it when the request came.
struct StateRow {
    char name[VM_NAME_FIELD];
    uint8_t channel;
    int32_t state;
};

// What one VM's entry needs beyond the registry's copy.
struct VmView {
    KeptVm kept{};
    bool isoIn = false;
    std::string iso;
    int64_t isoSince = 0;   // monotonic milliseconds
};

// True when a module the guest reported is offered at another version.
bool UpgradeAvailable(const KeptVm &kept, const UpgStateOffer *offer, int offerCount)
{
    for (int m = 0; m < kept.moduleCount; ++m) {
        for (int o = 0; o < offerCount; ++o) {
            if (std::strncmp(kept.modules[m].name, offer[o].module, sizeof(offer[o].module)) == 0 &&
                std::strncmp(kept.modules[m].curversion, offer[o].version, sizeof(offer[o].version)) != 0) {
                return true;
            }
        }
    }
    return false;
}

// Appends bytes at *len of body when they fit within `room`; false otherwise.
bool Put(uint8_t *body, size_t room, size_t *len, const void *bytes, size_t n)
{
    if (*len + n > room) {
        return false;
    }
    std::memcpy(body + *len, bytes, n);
    *len += n;
    return true;
}

// One VM's whole entry at *len, or nothing (false) when it does not fit.
bool PutVm(uint8_t *body, size_t *len, const StateRow &row, const VmView &view, const UpgStateOffer *offer,
           int offerCount, int64_t now)
{
    UpgStateVm rec{};
    rec.state = row.state;
    rec.outcome = view.kept.outcome;
    rec.nameLen = static_cast<uint8_t>(strnlen(row.name, VM_NAME_MAX));
    rec.channel = row.channel;
    rec.moduleCount = view.kept.moduleCount;
    if (view.isoIn) {
        rec.flags |= UPG_VM_ISO_IN_DRIVE;
        rec.isoAge = Age(now, view.isoSince);
        if (view.iso.size() <= UPG_STATE_ISO_NAME_MAX) {
            rec.isoNameLen = static_cast<uint8_t>(view.iso.size());
        }
    }
    if (UpgradeAvailable(view.kept, offer, offerCount)) {
        rec.flags |= UPG_VM_UPGRADE_AVAILABLE;
    }
    size_t need = sizeof(rec) + rec.nameLen + rec.isoNameLen + rec.moduleCount * sizeof(UpgStateModule);
    if (*len + need > HOST_MSG_BODY_MAX) {
        return false;
    }
    (void)Put(body, HOST_MSG_BODY_MAX, len, &rec, sizeof(rec));
    (void)Put(body, HOST_MSG_BODY_MAX, len, row.name, rec.nameLen);
    (void)Put(body, HOST_MSG_BODY_MAX, len, view.iso.data(), rec.isoNameLen);
    for (int m = 0; m < rec.moduleCount; ++m) {
        const KeptModule &k = view.kept.modules[m];
        UpgStateModule mod{};
        CopyField(mod.name, sizeof(mod.name), k.name, sizeof(k.name));
        CopyField(mod.curversion, sizeof(mod.curversion), k.curversion, sizeof(k.curversion));
        CopyField(mod.tarversion, sizeof(mod.tarversion), k.tarversion, sizeof(k.tarversion));
        mod.rescode = k.rescode;
        mod.age = Age(now, k.at);
        (void)Put(body, HOST_MSG_BODY_MAX, len, &mod, sizeof(mod));
    }
    return true;
}

}  // namespace

// ---- Writers --------------------------------------------------------------------------------

void KeepModuleReport(const char *vmName, const VmMsg *msg)
{
    int count = std::clamp(msg->moduleNum, 0, VM_MSG_MODULE_MAX);
    if (count == 0 && msg->module[0].name[0] != '\0') {
        count = 1;
    }
    const int64_t now = MonotonicMs();
    MutexGuard guard(&g_keptLock);
    KeptVm &kept = KeptEntry(vmName);
    kept.latest = now;
    for (int i = 0; i < count; ++i) {
        const ModuleInfo &in = msg->module[i];
        char name[MOD_NAME_FIELD];
        CopyField(name, sizeof(name), in.name, sizeof(in.name));
        if (name[0] == '\0') {
            continue;   // a record in use has a name: a guest that counts more sent blanks
        }
        int slot = 0;
        while (slot < kept.moduleCount && std::strcmp(kept.modules[slot].name, name) != 0) {
            ++slot;
        }
        if (slot == kept.moduleCount) {
            if (kept.moduleCount == VM_MSG_MODULE_MAX) {
                // Six modules known already: the one reported longest ago gives way.
                slot = static_cast<int>(std::min_element(kept.modules, kept.modules + VM_MSG_MODULE_MAX,
                                                         [](const KeptModule &a, const KeptModule &b) {
                                                             return a.at < b.at;
                                                         }) - kept.modules);
            } else {
                ++kept.moduleCount;
            }
        }
        KeptModule &out = kept.modules[slot];
        std::memcpy(out.name, name, sizeof(out.name));
        CopyField(out.curversion, sizeof(out.curversion), in.curversion, sizeof(in.curversion));
        CopyField(out.tarversion, sizeof(out.tarversion), in.tarversion, sizeof(in.tarversion));
        out.rescode = in.rescode;
        out.at = now;
    }
}

void NoteOutcome(const char *vmName, int32_t outcome)
{
    MutexGuard guard(&g_keptLock);
    KeptVm &kept = KeptEntry(vmName);
    kept.outcome = outcome;
    kept.latest = MonotonicMs();
}

void KeepOffer(const VmMsg *msg)
{
    int count = std::clamp(msg->moduleNum, 0, UPG_STATE_OFFER_MAX);
    MutexGuard guard(&g_offerLock);
    for (int i = 0; i < count; ++i) {
        UpgStateOffer &o = g_offer[i];
        o = UpgStateOffer{};
        CopyField(o.module, sizeof(o.module), msg->module[i].name, sizeof(msg->module[i].name));
        CopyField(o.version, sizeof(o.version), msg->module[i].curversion, sizeof(msg->module[i].curversion));
        o.os = msg->module[i].type;
    }
    g_offerCount = static_cast<uint8_t>(count);
}

void NoteInterval(uint32_t minutes)
{
    g_intervalMinutes.store(minutes);
}

void CountEvent(StateCount what)
{
    g_counts[static_cast<int>(what)].fetch_add(1);
}

void NoteRunStart(int mode, uint32_t total)
{
    MutexGuard guard(&g_runLock);
    if (g_run.active == 0) {
        g_run = RunProgress{1, static_cast<uint8_t>(mode), 0, 0, {}};
    }
    g_run.mode = static_cast<uint8_t>(mode);   // VMs added to a run extend it
    g_run.total += total;
}

void NoteRunServing(const char *vmName)
{
    MutexGuard guard(&g_runLock);
    CopyField(g_run.current, sizeof(g_run.current), vmName, VM_NAME_FIELD);
}

void NoteRunServed()
{
    MutexGuard guard(&g_runLock);
    ++g_run.done;
    g_run.current[0] = '\0';
}

void NoteRunEnded()
{
    MutexGuard guard(&g_runLock);
    g_run = RunProgress{};
}

// ---- The request --------------------------------------------------------------------------

namespace {

// The daemon itself.
size_t BuildDaemonPage(uint8_t *body, size_t vmCount)
{
    UpgStateDaemon d{};
    CopyField(d.version, sizeof(d.version), UPGD_VERSION, sizeof(UPGD_VERSION));
    d.startTime = g_startTime;
    d.now = time(nullptr);
    d.intervalMinutes = g_intervalMinutes.load();
    itimerval timer{};
    if (getitimer(ITIMER_REAL, &timer) == 0) {
        d.nextFire = static_cast<uint32_t>(timer.it_value.tv_sec + (timer.it_value.tv_usec > 0 ? 1 : 0));
    }
    d.runs = g_counts[static_cast<int>(StateCount::kRuns)].load();
    d.attaches = g_counts[static_cast<int>(StateCount::kAttaches)].load();
    d.detaches = g_counts[static_cast<int>(StateCount::kDetaches)].load();
    d.failures = g_counts[static_cast<int>(StateCount::kFailures)].load();
    d.refusals = g_counts[static_cast<int>(StateCount::kRefusals)].load();
    d.vmCount = static_cast<uint16_t>(vmCount);
    char current[VM_NAME_FIELD] = {0};
    {
        MutexGuard guard(&g_runLock);
        d.runActive = g_run.active;
        d.runMode = g_run.mode;
        d.runTotal = g_run.total;
        d.runDone = g_run.done;
        std::memcpy(current, g_run.current, sizeof(current));
    }
    d.currentNameLen = static_cast<uint8_t>(strnlen(current, VM_NAME_MAX));
    UpgStateOffer offer[UPG_STATE_OFFER_MAX];
    {
        MutexGuard guard(&g_offerLock);
        d.offerCount = g_offerCount;
        std::memcpy(offer, g_offer, sizeof(offer));
    }
    UpgStateHead head{};
    size_t len = 0;
    (void)Put(body, HOST_MSG_BODY_MAX, &len, &head, sizeof(head));
    (void)Put(body, HOST_MSG_BODY_MAX, &len, &d, sizeof(d));
    (void)Put(body, HOST_MSG_BODY_MAX, &len, current, d.currentNameLen);
    (void)Put(body, HOST_MSG_BODY_MAX, &len, offer, d.offerCount * sizeof(UpgStateOffer));
    if (vmCount > 0) {
        UpgStateHead h{1, 0, 0};   // VMs follow
        std::memcpy(body, &h, sizeof(h));
    }
    return len;
}

// Whole VM entries of rows, in name order; `more` when VMs sort after the
// last one that fits.
size_t BuildVmPage(uint8_t *body, const StateRow *rows, size_t count, bool moreAfterRows, int64_t now)
{
    UpgStateOffer offer[UPG_STATE_OFFER_MAX];
    int offerCount = 0;
    {
        MutexGuard guard(&g_offerLock);
        offerCount = g_offerCount;
        std::memcpy(offer, g_offer, sizeof(offer));
    }
    UpgStateHead head{};
    size_t len = sizeof(head);
    size_t i = 0;
    for (; i < count; ++i) {
        VmView view;
        {
            MutexGuard guard(&g_keptLock);
            auto it = g_kept.find(rows[i].name);
            if (it != g_kept.end()) {
                view.kept = it->second;
            }
        }
        view.isoIn = AttachedIso(rows[i].name, &view.iso, &view.isoSince);
        if (!PutVm(body, &len, rows[i], view, offer, offerCount, now)) {
            break;
        }
        ++head.vmCount;
    }
    head.more = i < count || moreAfterRows ? 1 : 0;
    std::memcpy(body, &head, sizeof(head));
    return len;
}

// The registry's entries in name order, sorted again only when an entry
// joined or left: a page then costs a look at its own VMs. The pointers are
// followed only under the registry lock while its generation stands, so
// every one is a linked entry. Lock order: the registry lock, then this.
ObjectMutex g_sortedLock = PTHREAD_MUTEX_INITIALIZER;
struct SortedRegistry {
    bool valid = false;
    uint64_t generation = 0;
    std::vector<VmNode *> byName;
} g_sorted GUARDED_BY(g_sortedLock);

void SortRegistry() REQUIRES(GetVmListHead()->lock, g_sortedLock)
{
    g_sorted.byName.clear();
    g_sorted.byName.reserve(VM_LIST_MAX);
    for (VmNode *n = GetVmListHead()->next; n != nullptr; n = n->next) {
        g_sorted.byName.push_back(n);
    }
    std::sort(g_sorted.byName.begin(), g_sorted.byName.end(),
              [](const VmNode *a, const VmNode *b) { return std::strncmp(a->name, b->name, VM_NAME_LEN) < 0; });
    g_sorted.generation = RegistryGeneration();
    g_sorted.valid = true;
}

}  // namespace

bool IsHostStateRequest(const MsgHeadInfo &head, const uint8_t *body)
{
    return head.bufLen >= UPG_EXT_TAG_SIZE && std::memcmp(body, UPG_TAG_HOST_STATE, UPG_EXT_TAG_SIZE) == 0;
}

void ServeHostState(ClientConn &client, const MsgHeadInfo &request, const uint8_t *body)
{
    UpgStateRequest req{};
    if (request.bufLen >= sizeof(req)) {
        std::memcpy(&req, body, sizeof(req));
    }
    if (request.bufLen < sizeof(req) || request.bufLen != sizeof(req) + req.afterLen || req.afterLen > VM_NAME_MAX ||
        req.part > UPG_STATE_VMS || (req.part == UPG_STATE_DAEMON && req.afterLen != 0)) {
        UPG_LOG("host state request of %u bytes refused", request.bufLen);
        (void)ClientWriteHead(client, request, HOST_RESULT_FAIL);
        return;
    }
    // The name the last page ended with; the body's buffer holds a NUL past its bytes.
    std::string_view after(reinterpret_cast<const char *>(body) + sizeof(req), req.afterLen);
    StateRow rows[UPG_STATE_PAGE_VMS_MAX];   // at most a reply's worth, from the first VM after `after`
    size_t count = 0;
    size_t total = 0;
    bool moreAfterRows = false;
    {
        // A sort of the list when its members changed, else a copy of the
        // page's few: no more than a discovery pass does under this lock.
        ObjectLockGuard registry(GetVmListHead());
        MutexGuard sorted(&g_sortedLock);
        if (!g_sorted.valid || g_sorted.generation != RegistryGeneration()) {
            SortRegistry();
        }
        const auto &byName = g_sorted.byName;
        total = byName.size();
        auto it = byName.end();
        if (req.part == UPG_STATE_VMS) {
            it = std::upper_bound(byName.begin(), byName.end(), after, [](std::string_view name, const VmNode *n) {
                return name.compare(std::string_view(n->name, strnlen(n->name, VM_NAME_LEN))) < 0;
            });
        }
        for (; it != byName.end() && count < UPG_STATE_PAGE_VMS_MAX; ++it) {
            const VmNode *n = *it;
            StateRow &row = rows[count++];
            std::memcpy(row.name, n->name, sizeof(row.name));
            row.name[VM_NAME_FIELD - 1] = '\0';
            row.channel = n->fd.load() >= 0 ? 1 : 0;
            row.state = n->upgradeFlag.load();
        }
        moreAfterRows = it != byName.end();
    }
    struct Reply {
        MsgHeadInfo head;
        uint8_t body[HOST_MSG_BODY_MAX];
    } reply{};
    size_t len = 0;
    if (req.part == UPG_STATE_DAEMON) {
        len = BuildDaemonPage(reply.body, total);
    } else {
        len = BuildVmPage(reply.body, rows, count, moreAfterRows, MonotonicMs());
    }
    reply.head.msgId = request.msgId;
    reply.head.msgType = request.msgType;
    reply.head.bufLen = static_cast<uint32_t>(len);
    reply.head.result = HOST_RESULT_OK;
    if (ClientWrite(client, &reply, static_cast<int>(sizeof(reply.head) + len)) < 0) {
        UPG_LOG("host state reply to fd %d failed", client.fd);
    }
}
