// The handlers of both sides of a guest exchange.
//
// Host requests about one VM (health check and channel fix, automatic-upgrade
// control, upgrade-result query) register the waiting client and ask the
// guest, or answer at once on the guest's behalf. Guest messages are
// dispatched by type: ISO attach and detach, upgrade information, the end of
// an upgrade, and the guest's answers, which the forwarders route back to the
// waiting client through the request registry.
//
// A forwarder writes only through the client's connection (ClientWrite): a
// client that went is never answered, and a newer client that got the same
// descriptor number never sees an answer that was not its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ortavis_upgd_message.h"
#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_vm.h"

inline constexpr size_t CHECK_RESULT_BOUND = 144;
inline constexpr size_t UPGRADE_RESULT_BOUND = 256;
inline constexpr int CHECK_KIND_RESULT = 3;
inline constexpr int CHECK_KIND_AUTO_CTRL = 6;
// Seconds after its last detach that a silent guest counts as not answering.
inline constexpr time_t QUERY_SILENCE_SECONDS = 240;

// ---- Host requests ------------------------------------------------------------

// A request's registry entry while the request is handled: unless the
// request went to the guest (Asked), the entry goes with the scope, so that
// a request answered without the guest leaves nothing a later answer could
// be matched against.
class PendingAnswer {
public:
    PendingAnswer(std::shared_ptr<ClientConn> client, uint64_t seq) : client_(std::move(client)), seq_(seq) {}
    ~PendingAnswer();
    PendingAnswer(const PendingAnswer &) = delete;
    PendingAnswer &operator=(const PendingAnswer &) = delete;
    void Asked() { seq_ = 0; }

private:
    std::shared_ptr<ClientConn> client_;
    uint64_t seq_;
};

// The running VM the request names, with the client registered as waiting
// for its answer (the entry's sequence number in *seq, 0 when none was
// added); null (after the log line) when no VM has that name.
VmRef RegisterRequestForVm(const std::shared_ptr<ClientConn> &client, const MsgHeadInfo *head, const char *vmName,
                           uint64_t *seq);
// Types 3 (mode 0) and 6 (mode non-zero). 0 when the request went to the
// guest or was answered on its behalf; -1 after the failure reply.
int dealHostMsg(const std::shared_ptr<ClientConn> &client, MsgHeadInfo *head, const uint8_t *body, size_t len,
                int mode);
// Type 4, once the caller found the VM and registered the client. 0 when the
// query went to the guest (*asked set) or was answered on its behalf; -1 when
// the caller must send the failure reply. No lock is held across the probe,
// the write to the guest or the pause after it.
int getUpgResult(const MsgHeadInfo &head, VmNode *vm, const char *modName, ClientConn &client, bool *asked);

// ---- Guest answers ------------------------------------------------------------

void sendUpgResult(VmNode *vm, VmMsg *msg);
void checkResult(VmNode *vm, const VmMsg *msg, int fix);
void sendCtrlAutoFlagResult(VmNode *vm, const VmMsg *msg);
// The reply text of a check answer (kind 3) or automatic-upgrade answer
// (kind 6), with the daemon's own findings about the VM's CD-ROM drive for
// kind 3. out (CHECK_RESULT_BOUND bytes) stays empty on failure.
void packingChkRes(const char *vmName, const ModuleInfo *info, char *out, int kind, int fix);
// The upgrade-result text of a guest's type 9 answer, its code first amended
// from the VM's state. Cut where a piece does not fit (logged).
void BuildUpgradeResultBody(const VmNode *vm, ModuleInfo *info, char *out);

// ---- Guest messages -----------------------------------------------------------

// Acts on one guest message. isoName is the ISO file name record 0 asks for
// (types 6 and 7), isoMissing set when there is none.
void dispatchVmMsg(VmMsg *msg, VmNode *vm, const char *isoName, int isoMissing);
// A zero-filled message of the type; with modules, the host's ISO modules in
// its records. Null when it cannot be allocated, or with modules when the
// ISO directory offers none.
std::unique_ptr<VmMsg> PackingMsg(uint32_t msgType, bool withModules);
