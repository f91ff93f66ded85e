// Upgrade runs: upgrade_thread waits on g_upgSem and, for each post, sends
// every VM of one list the upgrade-information message (the host's ISO
// modules), one VM after the other, 20 seconds apart; upgrade_vm answers a
// guest that asks for that message itself.
//
// A run works through a snapshot of its list (InitNode copies) without
// holding any list lock; each VM's registry entry is looked up again, and
// held by a reference, for its turn. Pauses are finished after a signal cut
// them short and end at once when the daemon stops.
#pragma once

#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_vm.h"

inline constexpr int UPG_MODE_ALL = 0;           // the registry
inline constexpr int UPG_MODE_INDEPENDENT = 1;   // g_independentVMListHead
inline constexpr int UPG_MODE_ADDED = 2;         // g_upgVMListAddHead
// Seconds between two VMs that were sent the message.
inline constexpr int UPG_SEND_PAUSE_SECONDS = 20;

void *upgrade_thread(void *arg);
void upgradeVmList(int mode, const VmMsg *msg);
// Sends the asking VM the upgrade information; its outcome is left in the
// VM's upgradeFlag (UPGRADE_CONNECT_TIMEOUT_STATE when it could not be sent).
void upgrade_vm(VmNode *vm);
