// Host-request handlers, the forwarders of guest answers and the dispatch of
// guest messages.
#include "ortavis_upgd_handlers.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <new>

#include "ortavis_upgd.h"
#include "ortavis_upgd_deadline.h"
#include "ortavis_upgd_drive.h"
#include "ortavis_upgd_iso.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_probe.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_state.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_upgrade.h"
#include "ortavis_upgd_wire.h"

namespace {

constexpr int kQueryWritePauseUs = 200 * 1000;
constexpr size_t kCheckResultMax = 8;   // longest check result the daemon amends

std::unique_ptr<VmMsg> NewVmMsg()
{
    return std::unique_ptr<VmMsg>(new (std::nothrow) VmMsg{});
}

// The connection of the client waiting for the answer to msgId about vm;
// null after the forwarder's lookup line.
std::shared_ptr<ClientConn> WaitingClient(const char *forwarder, uint64_t msgId, const VmNode *vm)
{
    std::shared_ptr<ClientConn> conn;
    ObjectLockGuard registry(&g_clientListLock);
    if (takeMsgNode(&conn, msgId, vm) != 0) {
        UPG_LOG("%s getMsgNode fd failed, messID %lu", forwarder, static_cast<unsigned long>(msgId));
        return nullptr;
    }
    return conn;
}

// Header and text body to the client. The write's result.
int WriteReply(ClientConn &client, uint64_t msgId, uint32_t msgType, int32_t result, const char *body)
{
    uint8_t out[HOST_HEAD_LEN + HOST_MSG_BODY_BUF];
    int len = BuildHostMsg(out, sizeof(out), msgId, msgType, result, body, std::strlen(body));
    return len < 0 ? -1 : ClientWrite(client, out, len);
}

// Appends one piece (its separator, then at most fieldSize characters of
// field) within bound; false, with out as it was, when it does not fit.
bool AppendPiece(char *out, size_t bound, const char *separator, const char *field, size_t fieldSize)
{
    size_t before = std::strlen(out);
    if (strncat_s(out, bound, separator, std::strlen(separator)) == 0 &&
        strncat_s(out, bound, field, strnlen(field, fieldSize)) == 0) {
        return true;
    }
    out[before] = '\0';
    return false;
}

}  // namespace

// ---- Host requests -----------------------------------------------------------------

PendingAnswer::~PendingAnswer()
{
    if (seq_ != 0 && client_ != nullptr) {
        ObjectLockGuard registry(&g_clientListLock);
        dropMsgNode(*client_, seq_);
    }
}

VmRef RegisterRequestForVm(const std::shared_ptr<ClientConn> &client, const MsgHeadInfo *head, const char *vmName,
                           uint64_t *seq)
{
    *seq = 0;
    VmRef vm;
    {
        ObjectLockGuard registry(GetVmListHead());
        vm = VmRef(findVmByName(GetVmListHead(), vmName));
    }
    if (!vm) {
        UPG_LOG("can't find vm by name : %s", vmName);
        return vm;
    }
    ObjectLockGuard registry(&g_clientListLock);
    *seq = addMsgNode(client, head, vm.get(), vm->name);
    return vm;
}

int dealHostMsg(const std::shared_ptr<ClientConn> &client, MsgHeadInfo *head, const uint8_t *body, size_t len,
                int mode)
{
    auto failureReply = [&] {
        UPG_LOG("send dealHostMsg result to ctrld, fd=%d", client->fd);
        (void)ClientWriteHead(*client, *head, HOST_RESULT_FAIL);
        return -1;
    };
    uint32_t actionType = 0;
    char vmName[VM_NAME_FIELD] = {0};
    if (parseActionBody(body, len, &actionType, vmName) != 0) {
        return failureReply();
    }
    uint64_t seq = 0;
    VmRef vm = RegisterRequestForVm(client, head, vmName, &seq);
    if (!vm) {
        return failureReply();
    }
    PendingAnswer pending(client, seq);
    if (vm->upgradeFlag.load() == UPGRADE_RUNNING_STATE) {
        return vmUpgradeState(*client, vm.get(), *head, "none") < 0 ? failureReply() : 0;
    }
    std::unique_ptr<VmMsg> msg = NewVmMsg();
    if (msg == nullptr) {
        UPG_LOG("dealHostMsg malloc failed");
        return failureReply();
    }
    msg->msgId = head->msgId;
    if (mode != 0) {
        msg->msgType = UPG_MSG_CONTROL_UPGRADE_MODE;
        msg->module[0].rescode = static_cast<int32_t>(actionType);
    } else if (actionType == 1 || actionType == 2) {
        msg->msgType = actionType == 1 ? UPG_MSG_CHECK_HEALTH : UPG_MSG_FIX_CHANNEL;
    } else {
        UPG_LOG("check type is not support");
        return failureReply();
    }
    if (pingVmGuestAgent(vm->name, PING_MODE_ONCE) != 1) {
        return vmConnectTimeOut(*client, vm.get(), head->msgType, nullptr, head->msgId) < 0 ? failureReply() : 0;
    }
    UPG_LOG("send to vm : %s", vm->name);
    pending.Asked();   // before the write: the guest may answer before it returns
    if (WriteVmMsg(vm.get(), msg.get()) < 0) {
        UPG_LOG("write msg to %s failed.", vm->name);
        ObjectLockGuard registry(&g_clientListLock);
        dropMsgNode(*client, seq);
        return failureReply();
    }
    return 0;
}

int getUpgResult(const MsgHeadInfo &head, VmNode *vm, const char *modName, ClientConn &client, bool *asked)
{
    *asked = false;
    std::unique_ptr<VmMsg> msg = NewVmMsg();
    if (msg == nullptr) {
        UPG_LOG("getUpgResult malloc failed");
        return -1;
    }
    msg->msgType = UPG_MSG_QUERY_UPGRADE_RESULT_REQ;
    msg->moduleNum = 1;
    msg->msgId = head.msgId;
    ModuleInfo &wanted = msg->module[0];
    if (strncpy_s(wanted.name, sizeof(wanted.name), modName, sizeof(wanted.name) - 1) != 0) {
        UPG_LOG("strncpy_s modName failed");
        return -1;
    }
    int count = ScanModuleIsos(g_chISORealPath, msg.get());
    if (count != 1 && count != 2) {
        UPG_LOG("unexpected module count: %d", count);
        return -1;
    }
    msg->moduleNum = count;
    // The probe may take its whole time-out: no lock is held across it, so
    // the status reset, a run and every other request about this VM go on.
    // The state is looked at once the probe has answered.
    bool answers = pingVmGuestAgent(vm->name, PING_MODE_ONCE) == 1;
    if (answers && vm->upgradeFlag.load() != UPGRADE_RUNNING_STATE) {
        *asked = true;
        int ret = WriteVmMsg(vm, msg.get());
        usleep(kQueryWritePauseUs);
        if (ret < 0) {
            UPG_LOG("write UPG_MSG_QUERY_UPGRADE_RESULT_REQ to vm failed");
            *asked = false;
            return -1;
        }
        return 0;
    }
    int code = UPGRADE_PENDING_STATE;
    const int64_t detached = vm->detachTime.load();   // 0: never
    if (!answers && (detached == 0 || MonotonicSeconds() - detached > QUERY_SILENCE_SECONDS)) {
        code = UPGRADE_CONNECT_TIMEOUT_STATE;
    }
    vmModuleUpgradeState(client, vm, head, modName, code);
    return 0;
}

// ---- Guest answers -----------------------------------------------------------------

void BuildUpgradeResultBody(const VmNode *vm, ModuleInfo *info, char *out)
{
    int32_t state = vm->upgradeFlag.load();
    bool differ = std::memcmp(info->curversion, info->tarversion, sizeof(info->curversion)) != 0;
    if (state == UPGRADE_PENDING_STATE && differ && info->rescode != 1) {
        info->rescode = UPGRADE_PENDING_STATE;
        UPG_LOG("change vm rescode to UPGRADE_PENDING_STATE");
    } else if ((state == UPGRADE_ATTACH_REFUSED_STATE || state == UPGRADE_CONNECT_TIMEOUT_STATE) && differ) {
        info->rescode = state;
    }
    char code[16] = {0};
    (void)snprintf_s(code, sizeof(code), sizeof(code) - 1, "%d", static_cast<int>(info->rescode));
    out[0] = '\0';
    const struct {
        const char *separator;
        const char *field;
        size_t size;
        const char *failure;
    } pieces[] = {
        {"", vm->name, sizeof(vm->name), "strncpy_s tmp failed"},
        {":{", info->name, sizeof(info->name), "strncpy_s name failed"},
        {",", info->curversion, sizeof(info->curversion), "strncpy_s curversion failed"},
        {",", code, sizeof(code), "snprintf_s rescode failed"},
        {",", info->tarversion, sizeof(info->tarversion), "strncpy_s tarversion failed"},
        {"", "}", 1, "strncpy_s tarversion failed"},
    };
    for (const auto &p : pieces) {
        if (!AppendPiece(out, UPGRADE_RESULT_BOUND, p.separator, p.field, p.size)) {
            UPG_LOG("%s", p.failure);
            return;
        }
    }
}

void sendUpgResult(VmNode *vm, VmMsg *msg)
{
    KeepModuleReport(vm->name, msg);   // as the guest sent it, answered or not
    std::shared_ptr<ClientConn> client = WaitingClient("sendUpgResult", msg->msgId, vm);
    if (client == nullptr) {
        return;
    }
    char body[UPGRADE_RESULT_BOUND] = {0};
    BuildUpgradeResultBody(vm, &msg->module[0], body);
    if (WriteReply(*client, msg->msgId, UPG_MSG_GET_UPG_RES, HOST_RESULT_OK, body) < 0) {
        UPG_LOG("sendUpgResult to ctrld failed");
        return;
    }
    UPG_LOG("sendUpgResult to ctrld: %s, fd=%d", body, client->fd);
}

void packingChkRes(const char *vmName, const ModuleInfo *info, char *out, int kind, int fix)
{
    out[0] = '\0';
    // One look at the drive serves both findings: where the CD-ROM sits, and
    // (only when it sits on hdb) what the drive script says of its medium.
    int status = -1;
    int ret = RunCdromCheck(vmName, &status);
    if (ret == -2) {
        UPG_LOG("packingChkRes: seccmd_run_argset failed");
    }
    if (ret != 0) {
        return;
    }
    bool notOnHdb = status == 1;
    int drive = -1;
    if (status == 0) {
        char source[UPGD_PATH_MAX];
        drive = RunDriveScript(vmName, source);
    } else {
        UPG_LOG("CheckCdromName failed");
    }
    char result[sizeof(info->checkresult) + 4] = {0};
    size_t len = strnlen(info->checkresult, sizeof(info->checkresult));
    std::memcpy(result, info->checkresult, len);
    if (kind == CHECK_KIND_RESULT && (notOnHdb || drive == 1)) {
        if (len > kCheckResultMax) {
            UPG_LOG("packingChkRes info->checkresult:%d invalid", static_cast<int>(static_cast<signed char>(result[0])));
            return;
        }
        if (fix != 0) {
            if (len > 0) {
                result[len - 1] = '2';
            }
        } else {
            bool had9 = std::strchr(result, '9') != nullptr;
            size_t place = len - 1;
            if (result[0] != '0') {
                result[len] = ',';
                place = len + 1;
            }
            if (drive == 1) {
                result[place] = '4';
            } else if (!had9) {
                result[place] = '9';
            } else {
                result[len] = '\0';
            }
        }
    }
    if (strncpy_s(out, CHECK_RESULT_BOUND, vmName, CHECK_RESULT_BOUND - 1) != 0) {
        UPG_LOG("strncpy_s vmName failed");
        out[0] = '\0';
        return;
    }
    if (!AppendPiece(out, CHECK_RESULT_BOUND, ":{", "", 0)) {
        UPG_LOG("strncpy_s vmName failed");
        return;
    }
    if (!AppendPiece(out, CHECK_RESULT_BOUND, "", result, sizeof(result)) ||
        !AppendPiece(out, CHECK_RESULT_BOUND, "", "}", 1)) {
        UPG_LOG("strncpy_s checkresult failed");
    }
}

void checkResult(VmNode *vm, const VmMsg *msg, int fix)
{
    std::shared_ptr<ClientConn> client = WaitingClient("checkResult", msg->msgId, vm);
    if (client == nullptr) {
        return;
    }
    char body[CHECK_RESULT_BOUND] = {0};
    packingChkRes(vm->name, &msg->module[0], body, CHECK_KIND_RESULT, fix);
    UPG_LOG("send checkResult to ctrld : %s, fd=%d", body, client->fd);
    if (WriteReply(*client, msg->msgId, UPG_MSG_HEALTH_CHECK, HOST_RESULT_OK, body) < 0) {
        UPG_LOG("send to client checkResult failed");
        (void)ClientWriteHead(*client, MakeHostHead(msg->msgId, UPG_MSG_HEALTH_CHECK, 0, 0), HOST_RESULT_FAIL);
    }
}

void sendCtrlAutoFlagResult(VmNode *vm, const VmMsg *msg)
{
    std::shared_ptr<ClientConn> client = WaitingClient("sendCtrlAutoFlagResult", msg->msgId, vm);
    if (client == nullptr) {
        return;
    }
    char body[CHECK_RESULT_BOUND] = {0};
    packingChkRes(vm->name, &msg->module[0], body, CHECK_KIND_AUTO_CTRL, 0);
    UPG_LOG("send to client sendCtrlAutoFlagResult : %s, fd=%d", body, client->fd);
    if (WriteReply(*client, msg->msgId, UPG_MSG_AUTO_CTRL, HOST_RESULT_OK, body) < 0) {
        UPG_LOG("send to client sendCtrlAutoFlagResult failed");
        (void)ClientWriteHead(*client, MakeHostHead(msg->msgId, UPG_MSG_AUTO_CTRL, 0, 0), HOST_RESULT_FAIL);
    }
}

// ---- Guest messages ----------------------------------------------------------------

std::unique_ptr<VmMsg> PackingMsg(uint32_t msgType, bool withModules)
{
    std::unique_ptr<VmMsg> msg = NewVmMsg();
    if (msg == nullptr) {
        UPG_LOG("%s malloc error", "PackingMsg");
        return nullptr;
    }
    msg->msgType = msgType;
    if (!withModules) {
        return msg;
    }
    int filled = LoadIsoModules(msg.get());
    if (filled <= 0) {
        return nullptr;
    }
    msg->moduleNum = filled;
    KeepOffer(msg.get());
    return msg;
}

void dispatchVmMsg(VmMsg *msg, VmNode *vm, const char *isoName, int isoMissing)
{
    switch (msg->msgType) {
    case VM_REQ_ATTACH_ISO_MSG:
        dealAttachIsoReq(isoMissing, vm, msg, isoName);
        break;
    case VM_REQ_DETACH_ISO_MSG:
        UPG_LOG("msg type : VM_REQ_DETACH_ISO_MSG");
        if (isoMissing != 0) {
            UPG_LOG("iso parameters not exists");
        } else if (vm->upgradeFlag.load() != UPGRADE_ATTACH_REFUSED_STATE) {
            detachIso(vm, isoName);
        }
        break;
    case VM_REQ_UPGRADE_INFO_MSG:
        UPG_LOG("msg type : VM_REQ_UPGRADE_INFO_MSG");
        upgrade_vm(vm);
        break;
    case HOST_MSG_GET_UPG_RES:
        UPG_LOG("msg type : HOST_MSG_GET_UPG_RES");
        sendUpgResult(vm, msg);
        break;
    case HOST_MSG_HEALTH_CHECK:
        UPG_LOG("msg type : UPG_MSG_HEALTH_CHECK");
        checkResult(vm, msg, 0);
        break;
    case VM_RSP_FIX_RESULT_MSG:
        UPG_LOG("msg type : VM_RSP_FIX_RESULT_MSG");
        checkResult(vm, msg, 1);
        break;
    case VM_RSP_AUTO_CTRL:
        UPG_LOG("msg type : VM_RSP_AUTO_CTRL");
        sendCtrlAutoFlagResult(vm, msg);
        break;
    case VM_RSP_UPGRADE_STATE_MSG:
        UPG_LOG("msg type : VM_RSP_UPGRADE_STATE_MSG");
        KeepModuleReport(vm->name, msg);
        NoteOutcome(vm->name, UPG_OUTCOME_REPORTED);
        if (IsoAttached(vm)) {
            detachIso(vm, nullptr);
        }
        postResetVmStatus(vm);
        break;
    default:
        UPG_LOG("can't do cmd type");
        break;
    }
}
