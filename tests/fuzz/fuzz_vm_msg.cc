// Fuzzes what is read out of a guest's message: a module's text fields,
// each bounded to its field, feed the reply texts built on the guest's
// behalf. Input: the 568-byte message, then the name of the VM it came from
// (up to its first NUL, at most 127 characters, as a VM's name is held).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "ortavis_upgd_vm.h"
#include "ortavis_upgd_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < sizeof(VmMsg)) {
        return 0;
    }
    VmMsg msg;
    std::memcpy(&msg, data, sizeof(msg));
    for (const ModuleInfo &info : msg.module) {
        const VmModuleText m = ModuleText(info);
        Check(std::strlen(m.name) <= sizeof(ModuleInfo::name));
        Check(std::strlen(m.curversion) <= sizeof(ModuleInfo::curversion));
        Check(std::strlen(m.tarversion) <= sizeof(ModuleInfo::tarversion));
        Check(std::strlen(m.checkresult) <= sizeof(ModuleInfo::checkresult));
    }

    char vmName[VM_NAME_LEN] = {};
    std::memcpy(vmName, data + sizeof(VmMsg), std::min(size - sizeof(VmMsg), sizeof(vmName) - 1));

    // The longest name and module name leave room for the rest: each reply
    // is whole, or cut right before a code that does not fit 3 characters.
    const VmModuleText m = ModuleText(msg.module[0]);
    std::string code = std::to_string(m.rescode);
    bool codeFits = code.size() <= 3;
    std::string prefix = std::string(vmName) + ":{";
    char body[HOST_MSG_BODY_BUF];
    Check(BuildModuleStateBody(body, sizeof(body), vmName, m.name, m.rescode) ==
          (codeFits ? 0 : REPLY_PIECE_CODE));
    Check(body == prefix + m.name + (codeFits ? ",0.0.0.0," + code + ",0.0.0.0}" : ""));
    Check(BuildStateCodeBody(body, sizeof(body), vmName, m.rescode) == (codeFits ? 0 : REPLY_PIECE_CODE));
    Check(body == prefix + (codeFits ? code + "}" : ""));
    return 0;
}
