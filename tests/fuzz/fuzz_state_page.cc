// Arbitrary bytes as the body of host state replies, read by the client
// library's page reader into one state, as upgClientGetHostState does.
// Input: pieces, each 4 bytes of the part asked for (0 the daemon, 1 a page
// of VMs; any other is refused), 2 bytes of the body's
// length (cut to what is left), then the body. What the reader keeps must be
// terminated text and counts in range, whatever it was given.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "ortavis_upgclient.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    UpgClientHostState state{};
    while (size >= 6) {
        uint32_t part = 0;
        uint16_t len = 0;
        std::memcpy(&part, data, sizeof(part));
        std::memcpy(&len, data + 4, sizeof(len));
        data += 6;
        size -= 6;
        size_t n = len < size ? len : size;
        unsigned next = 0;
        size_t before = state.vmCount;
        // A refused page changes nothing of what was kept.
        Check(upgClientParseStatePage(data, n, part, &state, &next) == 0 || state.vmCount == before);
        data += n;
        size -= n;
    }
    Check(std::strlen(state.daemon.version) < sizeof(state.daemon.version) && state.offerCount <= UPG_STATE_OFFER_MAX);
    for (size_t i = 0; i < state.vmCount; ++i) {
        const UpgClientVmState &vm = state.vms[i];
        Check(std::strlen(vm.name) != 0 && vm.moduleCount <= VM_MSG_MODULE_MAX &&
              (i == 0 || std::strcmp(state.vms[i - 1].name, vm.name) < 0));
    }
    std::free(state.vms);
    return 0;
}
