// Fuzzes the reading of guest messages: a received VmMsg is parsed with its
// text fields bounded to their fields and its moduleNum clamped, and what it
// yields feeds the reply texts built from guest messages. Only full 568-byte
// messages may be accepted.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ortavis_upgd_wire.h"

namespace {

void Check(bool ok)
{
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VmMsgView view;
    int ret = ParseVmMsg(data, size, &view);
    if (size != sizeof(VmMsg)) {
        Check(ret == VM_MSG_BAD_LENGTH);
        if (size < sizeof(VmMsg)) {
            return 0;
        }
        ret = ParseVmMsg(data, sizeof(VmMsg), &view);   // the first message of a longer read
    }
    Check(ret == VM_MSG_SOUND || ret == VM_MSG_BAD_MODULE_NUM);
    Check(view.usableModules >= 0 && view.usableModules <= VM_MSG_MODULE_MAX);
    Check((ret == VM_MSG_SOUND) == (view.moduleNum == view.usableModules));
    for (const VmModuleText &m : view.module) {
        Check(std::strlen(m.name) <= sizeof(ModuleInfo::name));
        Check(std::strlen(m.curversion) <= sizeof(ModuleInfo::curversion));
        Check(std::strlen(m.tarversion) <= sizeof(ModuleInfo::tarversion));
        Check(std::strlen(m.checkresult) <= sizeof(ModuleInfo::checkresult));
    }

    const char *vmName = view.module[1].name;   // any guest-made text will do
    char body[HOST_MSG_BODY_BUF];
    (void)BuildModuleStateBody(body, sizeof(body), vmName, view.module[0].name, view.module[0].rescode);
    Check(std::strlen(body) < STATE_BODY_BOUND);
    return 0;
}
