// The VM command loop: one thread listens to every guest channel at once,
// keeps the registry in line with the running VMs (a discovery pass before
// each poll), reads each guest message as it arrives and queues it on the
// guest lane, where dealWithVmMsg dispatches it.
//
// The loop never blocks on one channel and never sleeps on its behalf. Each
// channel is read without blocking into a buffer of its own until a whole
// 568-byte message is there; a message not completed within
// VM_MSG_COMPLETE_MS is dropped with a log line and the channel goes the way
// of a hang-up (its stream is out of step), as does a channel at its end of
// file. A channel whose VM has a full queue on the lane is not read until
// the lane has room again. At most VM_MSGS_PER_PASS messages are taken from
// one channel per pass, so a flooding guest does not hold up the others.
//
// Locks: the registry lock for the poll set, lookups and hang-ups; never
// across a poll, a read or the lane.
#pragma once

#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_vm.h"

inline constexpr int VM_MSG_COMPLETE_MS = 1000;
inline constexpr int VM_MSGS_PER_PASS = 8;

// Thread routine: keeps the registry in line with the running VMs, polls
// every open channel (and the stop event), reads each message and queues it
// on the guest lane. A hung-up channel, one that reports only an error, or one
// whose message came in pieces too slowly is ended; the next discovery pass
// connects the VM again.
void *dealWithVmCmd(void *arg);
// The guest lane's handler: dispatches the message, with the ISO name record
// 0 asks for (types 6 and 7), as the VM's, logging on the VM's behalf.
void dealWithVmMsg(VmNode *vm, VmMsg *msg);
