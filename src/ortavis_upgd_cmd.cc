// Management command dispatch and upgrade control.
#include "ortavis_upgd_cmd.h"

#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ortavis_upgd_handlers.h"
#include "ortavis_upgd_conf.h"
#include "ortavis_upgd_log.h"
#include "ortavis_upgd_probe.h"
#include "ortavis_upgd_seccmd.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_state.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_vm.h"
#include "ortavis_upgd_wire.h"

namespace {

constexpr int kPauseMs = 100;

// Type 4: the upgrade result of one module of one VM.
void GetUpgResultRequest(const std::shared_ptr<ClientConn> &client, MsgHeadInfo *head, const uint8_t *body)
{
    auto failureReply = [&] {
        UPG_LOG("send getUpgResult result to ctrld, fd=%d", client->fd);
        (void)ClientWriteHead(*client, *head, HOST_RESULT_FAIL);
    };
    char vmName[VM_NAME_FIELD] = {0};
    char modName[MOD_NAME_FIELD] = {0};
    if (parseQueryBody(body, head->bufLen, vmName, modName) != 0) {
        return failureReply();
    }
    uint64_t seq = 0;
    VmRef vm = RegisterRequestForVm(client, head, vmName, &seq);
    if (!vm) {
        return failureReply();
    }
    PendingAnswer pending(client, seq);
    int32_t state = vm->upgradeFlag.load();
    int ret = 0;
    if (state == UPGRADE_RUNNING_STATE) {
        ret = vmUpgradeState(*client, vm.get(), *head, modName);
    } else if (state == UPGRADE_CONNECT_TIMEOUT_STATE) {
        ret = vmConnectTimeOut(*client, vm.get(), UPG_MSG_GET_UPG_RES, modName, head->msgId);
    } else {
        bool asked = false;
        ret = getUpgResult(*head, vm.get(), modName, *client, &asked) != 0 ? -1 : 0;
        if (asked) {
            pending.Asked();
        }
    }
    if (ret < 0) {
        failureReply();
    }
}

// ---- Upgrade control -------------------------------------------------------------------

// Asks for a run, or adds the named VMs to the run under way. The outcome code.
int32_t TriggerUpgrade()
{
    int running = 0;
    {
        ObjectLockGuard send(&g_upgMsgSendLock);
        running = GetUpgRunning();
    }
    if (running == 0) {
        UPG_LOG("[doUpgCtrl] trigger upgrade...");
        UpgSemPost();
        return UPG_CTRL_OK;
    }
    bool named = false;
    {
        ObjectLockGuard ind(GetIndependentVmList());
        if (GetIndependentVmList()->count == 0) {
            UPG_LOG("upgrade is already running");
            return UPG_CTRL_RUNNING;
        }
        named = true;
        ObjectLockGuard add(GetUpgVmAddList());
        for (int i = 0; i < GetIndependentVmList()->count && i < VM_LIST_MAX; ++i) {
            VmNode *vm = GetIndependentVmList()->slots[i];
            if (vm == nullptr) {
                continue;
            }
            bool listed = false;
            for (int k = 0; k < VM_LIST_MAX && GetUpgVmAddList()->slots[k] != nullptr && !listed; ++k) {
                listed = GetUpgVmAddList()->slots[k] == vm;
            }
            if (listed) {
                UPG_LOG("vm already exist in upgrade list : %s", vm->name);
            } else if (AppendUpgVmAddNode(vm) == 0) {
                UPG_LOG("add vm to sub independent upgrade list : %s", vm->name);
            }
        }
    }
    {
        ObjectLockGuard send(&g_upgMsgSendLock);
        running = GetUpgRunning();
    }
    if (running != 0 && named) {
        return UPG_CTRL_OK;   // the run under way takes them
    }
    UPG_LOG("[doUpgCtrl] trigger upgrade...");
    UpgSemPost();
    return UPG_CTRL_OK;
}

// The timer and the stored interval change together: of two changes at
// once, the later one sets both.
ObjectMutex g_intervalLock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

void InitTimer(unsigned int seconds)
{
    UPG_LOG("--> InitTimer");
    itimerval timer{};
    timer.it_value.tv_sec = seconds;
    timer.it_interval.tv_sec = seconds;
    (void)setitimer(ITIMER_REAL, &timer, nullptr);
    NoteInterval(seconds / 60U);
    UPG_LOG("<-- InitTimer");
}

void UninitTimer()
{
    UPG_LOG("--> UninitTimer");
    itimerval timer{};
    (void)setitimer(ITIMER_REAL, &timer, nullptr);
    NoteInterval(0);
    UPG_LOG("<-- UninitTimer");
}

void InitUpgradeInterval()
{
    // Under the lock of a request's change: a request before it has stored
    // its interval, which is what is read; a request after it sets its own.
    MutexGuard setting(&g_intervalLock);
    UPG_LOG("--> InitUpgradeInterval");
    long minutes = 0;
    if (ReadUpgradeConf(&minutes) != 0) {
        UPG_LOG("Open config file failed");
        return;
    }
    if (minutes > 0) {
        UPG_LOG("run upgrade interval %ld minutes", minutes);
        InitTimer(static_cast<unsigned>(minutes) * 60U);
        return;
    }
    UPG_LOG("conf interTime len is 0");
}

namespace {

// "no": the periodic upgrade of all VMs, switched on or off, or one run now.

int32_t ControlAllVms(const UpgCtrlBody &ctrl)
{
    UPG_LOG("upgrade para is no");
    if (ctrl.actionType == 1 && ctrl.intervalTime == 0) {
        return TriggerUpgrade();
    }
    if (ctrl.actionType == 1) {
        if (ctrl.intervalTime < UPG_INTERVAL_MIN || ctrl.intervalTime > UPG_INTERVAL_MAX) {
            UPG_LOG("interval_time %d out of range [%d, %d]", ctrl.intervalTime, UPG_INTERVAL_MIN, UPG_INTERVAL_MAX);
            return UPG_CTRL_BAD_FIELDS;
        }
        {
            LogPeerScope daemon(nullptr);   // a change of the daemon's settings: its own line, never left out
            UPG_LOG("run upgrade interval %d minutes", ctrl.intervalTime);
        }
        {
            // Stored first: an interval that would not survive a restart
            // is refused, and the timer stays as it was.
            MutexGuard setting(&g_intervalLock);
            if (WriteUpgradeConf(ctrl.intervalTime) != 0) {
                UPG_LOG("interval %d not stored, timer left as it was", ctrl.intervalTime);
                return UPG_CTRL_BAD_PARA;
            }
            InitTimer(static_cast<unsigned>(ctrl.intervalTime) * 60U);
        }
        if (GetUpgRunning() == 0) {
            UpgSemPost();
            (void)SleepUnlessStopping(kPauseMs);
        }
        return UPG_CTRL_OK;
    }
    if (ctrl.actionType == 2 && ctrl.intervalTime > 0) {
        UPG_LOG("upgrade interval should be 0");
        return UPG_CTRL_BAD_FIELDS;
    }
    if (ctrl.actionType == 2) {
        {
            LogPeerScope daemon(nullptr);
            UPG_LOG("shutdown upgrade");
        }
        {
            MutexGuard setting(&g_intervalLock);
            if (WriteUpgradeConf(0) != 0) {
                UPG_LOG("interval 0 not stored, timer left as it was");
                return UPG_CTRL_BAD_PARA;
            }
            UninitTimer();
        }
        (void)SleepUnlessStopping(kPauseMs);
        return UPG_CTRL_OK;
    }
    // Nothing was done: the client is not told otherwise.
    UPG_LOG("action_type not supported");
    return UPG_CTRL_BAD_FIELDS;
}

// Name without its leading and trailing blanks (blanks inside stay).
std::string TrimBlanks(const char *name)
{
    std::string s(name);
    size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// A list of VM names: the running ones become the independent list.
int32_t ControlNamedVms(const UpgCtrlBody &ctrl)
{
    if (ctrl.intervalTime != 0) {
        UPG_LOG("do not support partial vms polling");
        return UPG_CTRL_BAD_FIELDS;
    }
    // Looked up and checked before the list is locked: the registry lock
    // comes before the list's, and the domain checks run commands.
    std::vector<VmRef> found;
    const char *text = ctrl.para;
    while (*text != '\0') {
        size_t segment = std::strcspn(text, ",");
        if (segment != 0) {
            char name[VM_NAME_FIELD] = {0};
            if (strncpy_s(name, sizeof(name), text, segment < sizeof(name) - 1 ? segment : sizeof(name) - 1) != 0) {
                UPG_LOG("strncpy_s vmname failed");
            }
            std::string trimmed = TrimBlanks(name);
            VmRef vm;
            {
                ObjectLockGuard registry(GetVmListHead());
                vm = VmRef(findVmByName(GetVmListHead(), trimmed.c_str()));
            }
            if (vm && CheckVmRunning(vm->name)) {
                found.push_back(std::move(vm));
            } else {
                UPG_LOG("cloud not find vmname %s", name);
            }
        }
        text += segment;
        if (*text == ',') {
            ++text;
        }
    }
    {
        ObjectLockGuard ind(GetIndependentVmList());
        for (const VmRef &vm : found) {
            (void)AppendIndependentVmNode(vm.get());
        }
    }
    if (found.empty()) {
        return UPG_CTRL_NO_VM;
    }
    if (ctrl.actionType == 1) {
        return TriggerUpgrade();
    }
    if (ctrl.actionType == 2) {
        UPG_LOG("upgrade upgradePra should be no");
        return UPG_CTRL_BAD_FIELDS;
    }
    UPG_LOG("action_type not supported");
    return UPG_CTRL_BAD_FIELDS;
}

}  // namespace

// ---- Requests ------------------------------------------------------------------------

int dealWithCmdMsg(const std::shared_ptr<ClientConn> &client, HostRequest &request)
{
    MsgHeadInfo &head = request.head;
    uint8_t *body = request.body;
    if (request.code != READ_HOST_MSG_OK) {
        UPG_LOG("read msg from client failed, ret=%d", request.code);
        UPG_LOG("send dealWithCmdMsg result to ctrld");
        (void)ClientWriteHead(*client, head, request.code);
        return CMD_MSG_FAILED;
    }
    if (head.msgType == UPG_MSG_HOST_STATE && IsHostStateRequest(head, body)) {
        // From memory alone: no discovery pass, no guest, no command.
        ServeHostState(*client, head, body);
        return CMD_MSG_DONE;
    }
    GetRunningVmList();
    switch (head.msgType) {
    case UPG_MSG_OPEN_CONNECT:
        UPG_LOG("[dealWithCmdMsg] msg type : UPG_MSG_OPEN_CONNECT");
        break;
    case UPG_MSG_CLOSE_CONNECT:
        UPG_LOG("[dealWithCmdMsg] msg type : UPG_MSG_CLOSE_CONNECT");
        return CMD_MSG_CLOSED;
    case UPG_MSG_HEALTH_CHECK:
        UPG_LOG("[dealWithCmdMsg] msg type : UPG_MSG_HEALTH_CHECK");
        (void)dealHostMsg(client, &head, body, head.bufLen, 0);
        break;
    case UPG_MSG_GET_UPG_RES:
        UPG_LOG("[dealWithCmdMsg] msg type : UPG_MSG_GET_UPG_RES");
        GetUpgResultRequest(client, &head, body);
        break;
    case UPG_START_UPGRADE_MSG:
        UPG_LOG("[dealWithCmdMsg] msg type : UPG_START_UPGRADE_MSG");
        doUpgCtrl(client, &head, body, head.bufLen);
        break;
    case UPG_MSG_AUTO_CTRL:
        UPG_LOG("[dealWithCmdMsg] msg type : UPG_MSG_AUTO_CTRL");
        (void)dealHostMsg(client, &head, body, head.bufLen, 2);
        break;
    default:
        UPG_LOG("[dealWithCmdMsg] can't do cmd type");
        break;
    }
    return CMD_MSG_DONE;
}

void doUpgCtrl(const std::shared_ptr<ClientConn> &client, MsgHeadInfo *head, const uint8_t *body, size_t len)
{
    auto answer = [&](int32_t code) {
        UPG_LOG("send doUpgCtrl result to ctrld, fd=%d", client->fd);
        (void)ClientWriteHead(*client, *head, code);
    };
    UpgCtrlBody ctrl;
    if (parseControlBody(body, len, &ctrl) != 0) {
        return answer(UPG_CTRL_BAD_PARA);
    }
    uint64_t seq = 0;
    {
        ObjectLockGuard registry(&g_clientListLock);
        seq = addMsgNode(client, head, nullptr, nullptr);
    }
    PendingAnswer pending(client, seq);   // answered here, never by a guest
    if (ctrl.para[0] == '\0') {
        UPG_LOG("upgrade_para length is 0");
        return answer(UPG_CTRL_BAD_PARA);
    }
    {
        ObjectLockGuard ind(GetIndependentVmList());
        ClearIndependentVmList();
    }
    answer(std::strcmp(ctrl.para, "no") == 0 ? ControlAllVms(ctrl) : ControlNamedVms(ctrl));
}

// ---- Domain state ------------------------------------------------------------

bool CheckVmRunning(const char *vmName)
{
    if (checkCmdParam(vmName) != 0) {
        UPG_LOG("The vmname is invalid");
        return false;
    }
    char *domstate[] = {const_cast<char *>("virsh"), const_cast<char *>("domstate"), const_cast<char *>(vmName),
                        nullptr};
    char *running[] = {const_cast<char *>("grep"), const_cast<char *>("running"), nullptr};
    int status = -1;
    if (seccmd_run_argset(nullptr, nullptr, &status, domstate, running, nullptr) != 0) {
        UPG_LOG("CheckVmRunning: seccmd_run_argset failed");
    }
    return status == 0;
}
