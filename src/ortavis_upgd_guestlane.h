// The guest lane: the handling of guest messages, apart from the task pool
// that serves the management clients.
//
// The command loop reads each guest message and queues it here. Every VM has
// a queue of its own, by name (a channel that is replaced keeps it), handled
// by one lane worker at a time in the order the guest sent its messages; the
// queues of different VMs are handled in parallel. A VM whose messages wait
// gets an idle worker, or a new one when none is idle, up to
// GUEST_LANE_WORKERS_MAX less the GUEST_LANE_ANSWER_WORKERS kept for answers
// that clients wait on (those go to the front of the ready list); past that
// it waits on the ready list, in the order VMs became ready, for the first
// worker done with its VM. A worker idle for
// a while ends, but for the first few. So a guest whose handling is slow (a
// patient probe of its silent agent, a hanging virsh) delays only its own
// later messages, as long as fewer slow guests than the bound wait at once:
// never another guest's, and never a client's, since clients keep the pool
// and the lane never waits for it. A crowd of guests asking at once is
// served GUEST_LANE_WORKERS_MAX at a time, with as many threads and no more.
// One VM's handling never runs twice at once, so neither does its patient
// probe.
//
// A VM may have GUEST_QUEUE_MAX messages waiting; the command loop reads no
// more of its channel meanwhile (the guest's own writes wait in its socket),
// and the lane wakes the loop when there is room again. The loop learns which
// queues are full once a pass, from FullGuestQueues (nothing to copy and no
// lock while none is), and from QueueGuestMsg when a message fills one.
//
// Lock: the lane lock guards the queues, the list of VMs ready for a worker,
// the names of the full queues and the worker counts. It is never held while
// a message is handled, and it is taken after any other (only the log's own
// locks come after it).
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_vm.h"

inline constexpr int GUEST_QUEUE_MAX = 16;
// Most lane workers at once. A worker's time goes mostly to waiting: for a
// host command (at most SECCMD_RUNNING_MAX run at once), an attach's pause
// of two seconds, a patient probe. Four times the command slots keep those
// slots busy while workers wait out pauses and probes; a crowd of guests
// beyond that waits its turn instead of costing a thread each.
inline constexpr int GUEST_LANE_WORKERS_MAX = 64;
// Of those, the last few start only for a guest's answer that a client waits
// on, and end once it is handled: a crowd of guests never keeps a client's
// answer waiting for a worker.
inline constexpr int GUEST_LANE_ANSWER_WORKERS = 8;
inline constexpr int GUEST_LANE_WORKERS_KEPT = 2;
inline constexpr int GUEST_LANE_IDLE_MS = 30 * 1000;

// Handles one message of the VM (the lane holds a reference meanwhile).
using GuestMsgHandler = void (*)(VmNode *vm, VmMsg *msg);
// Called, on a lane worker, when a VM's full queue has room again.
using GuestRoomCallback = void (*)();

// By main, before the command loop starts. 0, or -1 after its log line.
int StartGuestLane(GuestMsgHandler handler, GuestRoomCallback onRoom);
// Queues a copy of the message for the VM, taking a reference on the entry.
// 0; 1 when the message filled the VM's queue (its channel is to be read no
// further until the lane tells there is room); -1 (logged) when the lane is
// stopped, the VM's queue is full, or memory runs out: the message is then
// dropped.
int QueueGuestMsg(VmNode *vm, const VmMsg &msg);
// The names of the VMs with GUEST_QUEUE_MAX messages waiting, sorted, into
// *names; by the command loop once a pass. Usually none: then nothing is
// copied and no lock is taken.
void FullGuestQueues(std::vector<std::string> *names);
// Drops the queued messages and waits, until the absolute CLOCK_REALTIME
// deadline, for the workers to finish the message in hand. The number of
// workers still busy then: they are abandoned, and the lane's state stays in
// place for them.
int StopGuestLane(const timespec &deadline);
