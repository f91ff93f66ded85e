// Drive attach and detach: the upgrade ISO into a VM's CD-ROM on hdb at its
// guest's request, and out again at its request or after its upgrade report.
//
// Commands: the drive lookup, the drive script and every media change run
// through the command runner as argument vectors, never through a shell, and
// every name that reaches one (VM name, ISO directory, ISO file name) passes
// checkCmdParam first. No lock is held while a command runs.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "ortavis_upgd.h"
#include "ortavis_upgd_msg.h"

struct VmNode;

// The product's drive script: always in the default directory.
inline constexpr const char *DRIVE_SCRIPT_PATH = "/opt/patch/programfiles/ortavis/gethdbiso.sh";
inline constexpr const char *DRIVE_SCRIPT_VERB = "check_hdb_cdrom";
inline constexpr int CDROM_DEV_LEN = 16;

// Answers to an attach request (record 0's rescode).
inline constexpr int32_t ATTACH_ISO_OK = 0;
inline constexpr int32_t ATTACH_ISO_FAILED = 1;
inline constexpr int32_t ATTACH_ISO_REFUSED = 2;

// One run of the lookup of the VM's CD-ROM on hdb in its live description:
// 0 with *status its exit status (0: on hdb, 1: not), -1 for a name that
// must not reach a command, -2 when the lookup cannot be run.
int RunCdromCheck(const char *vmName, int *status);
// Looks for the VM's CD-ROM on hdb in its live description, twice if need be. 0 with cdromDev
// (16 bytes) = "hdb"; otherwise non-zero (the lookup's exit status, or -1).
int CheckCdromName(const char *vmName, char *cdromDev);
// The drive script's answer about the VM's CD-ROM: its exit status (1: the
// drive holds a medium), or -1 when it cannot be run.
int nonDiskVmIsoPath(const char *vmName);
// The same, with the drive's source (the script's first line) in source.
int DriveIsoSource(const char *vmName, char (&source)[UPGD_PATH_MAX]);
// The drive script alone, for a caller that has found the CD-ROM on hdb
// itself: the same answer and source as DriveIsoSource.
int RunDriveScript(const char *vmName, char (&source)[UPGD_PATH_MAX]);
// A guest's attach request: isoMissing set when no ISO name could be
// composed. Answers the guest with req, changed into UPG_MSG_ATTACH_ISO_RESP,
// except where a name is missing or unsafe or the guest agent is silent; a
// name that the ISO list does not offer now is refused (code 2).
void dealAttachIsoReq(int isoMissing, VmNode *vm, VmMsg *req, const char *isoName);
void attachIso(VmNode *vm, const char *isoName, VmMsg *req);
// Takes the ISO out of the VM's drive: with a name, the guest's detach
// request; without, the daemon's own eject after an upgrade report (only
// when the daemon attached one to the VM). Either ejects only once the drive
// script answered that the drive holds a file of the ISO directory: a medium
// from elsewhere, or any medium when the script fails, stays. The guest gets
// no answer.
void detachIso(VmNode *vm, const char *isoName);

// ---- Attach records and their deadline ---------------------------------------------
// The daemon records each ISO it put into a drive by VM name, so the record
// outlives a registry entry that a hang-up replaces; the guest's report, a
// detach, or the deadline ends it. All three run on other threads than the
// attach: g_attachLock (in the source) guards the records, never held across
// a command.

// True when the daemon's ISO is recorded in the VM's drive.
bool IsoAttached(const VmNode *vm);
// The same by name, with the ISO's file name and when it went in (monotonic milliseconds).
bool AttachedIso(const char *vmName, std::string *iso, int64_t *since);
// At start-up: every running VM whose drive holds a file of the ISO
// directory is recorded as attached, its deadline counted from now. Only the
// VMs whose live description names the directory have their drive looked at
// (the drive script run); the others cost a read of their description.
void RecordAttachedAtStart();
// Ejects the daemon's ISO from each VM whose deadline passed (an hour
// without the guest's report), sets the VM idle and logs it; a failed eject
// is tried again on the next call.
void EjectOverdueIsos();
// How often EjectOverdueIsos should run, in seconds.
int AttachCheckSeconds();
