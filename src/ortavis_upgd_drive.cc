// Drive attach and detach: a guest's ISO into its VM's CD-ROM on hdb and out
// again.
//
// Pool workers run these for the guest messages the handlers dispatch here:
// an attach request (only for a file the ISO list offers now), a detach
// request, and the daemon's own eject after an upgrade report. The daemon
// records each ISO it put into a drive by VM name (g_attachLock), so a
// registry entry replaced after a hang-up still gets its ISO ejected; the
// status reset thread records at start-up the drives that already hold an
// ISO of the ISO directory, and ejects the ISO of a guest that sent no
// report for an hour. Only the daemon's own media are ever ejected.
//
// The drive lookup, the product's drive script and every media change run
// through the command runner as argument vectors, never through a shell, and
// every name that reaches one passes checkCmdParam first. No lock is held
// while a command runs; the VM's flags are atomics, and the answer to the
// guest is written under its writeLock.
#include "ortavis_upgd_drive.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "ortavis_upgd.h"
#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_iso.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_probe.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_state.h"
#include "ortavis_upgd_vm.h"

namespace {

constexpr const char *kIsoSuffix = ".iso";
// An attached ISO waits this long for its guest's report. The tests build a
// daemon with a shorter one, to reach it in seconds.
#ifndef UPGD_ATTACH_DEADLINE_SECONDS
#define UPGD_ATTACH_DEADLINE_SECONDS 3600
#endif
constexpr int kAttachDeadlineSeconds = UPGD_ATTACH_DEADLINE_SECONDS;
constexpr int kAttachAttempts = 3;
constexpr int kRetryPauseMs = 1000;
constexpr int kAnswerPauseMs = 2000;

// Writes one whole answer to the guest: req becomes UPG_MSG_ATTACH_ISO_RESP
// with one record and its code; every other byte goes back as it came.
void AnswerAttach(VmNode *vm, VmMsg *req, int32_t rescode)
{
    req->msgType = UPG_MSG_ATTACH_ISO_RESP;
    req->moduleNum = 1;
    req->module[0].rescode = rescode;
    (void)WriteVmMsg(vm, req);
}

// The checks before an ISO name goes into a command line, each with its
// line. True when all pass.
bool IsoCommandNamesSafe(const VmNode *vm, const char *isoName)
{
    if (checkCmdParam(vm->name) != 0) {
        UPG_LOG("The vmname is invalid");
        return false;
    }
    if (checkCmdParam(g_chISORealPath) != 0) {
        UPG_LOG("The g_chISORealPath is invalid");
        return false;
    }
    if (checkCmdParam(isoName) != 0) {
        UPG_LOG("iso_name is invalid");
        return false;
    }
    if (isoName[0] == '\0' || (std::strstr(isoName, kIsoSuffix) != nullptr && std::strstr(isoName, "..") != nullptr)) {
        UPG_LOG("Check ISO file name failed");
        return false;
    }
    return true;
}

enum class Media { Attach, Detach };

// The media change of one attempt as the line that is logged, and the
// argument vector that is run. `retry` adds --force.
struct MediaCommand {
    char line[1024];   // the command as logged: the last attempt's
    char isoPath[1024];
    char *argv[8];
    int Format(Media media, bool retry, const char *vmName, const char *cdromDev, const char *isoName);
    bool Run();
    int RunAttempts(Media media, const char *vmName, const char *cdromDev, const char *isoName);
};

int MediaCommand::Format(Media media, bool retry, const char *vmName, const char *cdromDev, const char *isoName)
{
    const char *format = nullptr;
    if (media == Media::Attach) {
        format = retry ? "virsh change-media %s %s --force %s/%s 1>/dev/null 2>&1"
                       : "virsh change-media %s %s %s/%s 1>/dev/null 2>&1";
    } else {
        format = retry ? "virsh change-media %s %s %s/%s --eject --force 1>/dev/null 2>&1"
                       : "virsh change-media %s %s %s/%s --eject 1>/dev/null 2>&1";
    }
    if (snprintf_s(line, sizeof(line), sizeof(line) - 1, format, vmName, cdromDev, g_chISORealPath, isoName) < 0 ||
        snprintf_s(isoPath, sizeof(isoPath), sizeof(isoPath) - 1, "%s/%s", g_chISORealPath, isoName) < 0) {
        UPG_LOG("snprintf_s : mountIsoBuf snprintf_s failed");
        return -1;
    }
    int n = 0;
    argv[n++] = const_cast<char *>("virsh");
    argv[n++] = const_cast<char *>("change-media");
    argv[n++] = const_cast<char *>(vmName);
    argv[n++] = const_cast<char *>(cdromDev);
    if (media == Media::Attach && retry) {
        argv[n++] = const_cast<char *>("--force");
    }
    argv[n++] = isoPath;
    if (media == Media::Detach) {
        argv[n++] = const_cast<char *>("--eject");
        if (retry) {
            argv[n++] = const_cast<char *>("--force");
        }
    }
    argv[n] = nullptr;
    return 0;
}

bool MediaCommand::Run()
{
    int status = -1;
    return seccmd_run_argset(nullptr, nullptr, &status, argv, nullptr) == 0 && status == 0;
}

// Up to kAttachAttempts attempts, each failed one followed by a pause and
// the next forced. 1: one succeeded; 0: all failed; -1: no command could be
// formed.
int MediaCommand::RunAttempts(Media media, const char *vmName, const char *cdromDev, const char *isoName)
{
    if (Format(media, false, vmName, cdromDev, isoName) != 0) {
        return -1;
    }
    for (int attempt = 1; attempt <= kAttachAttempts; ++attempt) {
        if (Run()) {
            return 1;
        }
        (void)SleepUnlessStopping(kRetryPauseMs);
        if (Format(media, true, vmName, cdromDev, isoName) != 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

int RunCdromCheck(const char *vmName, int *status)
{
    if (checkCmdParam(vmName) != 0) {
        UPG_LOG("The vmname is invalid");
        return -1;
    }
    char hdbBuf[256] = {0};
    if (snprintf_s(hdbBuf, sizeof(hdbBuf), sizeof(hdbBuf) - 1, "%s/%s.xml", VM_RUN_DIR, vmName) < 0) {
        UPG_LOG("snprintf_s : hdb_buf snprintf_s failed");
        return -1;
    }
    char *cdromBlock[] = {const_cast<char *>("grep"), const_cast<char *>("-A"), const_cast<char *>("11"),
                          const_cast<char *>("device='cdrom'"), hdbBuf, nullptr};
    char *onHdb[] = {const_cast<char *>("grep"), const_cast<char *>("hdb"), nullptr};
    *status = -1;
    return seccmd_run_argset(nullptr, nullptr, status, cdromBlock, onHdb, nullptr) == 0 ? 0 : -2;
}

int CheckCdromName(const char *vmName, char *cdromDev)
{
    if (vmName == nullptr || cdromDev == nullptr) {
        return -1;
    }
    for (int attempt = 1;; ++attempt) {
        int status = -1;
        int ret = RunCdromCheck(vmName, &status);
        if (ret == -2) {
            UPG_LOG("CheckCdromName: seccmd_run_argset failed");
        }
        if (ret != 0) {
            return -1;
        }
        if (status == 0) {
            return strncpy_s(cdromDev, CDROM_DEV_LEN, "hdb", CDROM_DEV_LEN - 1) == 0 ? 0 : -1;
        }
        if (attempt == 2) {
            return status;
        }
    }
}

int DriveIsoSource(const char *vmName, char (&source)[UPGD_PATH_MAX])
{
    source[0] = '\0';
    if (checkCmdParam(vmName) != 0) {
        UPG_LOG("The vmname is invalid");
        return -1;
    }
    char cdromDev[CDROM_DEV_LEN] = {0};
    if (CheckCdromName(vmName, cdromDev) != 0) {
        UPG_LOG("CheckCdromName failed");
        return -1;
    }
    return RunDriveScript(vmName, source);
}

int RunDriveScript(const char *vmName, char (&source)[UPGD_PATH_MAX])
{
    source[0] = '\0';
    if (checkCmdParam(vmName) != 0) {
        UPG_LOG("The vmname is invalid");
        return -1;
    }
    char *script[] = {const_cast<char *>("bash"), const_cast<char *>(DRIVE_SCRIPT_PATH), const_cast<char *>(vmName),
                      const_cast<char *>(DRIVE_SCRIPT_VERB), nullptr};
    char *rawOut = nullptr;
    int status = -1;
    int ret = seccmd_run_argset(&rawOut, nullptr, &status, script, nullptr);
    MallocText out(rawOut);
    if (ret != 0) {
        UPG_LOG("nonDiskVmIsoPath: seccmd_run_argset failed");
        return -1;
    }
    if (out) {
        out.get()[strcspn(out.get(), "\n")] = '\0';   // the source is one line
        (void)strncpy_s(source, sizeof(source), out.get(), sizeof(source) - 1);
    }
    UPG_LOG("hdb cdrom source : %s, ret=%d", source, status);
    return status;
}

int nonDiskVmIsoPath(const char *vmName)
{
    char source[UPGD_PATH_MAX];
    return DriveIsoSource(vmName, source);
}

// ---- Attach records -------------------------------------------------------------------

namespace {

// What the daemon put into a drive, by VM name, and since when it waits for
// the guest's report: the VM's attach mark, set by an attach that succeeded
// and cleared only by a detach or eject that did. Kept apart from the
// registry entry, which a hang-up replaces while the VM runs on with the ISO
// in its drive.
// The deadline counts from `from` (the attach or the latest report); `sinceMs`
// and `iso` say what went in and when, for the host state request.
struct AttachRecord {
    int64_t from;    // monotonic seconds
    int64_t sinceMs;   // monotonic milliseconds, for the ISO's age
    std::string iso;
};
ObjectMutex g_attachLock = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, AttachRecord> g_attached GUARDED_BY(g_attachLock);

// A new record for an ISO put in (iso set), or the deadline of the VM's
// record renewed (iso null).
void RecordAttach(const char *vmName, const char *iso)
{
    const int64_t now = MonotonicSeconds();
    MutexGuard guard(&g_attachLock);
    AttachRecord &rec = g_attached[vmName];
    rec.from = now;
    if (iso != nullptr || rec.sinceMs == 0) {
        rec.sinceMs = MonotonicMs();
        rec.iso = iso != nullptr ? iso : "";
    }
}

void ForgetAttach(const char *vmName)
{
    MutexGuard guard(&g_attachLock);
    g_attached.erase(vmName);
}

// A drive source that is a file of the ISO directory: the daemon's own medium.
bool IsOwnMedium(const char *source)
{
    size_t dirLen = std::strlen(g_chISORealPath);
    return std::strncmp(source, g_chISORealPath, dirLen) == 0 && source[dirLen] == '/' &&
           source[dirLen + 1] != '\0' && std::strchr(source + dirLen + 1, '/') == nullptr;
}

// Takes the daemon's own medium out of the VM's drive, only once the drive
// script answered that the drive holds a file of the ISO directory: a medium
// from elsewhere stays, and so does whatever the drive holds when the script
// fails or gives no answer. With isoName, the guest's detach (the named
// change with its retries); without, the daemon's own eject. 0 when the
// drive holds none of the daemon's media afterwards (taken out, empty, or
// another medium), -1 when it may still.
int EjectOwnMedium(const char *vmName, const char *isoName)
{
    char source[UPGD_PATH_MAX];
    int drive = DriveIsoSource(vmName, source);
    if (drive == 0) {
        UPG_LOG("vm %s: the drive is empty: nothing to eject", vmName);
        return 0;
    }
    if (drive != 1) {
        UPG_LOG("vm %s: the drive script gave no answer (%d): the drive is left as it is", vmName, drive);
        return -1;
    }
    if (!IsOwnMedium(source)) {
        UPG_LOG("vm %s holds %s, not from the ISO directory: left in", vmName, source);
        return 0;
    }
    char cdromDev[] = "hdb";
    if (isoName != nullptr) {
        MediaCommand cmd;
        int ran = cmd.RunAttempts(Media::Detach, vmName, cdromDev, isoName);
        if (ran == 1) {
            UPG_LOG("detach iso success: %s\n", cmd.line);
        } else if (ran == 0) {
            UPG_LOG("try detach iso 3 times already failed. cmd:%s", cmd.line);
        }
        return ran == 1 ? 0 : -1;
    }
    char *eject[] = {const_cast<char *>("virsh"), const_cast<char *>("change-media"), const_cast<char *>(vmName),
                     cdromDev, const_cast<char *>("--eject"), nullptr};
    int status = -1;
    if (seccmd_run_argset(nullptr, nullptr, &status, eject, nullptr) != 0) {
        UPG_LOG("detachIso: seccmd_run_argset failed");
        return -1;
    }
    return status == 0 ? 0 : -1;
}

}  // namespace

bool IsoAttached(const VmNode *vm)
{
    MutexGuard guard(&g_attachLock);
    return g_attached.contains(vm->name);
}

bool AttachedIso(const char *vmName, std::string *iso, int64_t *since)
{
    MutexGuard guard(&g_attachLock);
    auto it = g_attached.find(vmName);
    if (it == g_attached.end()) {
        return false;
    }
    *iso = it->second.iso;
    *since = it->second.sinceMs;
    return true;
}

// ---- Attach and detach ------------------------------------------------------------------

void dealAttachIsoReq(int isoMissing, VmNode *vm, VmMsg *req, const char *isoName)
{
    UPG_LOG("msg type : VM_REQ_ATTACH_ISO_MSG");
    if (isoMissing != 0 || vm == nullptr || req == nullptr) {
        UPG_LOG("iso parameters not exists");
        return;
    }
    // Only what the ISO list offers now: never another file, a link out of
    // the directory or a name a guest made up.
    if (!IsoOffered(isoName)) {
        UPG_LOG("iso %s is not offered: attach refused", isoName != nullptr ? isoName : "");
        CountEvent(StateCount::kRefusals);
        AnswerAttach(vm, req, ATTACH_ISO_REFUSED);
        return;
    }
    ClearVmIsoPath(vm);
    int drive = nonDiskVmIsoPath(vm->name);
    vm->cdromCheckRet.store(drive);
    if (drive == 1) {
        vm->upgradeFlag.store(UPGRADE_ATTACH_REFUSED_STATE);
        CountEvent(StateCount::kRefusals);
        NoteOutcome(vm->name, UPG_OUTCOME_REFUSED);
        AnswerAttach(vm, req, ATTACH_ISO_REFUSED);
        return;
    }
    attachIso(vm, isoName, req);
}

void attachIso(VmNode *vm, const char *isoName, VmMsg *req)
{
    if (isoName == nullptr) {
        UPG_LOG("iso_name is null");
        return;
    }
    if (!IsoCommandNamesSafe(vm, isoName)) {
        return;
    }
    if (pingVmGuestAgent(vm->name, PING_MODE_ONCE) != 1) {
        UPG_LOG("attachIso ortavis not running");
        vm->upgradeFlag.store(UPGRADE_CONNECT_TIMEOUT_STATE);
        return;
    }
    char cdromDev[CDROM_DEV_LEN] = {0};
    if (CheckCdromName(vm->name, cdromDev) != 0) {
        UPG_LOG("CheckCdromName failed");
        UPG_LOG("cdromDev is null");
        AnswerAttach(vm, req, ATTACH_ISO_FAILED);
        return;
    }
    MediaCommand cmd;
    int ran = cmd.RunAttempts(Media::Attach, vm->name, cdromDev, isoName);
    if (ran < 0) {
        return;
    }
    if (ran == 1) {
        RecordAttach(vm->name, isoName);
        CountEvent(StateCount::kAttaches);
        // A reset still pending from the guest's last report would undo this upgrade.
        vm->resetTime.store(0);
        setVmState(vm, UPGRADE_RUNNING_STATE);
        (void)SleepUnlessStopping(kAnswerPauseMs);
        AnswerAttach(vm, req, ATTACH_ISO_OK);
        UPG_LOG("attach iso success: %s", cmd.line);
        return;
    }
    (void)SleepUnlessStopping(kAnswerPauseMs);
    AnswerAttach(vm, req, ATTACH_ISO_FAILED);
    CountEvent(StateCount::kFailures);
    UPG_LOG("attach iso failed:%s", cmd.line);
}

void detachIso(VmNode *vm, const char *isoName)
{
    if (vm == nullptr) {
        return;
    }
    vm->detachTime.store(MonotonicSeconds());
    char cdromDev[CDROM_DEV_LEN] = {0};
    if (CheckCdromName(vm->name, cdromDev) != 0) {
        UPG_LOG("CheckCdromName failed");
        return;
    }
    if (isoName == nullptr) {
        if (!IsoAttached(vm)) {
            UPG_LOG("iso_name is null");
            return;
        }
        UPG_LOG("The iso_name is NULL, but isoattachFlag is 1");
        RecordAttach(vm->name, nullptr);   // the deadline counts from the latest report
    } else if (!IsoCommandNamesSafe(vm, isoName)) {
        return;
    }
    if (EjectOwnMedium(vm->name, isoName) == 0) {
        ForgetAttach(vm->name);
        CountEvent(StateCount::kDetaches);
        if (isoName == nullptr) {
            UPG_LOG("detach iso by eject success");
        }
    }
}

// ---- Deadline ---------------------------------------------------------------------------

namespace {

// Sets the VM's state idle, whichever registry entry it has now.
void SetVmIdle(const char *vmName)
{
    VmRef vm;
    {
        ObjectLockGuard registry(GetVmListHead());
        vm = VmRef(findVmByName(GetVmListHead(), vmName));
    }
    if (vm) {
        MutexGuard state(&vm->stateLock);
        vm->resetTime.store(0);
        vm->upgradeFlag.store(UPGRADE_IDLE_STATE);
    }
}

// True while the VM's live description is in the libvirt run directory.
bool VmDescribed(const std::string &name)
{
    std::string path = std::string(VM_RUN_DIR) + "/" + name + ".xml";
    return access(path.c_str(), F_OK) == 0;
}

// The VM names of the live descriptions in the libvirt run directory.
std::vector<std::string> LiveVmNames()
{
    std::vector<std::string> names;
    DIR *dir = opendir(VM_RUN_DIR);
    if (dir == nullptr) {
        return names;
    }
    while (const dirent *entry = readdir(dir)) {
        std::string_view file(entry->d_name);
        if (file.size() > 4 && file.ends_with(".xml") && names.size() < VM_LIST_MAX) {
            names.emplace_back(file.substr(0, file.size() - 4));
        }
    }
    (void)closedir(dir);
    return names;
}

// How much of a live description is searched for the ISO directory, and in
// what pieces. Descriptions are tens of kB; one past the bound is left to
// the drive script.
constexpr size_t kDescriptionSearchMax = 4 << 20;
constexpr size_t kDescriptionChunk = 64 << 10;

// True when the VM's live description may name a file of the ISO directory:
// its bytes hold the directory's path and a slash (a plain search, piece by
// piece), or it could not be searched to its end. False for a description
// without it, or one gone meanwhile (the VM stopped).
bool DescriptionNamesIsoDir(const std::string &name)
{
    const std::string needle = std::string(g_chISORealPath) + "/";
    std::string path = std::string(VM_RUN_DIR) + "/" + name + ".xml";
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.Valid()) {
        return errno != ENOENT;
    }
    std::vector<char> buf(needle.size() + kDescriptionChunk);
    size_t kept = 0;   // the last bytes searched, where a match may begin
    for (size_t total = 0; total < kDescriptionSearchMax;) {
        ssize_t n = read(fd.Get(), buf.data() + kept, kDescriptionChunk);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return n < 0;
        }
        total += static_cast<size_t>(n);
        std::string_view have(buf.data(), kept + static_cast<size_t>(n));
        if (have.find(needle) != std::string_view::npos) {
            return true;
        }
        kept = std::min(have.size(), needle.size() - 1);
        std::memmove(buf.data(), buf.data() + have.size() - kept, kept);
    }
    return true;
}

}  // namespace

void RecordAttachedAtStart()
{
    const std::vector<std::string> names = LiveVmNames();
    int looked = 0;
    for (const std::string &name : names) {
        if (checkCmdParam(name.c_str()) != 0 || !DescriptionNamesIsoDir(name)) {
            continue;
        }
        ++looked;
        char source[UPGD_PATH_MAX];
        if (DriveIsoSource(name.c_str(), source) == 1 && IsOwnMedium(source)) {
            const char *slash = std::strrchr(source, '/');
            RecordAttach(name.c_str(), slash != nullptr ? slash + 1 : source);
            UPG_LOG("vm %s holds %s from before the start: recorded as attached", name.c_str(), source);
        }
    }
    UPG_LOG("start-up: %d of %zu running VMs name the ISO directory, their drives looked at", looked, names.size());
}

void EjectOverdueIsos()
{
    const int64_t now = MonotonicSeconds();
    std::vector<std::string> overdue;
    std::vector<std::string> gone;
    {
        MutexGuard guard(&g_attachLock);
        for (const auto &[name, rec] : g_attached) {
            if (!VmDescribed(name)) {
                gone.push_back(name);
            } else if (now - rec.from >= kAttachDeadlineSeconds) {
                overdue.push_back(name);
            }
        }
    }
    for (const std::string &name : gone) {
        // Its drive went with it: no lookup can reach it any more.
        ForgetAttach(name.c_str());
        UPG_LOG("vm %s no longer runs: its attach record is dropped", name.c_str());
    }
    for (const std::string &name : overdue) {
        UPG_LOG("vm %s sent no upgrade report for %d seconds since its attach: ejecting", name.c_str(),
                kAttachDeadlineSeconds);
        if (EjectOwnMedium(name.c_str(), nullptr) != 0) {
            UPG_LOG("vm %s: eject after the deadline failed, tried again later", name.c_str());
            continue;
        }
        ForgetAttach(name.c_str());
        CountEvent(StateCount::kDetaches);
        SetVmIdle(name.c_str());
        UPG_LOG("vm %s: iso ejected after the deadline, state idle", name.c_str());
    }
}

int AttachCheckSeconds()
{
    return std::clamp(kAttachDeadlineSeconds / 4, 1, 60);
}
