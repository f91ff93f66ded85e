// Fuzzes the management request parsers: the header and the three body
// kinds, both as the daemon holds a request (a zero-filled 525-byte buffer
// and bufLen) and over the exact input bytes, where any read past the end is
// caught by the sanitizer. What a parser accepts must be within its bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "ortavis_upgd_wire.h"

namespace {

void ParseAll(const uint8_t *body, size_t len)
{
    uint32_t action = 0;
    char vmName[VM_NAME_FIELD];
    if (parseActionBody(body, len, &action, vmName) == 0) {
        Check(strnlen(vmName, sizeof(vmName)) <= static_cast<size_t>(VM_NAME_MAX) && action != 0);
    }

    char modName[MOD_NAME_FIELD];
    if (parseQueryBody(body, len, vmName, modName) == 0) {
        size_t n = strnlen(vmName, sizeof(vmName));
        size_t m = strnlen(modName, sizeof(modName));
        Check(n <= static_cast<size_t>(VM_NAME_MAX) && m <= static_cast<size_t>(MOD_NAME_MAX));
    }

    UpgCtrlBody ctrl;
    if (parseControlBody(body, len, &ctrl) == 0) {
        size_t n = strnlen(ctrl.para, sizeof(ctrl.para));
        Check(ctrl.paraLen >= 1 && ctrl.paraLen <= static_cast<int32_t>(UPGRADE_PARA_MAX));
        Check(n <= static_cast<size_t>(ctrl.paraLen));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The bytes as a whole message: header, then the body as far as it came.
    MsgHeadInfo head;
    if (size >= sizeof(head) && (std::memcpy(&head, data, sizeof(head)), HostBodyLenAcceptable(head))) {
        uint8_t body[HOST_MSG_BODY_BUF] = {};
        size_t have = size - sizeof(MsgHeadInfo);
        size_t n = head.bufLen < have ? head.bufLen : have;
        std::memcpy(body, data + sizeof(MsgHeadInfo), n);
        ParseAll(body, head.bufLen);

        uint8_t reply[HOST_HEAD_LEN + HOST_MSG_BODY_MAX];
        Check(BuildHostMsg(reply, sizeof(reply), head.msgId, head.msgType, 0, body, n) ==
              static_cast<int>(HOST_HEAD_LEN + n));
    }
    // The bytes as a body with nothing after it.
    ParseAll(data, size);
    return 0;
}
