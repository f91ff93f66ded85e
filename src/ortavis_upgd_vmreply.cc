// Replies on a guest's behalf: what the daemon tells a management client
// about a VM whose guest cannot answer now, because the VM upgrades (codes 3,
// 5 and pending module states) or its guest agent is silent (13). Pool
// workers call these while handling a client's request; each reply is one
// write under the client's write lock, and no VM lock is held across it.
#include "ortavis_upgd_vm.h"

#include <cstring>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_message.h"
#include "ortavis_upgd_securec.h"
#include "ortavis_upgd_wire.h"

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
