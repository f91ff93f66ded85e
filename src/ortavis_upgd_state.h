// The host at a glance: what the daemon keeps about itself and its VMs so
// that the host state request (UPG_MSG_HOST_STATE) is answered from memory.
//
// Writers: the guest lane keeps each guest's last module report (its answers
// to upgrade-result queries and its upgrade-state reports); the upgrade
// thread notes the run's progress and each VM's outcome; the drive area
// counts attaches, detaches, failures and refusals; the timer's setters note
// the interval; PackingMsg keeps the ISO offer it read. Reader: a pool
// thread serving the request, which copies a page's VMs (name, channel,
// state) under the registry lock from a list sorted by name that is sorted
// again only when the registry's members change (no more than a discovery
// pass does under that lock), and formats outside it. Each kept table has a
// small lock of its own, taken after the registry lock is released and never
// across a write or command; the sorted list's lock comes after the
// registry lock.
#pragma once

#include <cstdint>
#include <memory>

#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_hoststate.h"

struct ClientConn;

// Keeps the module records of a guest message (moduleNum of them, or record
// 0 alone when moduleNum is 0 and it names a module) as the VM's last
// report, each by module name, with the time now.
void KeepModuleReport(const char *vmName, const VmMsg *msg);
// The outcome of the VM's last upgrade turn (UPG_OUTCOME_*).
void NoteOutcome(const char *vmName, int32_t outcome);
// The offer of an upgrade message: its moduleNum records.
void KeepOffer(const VmMsg *msg);
// The periodic upgrade's interval as the timer was set, 0 when off.
void NoteInterval(uint32_t minutes);

enum class StateCount { kRuns, kAttaches, kDetaches, kFailures, kRefusals };
void CountEvent(StateCount what);

// The run under way: a list of VMs it serves (UPG_RUN_* mode; a list added
// to a run under way extends it), the one served now, and one more done;
// RunEnded when the upgrade thread waits again.
void NoteRunStart(int mode, uint32_t total);
void NoteRunServing(const char *vmName);
void NoteRunServed();
void NoteRunEnded();

// True when a type-7 request carries the host state request's tag; any
// other type-7 message is left unanswered.
bool IsHostStateRequest(const MsgHeadInfo &head, const uint8_t *body);
// Answers a tagged host state request: the daemon's part or a page of VMs,
// or the failure reply for fields that do not hold.
void ServeHostState(ClientConn &client, const MsgHeadInfo &head, const uint8_t *body);

