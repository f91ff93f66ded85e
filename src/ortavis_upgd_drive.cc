// Drive attach and detach: a guest's ISO into its VM's CD-ROM on hdb and out
// again.
//
// Pool workers run these for the guest messages the handlers dispatch here:
// an attach request, a detach request, and the daemon's own eject after an
// upgrade report. The drive lookup, the product's drive script
// and every media change run through the command runner as argument vectors,
// never through a shell, and every name that reaches one passes
// checkCmdParam first. No lock is held while a command runs; the VM's flags
// are atomics, and the answer to the guest is written under its writeLock.
#include "ortavis_upgd_drive.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ortavis_upgd.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_probe.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_vm.h"

namespace {

constexpr const char *kIsoSuffix = ".iso";
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
    char line[1024];   // the command as logged
    char isoPath[1024];
    char *argv[8];
    int Format(Media media, bool retry, const char *vmName, const char *cdromDev, const char *isoName);
    bool Run();
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

int nonDiskVmIsoPath(const char *vmName)
{
    if (checkCmdParam(vmName) != 0) {
        UPG_LOG("The vmname is invalid");
        return -1;
    }
    char cdromDev[CDROM_DEV_LEN] = {0};
    if (CheckCdromName(vmName, cdromDev) != 0) {
        UPG_LOG("CheckCdromName failed");
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
    }
    UPG_LOG("hdb cdrom source : %s, ret=%d", out ? out.get() : "", status);
    return status;
}

void dealAttachIsoReq(int isoMissing, VmNode *vm, VmMsg *req, const char *isoName)
{
    UPG_LOG("msg type : VM_REQ_ATTACH_ISO_MSG");
    if (isoMissing != 0 || vm == nullptr || req == nullptr) {
        UPG_LOG("iso parameters not exists");
        return;
    }
    ClearVmIsoPath(vm);
    int drive = nonDiskVmIsoPath(vm->name);
    vm->cdromCheckRet.store(drive);
    if (drive == 1) {
        vm->upgradeFlag.store(UPGRADE_ATTACH_REFUSED_STATE);
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
    if (cmd.Format(Media::Attach, false, vm->name, cdromDev, isoName) != 0) {
        return;
    }
    for (int attempt = 1; attempt <= kAttachAttempts; ++attempt) {
        if (cmd.Run()) {
            setVmState(vm, UPGRADE_RUNNING_STATE);
            vm->isoattachFlag.store(1);
            (void)SleepUnlessStopping(kAnswerPauseMs);
            AnswerAttach(vm, req, ATTACH_ISO_OK);
            UPG_LOG("attach iso success: %s", cmd.line);
            return;
        }
        (void)SleepUnlessStopping(kRetryPauseMs);
        if (cmd.Format(Media::Attach, true, vm->name, cdromDev, isoName) != 0) {
            return;
        }
    }
    (void)SleepUnlessStopping(kAnswerPauseMs);
    AnswerAttach(vm, req, ATTACH_ISO_FAILED);
    UPG_LOG("attach iso failed:%s", cmd.line);
}

void detachIso(VmNode *vm, const char *isoName)
{
    if (vm == nullptr) {
        return;
    }
    vm->detachTime.store(time(nullptr));
    char cdromDev[CDROM_DEV_LEN] = {0};
    if (CheckCdromName(vm->name, cdromDev) != 0) {
        UPG_LOG("CheckCdromName failed");
        return;
    }
    if (isoName == nullptr) {
        if (vm->isoattachFlag.load() != 1) {
            UPG_LOG("iso_name is null");
            return;
        }
        UPG_LOG("The iso_name is NULL, but isoattachFlag is 1");
        if (nonDiskVmIsoPath(vm->name) != 1) {
            return;
        }
        char *eject[] = {const_cast<char *>("virsh"), const_cast<char *>("change-media"), vm->name, cdromDev,
                         const_cast<char *>("--eject"), nullptr};
        int status = -1;
        if (seccmd_run_argset(nullptr, nullptr, &status, eject, nullptr) != 0) {
            UPG_LOG("detachIso: seccmd_run_argset failed");
            return;
        }
        if (status == 0) {
            vm->isoattachFlag.store(0);
            UPG_LOG("detach iso by eject success");
        }
        return;
    }
    if (!IsoCommandNamesSafe(vm, isoName)) {
        return;
    }
    MediaCommand cmd;
    if (cmd.Format(Media::Detach, false, vm->name, cdromDev, isoName) != 0) {
        return;
    }
    for (int attempt = 1; attempt <= kAttachAttempts; ++attempt) {
        if (cmd.Run()) {
            vm->isoattachFlag.store(0);
            UPG_LOG("detach iso success: %s\n", cmd.line);
            return;
        }
        (void)SleepUnlessStopping(kRetryPauseMs);
        if (cmd.Format(Media::Detach, true, vm->name, cdromDev, isoName) != 0) {
            return;
        }
    }
    UPG_LOG("try detach iso 3 times already failed. cmd:%s", cmd.line);
}
