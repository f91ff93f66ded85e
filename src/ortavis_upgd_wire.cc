// The wire formats of the management socket and the guest channels; the
// contracts are in the header.
#include "ortavis_upgd_wire.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "ortavis_upgd_log.h"
#include "ortavis_upgd_securec.h"

namespace {

// A body read as the daemon's zero-filled request buffer reads: every byte at
// or past `len` is zero, and nothing past `len` is ever touched.
class BodyReader {
public:
    BodyReader(const uint8_t *body, size_t len) : body_(body), len_(body != nullptr ? len : 0) {}

    uint8_t Byte(size_t off) const { return off < len_ ? body_[off] : 0; }

    uint32_t U32(size_t off) const
    {
        uint8_t raw[sizeof(uint32_t)];
        for (size_t i = 0; i < sizeof(raw); ++i) {
            raw[i] = Byte(off + i);
        }
        uint32_t value;
        std::memcpy(&value, raw, sizeof(value));
        return value;
    }

    int32_t I32(size_t off) const
    {
        uint32_t raw = U32(off);
        int32_t value;
        std::memcpy(&value, &raw, sizeof(value));
        return value;
    }

    // The bounded copy of `count` body bytes at `off` into a text field of
    // destMax bytes, with the copy's own outcome: the text ends at the first
    // NUL, fails when it does not fit, and a negative count always fails.
    int CopyText(size_t off, int32_t count, char *dest, size_t destMax) const
    {
        if (dest == nullptr || destMax == 0 || destMax > kStageMax) {
            return -1;
        }
        if (count < 0) {
            dest[0] = '\0';
            return -1;
        }
        // Staging at most destMax bytes decides the copy exactly as the whole
        // count would: the text fits iff a NUL comes within destMax bytes.
        size_t n = std::min(static_cast<size_t>(count), destMax);
        char stage[kStageMax + 1];
        for (size_t i = 0; i < n; ++i) {
            stage[i] = static_cast<char>(Byte(off + i));
        }
        stage[n] = '\0';
        return strncpy_s(dest, destMax, stage, n) == 0 ? 0 : -1;
    }

private:
    static constexpr size_t kStageMax = UPGRADE_PARA_FIELD;
    const uint8_t *body_;
    size_t len_;
};

// Appends sep and text as one piece; on failure the text goes back to where
// the piece began.
bool AppendPiece(char *out, size_t bound, const char *sep, const char *text)
{
    size_t mark = strnlen(out, bound);
    if (strncat_s(out, bound, sep, bound) != 0 || text == nullptr ||
        strncat_s(out, bound, text, bound) != 0) {
        out[mark] = '\0';
        return false;
    }
    return true;
}

// The first piece of every reply body: the VM name then ":{".
bool StartBody(char *out, size_t bound, const char *vmName)
{
    if (vmName == nullptr || strncpy_s(out, bound, vmName, bound) != 0 ||
        strncat_s(out, bound, ":{", 2) != 0) {
        out[0] = '\0';
        return false;
    }
    return true;
}

// A result or state code as the reply bodies write it: decimal, 3 characters at most.
bool FormatCode(char (&text)[4], int code)
{
    return snprintf_s(text, sizeof(text), sizeof(text) - 1, "%d", code) >= 0;
}

constexpr const char *kHostTypeNames[] = {
    nullptr,
    "UPG_MSG_OPEN_CONNECT",
    "UPG_MSG_CLOSE_CONNECT",
    "UPG_MSG_HEALTH_CHECK",
    "UPG_MSG_GET_UPG_RES",
    "UPG_START_UPGRADE_MSG",
    "UPG_MSG_AUTO_CTRL",
    "UPG_MSG_HOST_STATE",
};

constexpr const char *kVmTypeNames[] = {
    nullptr,
    "UPG_MSG_CHECK_HEALTH",
    "UPG_MSG_FIX_CHANNEL",
    "UPG_MSG_START_UPGRADE",
    "UPG_MSG_ATTACH_ISO_RESP",
    "UPG_MSG_QUERY_UPGRADE_RESULT_REQ",
    "VM_REQ_ATTACH_ISO_MSG",
    "VM_REQ_DETACH_ISO_MSG",
    "VM_REQ_UPGRADE_INFO_MSG",
    "HOST_MSG_GET_UPG_RES",
    "HOST_MSG_HEALTH_CHECK",
    "VM_RSP_FIX_RESULT_MSG",
    "UPG_MSG_CONTROL_UPGRADE_MODE",
    "VM_RSP_AUTO_CTRL",
    "VM_RSP_UPGRADE_STATE_MSG",
};

template <size_t N>
const char *NameOf(const char *const (&names)[N], uint32_t type)
{
    return type < N ? names[type] : nullptr;
}

template <size_t N>
void CopyField(char (&dest)[N], const char *field, size_t fieldSize)
{
    static_assert(N > 0);
    (void)CopyVmText(dest, N, field, fieldSize);
}

}  // namespace

// ---- Names and dumps ---------------------------------------------------------

const char *HostMsgTypeName(uint32_t msgType)
{
    return NameOf(kHostTypeNames, msgType);
}

const char *VmMsgTypeName(uint32_t msgType)
{
    return NameOf(kVmTypeNames, msgType);
}

const char *IsoTypeName(uint8_t type)
{
    return type == ISO_LINUX ? "ISO_LINUX" : "ISO_WINDOWS";
}

namespace {

// The type's name for a dump; a type without one is logged first and shows
// an empty name.
const char *DumpTypeName(const char *name, const char *kind, uint32_t msgType)
{
    if (name == nullptr) {
        UPG_LOG("unknown %s msg type: %d", kind, static_cast<int>(msgType));
        return "";
    }
    return name;
}

}  // namespace

void dumpHostMsg(const MsgHeadInfo *head, const uint8_t *body, size_t bodyAvail)
{
    if (head == nullptr) {
        return;
    }
    const char *name = DumpTypeName(HostMsgTypeName(head->msgType), "host", head->msgType);
    UPG_LOG("hostMsg->head.msgId   = %lu", static_cast<unsigned long>(head->msgId));
    UPG_LOG("hostMsg->head.msgType = %s", name);
    UPG_LOG("hostMsg->head.bufLen  = %d", static_cast<int>(head->bufLen));
    UPG_LOG("hostMsg->head.result  = %d", head->result);
    if (body != nullptr) {
        size_t shown = std::min({static_cast<size_t>(head->bufLen), bodyAvail, size_t{INT_MAX}});
        UPG_LOG("hostMsg->head.buf     = %.*s", static_cast<int>(shown),
                reinterpret_cast<const char *>(body));
    }
}

void dumpVmMsg(const VmMsg *msg)
{
    if (msg == nullptr) {
        return;
    }
    const char *name = DumpTypeName(VmMsgTypeName(msg->msgType), "vm", msg->msgType);
    const ModuleInfo &m = msg->module[0];
    const VmModuleText text = ModuleText(m);

    UPG_LOG("vmMsg->msgId                 = %lu", static_cast<unsigned long>(msg->msgId));
    UPG_LOG("vmMsg->msgType               = %s", name);
    UPG_LOG("vmMsg->moduleNum             = %d", msg->moduleNum);
    UPG_LOG("vmMsg->module[0].rescode     = %d", m.rescode);
    UPG_LOG("vmMsg->module[0].name        = %s", text.name);
    UPG_LOG("vmMsg->module[0].curversion  = %s", text.curversion);
    UPG_LOG("vmMsg->module[0].tarversion  = %s", text.tarversion);
    UPG_LOG("vmMsg->module[0].checkresult = %s", text.checkresult);
    UPG_LOG("vmMsg->module[0].type        = %s", IsoTypeName(m.type));
}

// ---- Host header ---------------------------------------------------------------

bool HostBodyLenAcceptable(const MsgHeadInfo &head)
{
    return head.bufLen <= HOST_MSG_BODY_MAX;
}

MsgHeadInfo MakeHostHead(uint64_t msgId, uint32_t msgType, uint32_t bufLen, int32_t result)
{
    MsgHeadInfo head{};
    head.msgId = msgId;
    head.msgType = msgType;
    head.bufLen = bufLen;
    head.result = result;
    return head;
}

int BuildHostMsg(uint8_t *out, size_t outMax, uint64_t msgId, uint32_t msgType, int32_t result,
                 const void *body, size_t bodyLen)
{
    if (out == nullptr || bodyLen > HOST_MSG_BODY_MAX ||
        (body == nullptr && bodyLen != 0) || outMax < sizeof(MsgHeadInfo) ||
        outMax - sizeof(MsgHeadInfo) < bodyLen || sizeof(MsgHeadInfo) + bodyLen > INT_MAX) {
        return -1;
    }
    MsgHeadInfo head = MakeHostHead(msgId, msgType, static_cast<uint32_t>(bodyLen), result);
    std::memcpy(out, &head, sizeof(head));
    if (bodyLen != 0) {
        std::memcpy(out + sizeof(head), body, bodyLen);
    }
    return static_cast<int>(sizeof(head) + bodyLen);
}

// ---- Request bodies ----------------------------------------------------------

int parseActionBody(const uint8_t *body, size_t len, uint32_t *actionType,
                    char (&vmName)[VM_NAME_FIELD])
{
    (void)memset_s(vmName, sizeof(vmName), 0, sizeof(vmName));
    BodyReader reader(body, len);
    int32_t nameLen = reader.I32(0);
    if (nameLen < 1 || nameLen > VM_NAME_MAX) {
        UPG_LOG("can't get vmName from msgBody. len:%d", nameLen);
        return -1;
    }
    if (reader.CopyText(4, nameLen, vmName, sizeof(vmName)) != 0) {
        UPG_LOG("strncpy_s vmName failed");
        return -1;
    }
    uint32_t action = reader.U32(4 + static_cast<size_t>(nameLen));
    if (action == 0) {
        UPG_LOG("can't get action_type from msgBody.");
        return -1;
    }
    if (actionType != nullptr) {
        *actionType = action;
    }
    return 0;
}

int parseQueryBody(const uint8_t *body, size_t len, char (&vmName)[VM_NAME_FIELD],
                   char (&modName)[MOD_NAME_FIELD])
{
    (void)memset_s(vmName, sizeof(vmName), 0, sizeof(vmName));
    (void)memset_s(modName, sizeof(modName), 0, sizeof(modName));
    BodyReader reader(body, len);
    // 128 passes this check; such a name then fails the copy into its 128-byte
    // field unless it holds a NUL, and a negative length fails the copy too.
    int32_t nameLen = reader.I32(0);
    if (nameLen == 0 || nameLen > static_cast<int32_t>(VM_NAME_FIELD)) {
        UPG_LOG("can't get vmName from msgBody.");
        return -1;
    }
    if (reader.CopyText(4, nameLen, vmName, sizeof(vmName)) != 0) {
        UPG_LOG("strncpy_s vmName failed");
        return -1;
    }
    size_t modLenOff = 4 + static_cast<size_t>(nameLen);
    int32_t modLen = reader.I32(modLenOff);
    if (modLen == 0 || modLen > MOD_NAME_MAX) {
        UPG_LOG("can't get modName from msgBody.");
        return -1;
    }
    if (reader.CopyText(modLenOff + 4, modLen, modName, sizeof(modName)) != 0) {
        UPG_LOG("strncpy_s modName failed");
        return -1;
    }
    return 0;
}

int parseControlBody(const uint8_t *body, size_t len, UpgCtrlBody *ctrl)
{
    if (ctrl == nullptr) {
        return -1;
    }
    (void)memset_s(ctrl, sizeof(*ctrl), 0, sizeof(*ctrl));
    BodyReader reader(body, len);
    ctrl->actionType = reader.I32(0);
    ctrl->intervalTime = reader.I32(4);
    ctrl->paraLen = reader.I32(8);
    // A negative length passes this check and fails the copy below.
    if (ctrl->paraLen == 0 || ctrl->paraLen > static_cast<int32_t>(UPGRADE_PARA_MAX)) {
        UPG_LOG("get para length %d, maybe more than %d", ctrl->paraLen,
                static_cast<int>(UPGRADE_PARA_FIELD));
        return -1;
    }
    if (reader.CopyText(12, ctrl->paraLen, ctrl->para, sizeof(ctrl->para)) != 0) {
        UPG_LOG("strncpy_s upgrade_para failed");
        return -1;
    }
    return 0;
}

// ---- Reply bodies -----------------------------------------------------------

namespace {

// Appends before · code · after for a code standing where the guest's own
// answer would; on failure out keeps the text it had.
int AppendStateCode(char *out, size_t bound, const char *before, int code, const char *after)
{
    char codeText[4];
    size_t mark = strnlen(out, bound);
    if (!FormatCode(codeText, code) || !AppendPiece(out, bound, before, codeText) ||
        strncat_s(out, bound, after, strlen(after)) != 0) {
        out[mark] = '\0';
        return REPLY_PIECE_CODE;
    }
    return 0;
}

}  // namespace

int BuildModuleStateBody(char *out, size_t outMax, const char *vmName, const char *modName,
                         int code)
{
    if (out == nullptr || outMax == 0) {
        return REPLY_PIECE_OUT;
    }
    size_t bound = std::min(STATE_BODY_BOUND, outMax);
    out[0] = '\0';
    if (!StartBody(out, bound, vmName)) {
        return REPLY_PIECE_VM_NAME;
    }
    if (!AppendPiece(out, bound, "", modName)) {
        return REPLY_PIECE_MOD_NAME;
    }
    return AppendStateCode(out, bound, ",0.0.0.0,", code, ",0.0.0.0}");
}

int BuildStateCodeBody(char *out, size_t outMax, const char *vmName, int code)
{
    if (out == nullptr || outMax == 0) {
        return REPLY_PIECE_OUT;
    }
    size_t bound = std::min(STATE_BODY_BOUND, outMax);
    out[0] = '\0';
    if (!StartBody(out, bound, vmName)) {
        return REPLY_PIECE_VM_NAME;
    }
    return AppendStateCode(out, bound, "", code, "}");
}

// ---- VM messages ----------------------------------------------------------------

size_t VmTextLen(const char *field, size_t fieldSize)
{
    return field != nullptr ? strnlen(field, fieldSize) : 0;
}

int CopyVmText(char *dest, size_t destMax, const char *field, size_t fieldSize)
{
    if (dest == nullptr || destMax == 0) {
        return -1;
    }
    size_t n = VmTextLen(field, fieldSize);
    if (n >= destMax) {
        dest[0] = '\0';
        return -1;
    }
    if (n != 0) {
        std::memcpy(dest, field, n);
    }
    dest[n] = '\0';
    return 0;
}

VmModuleText ModuleText(const ModuleInfo &m)
{
    VmModuleText t{};
    t.rescode = m.rescode;
    CopyField(t.name, m.name, sizeof(m.name));
    CopyField(t.curversion, m.curversion, sizeof(m.curversion));
    CopyField(t.tarversion, m.tarversion, sizeof(m.tarversion));
    CopyField(t.checkresult, m.checkresult, sizeof(m.checkresult));
    t.type = m.type;
    return t;
}
