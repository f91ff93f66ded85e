// ISO management: the upgrade ISOs of the ISO directory and their names,
// the product's versions in "version.info", and attaching and detaching an
// ISO to a VM's CD-ROM drive with virsh change-media.
//
// ISO file names: module "-" os ".iso" for the product module "ortavis" (its
// version lies in "version.info"), module "-" os "-" version ".iso" for every
// other module. The stem is the name up to its first '.', split into fields
// at runs of '-'; the version is the text between the last '-' and the last
// '.' of the name. Every file is addressed as "%s/%s" from g_chISORealPath.
//
// The ISO list is rebuilt for each use and emptied again by its user, all
// under the list lock (LoadIsoModules), so two users never mix their nodes.
//
// Commands: the drive lookup, the drive script and every media change run
// through the command runner as argument vectors, never through a shell, and
// every name that reaches one (VM name, ISO directory, ISO file name) passes
// checkCmdParam first. No lock is held while a command runs.
#pragma once

#include <cstdint>
#include <cstdio>

#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_tsa.h"

struct VmNode;
struct IsoNode;

IsoNode *GetIsoList();

inline constexpr const char *PRODUCT_MODULE = "ortavis";
inline constexpr const char *VERSION_FILE_NAME = "version.info";
inline constexpr const char *LINUX_VERSION_KEY = "linuxversion";
inline constexpr const char *WINDOWS_VERSION_KEY = "windowsversion";
// The product's drive script: always in the default directory.
inline constexpr const char *DRIVE_SCRIPT_PATH = "/opt/patch/programfiles/ortavis/gethdbiso.sh";
inline constexpr const char *DRIVE_SCRIPT_VERB = "check_hdb_cdrom";
inline constexpr int ISO_VERSION_BUF = 16;   // a version read from "version.info", 15 characters
inline constexpr int CDROM_DEV_LEN = 16;

// Answers to an attach request (record 0's rescode).
inline constexpr int32_t ATTACH_ISO_OK = 0;
inline constexpr int32_t ATTACH_ISO_FAILED = 1;
inline constexpr int32_t ATTACH_ISO_REFUSED = 2;

// One accepted ISO file.
struct IsoNode {
    ObjectMutex lock;     // the list lock, in the head isoList only
    char name[128];       // file name, at most 127 characters
    char module[32];      // first field of the name
    int8_t type;          // ISO_LINUX or ISO_WINDOWS; 0 while not set
    char isoVersion[32];  // empty when the name carries none
    IsoNode *next GUARDED_BY(GetIsoList()->lock);
};

const char *GetIsoRealPath();
// The list lock: by main before any thread, and at shutdown. 0 or -1.
int InitIsoListLock();
void DestroyIsoListLock();

// ---- ISO names and versions -------------------------------------------------

// The resolved path of "version.info" for key "linuxversion" or
// "windowsversion" (heap text the caller frees), or null after its log line.
MallocText GetVersionFilePath(const char *key);
// Reads the value of `key` from "version.info" into out (16 bytes), cut to
// 15 characters. The file is read in pieces of at most 31 characters; the
// first piece that contains the key ends the search, and only a piece with
// '=' changes out. 0 (also when no piece held the key: out unchanged), -1.
int GetIsoVersion(char *out, const char *key);
// Fills name, type and curversion of `rec` from an ISO file name. 0, or -1
// after "parseModuleIsoName fail" (the record may be partly written).
int parseModuleIsoName(const char *isoName, ModuleInfo *rec);
// The ISO file name that record 0 of a guest's attach or detach request
// means, or null.
MallocText CheckUpgInfo(const ModuleInfo *rec);

// ---- ISO repository -------------------------------------------------------------

// Rebuilds isoList from the ISO directory, newest first; nodes left from
// before are freed. 0, or -1 when the directory cannot be opened.
// REQUIRES: the list lock.
int LoadIsoList() REQUIRES(GetIsoList()->lock);
// Unlinks node from the list; 1 when found, 0 otherwise. Does not free.
// REQUIRES: the list lock (of the list that head starts).
int ClearIsoNode(IsoNode *head, IsoNode *node) REQUIRES(GetIsoList()->lock);
// The offer of the host for an upgrade message: rebuilds the list, copies
// module, version and type of each node into msg's records in list order
// (at most 6; further nodes are not stored) and empties the list, as one
// unit under the list lock. The number of records filled, or -1 when the
// ISO directory cannot be read.
int LoadIsoModules(VmMsg *msg) EXCLUDES(GetIsoList()->lock);
// Fills msg's records, in directory-read order, with the ISOs of the module
// named in record 0: at most 6 (further matches are not stored). The
// number of records filled, or -1 when dirPath is null or cannot be opened.
int ScanModuleIsos(const char *dirPath, VmMsg *msg);

// ---- Upgrade configuration -----------------------------------------------------
// "upgrade.conf" in the ISO directory holds "interval=<minutes>" (0: the
// periodic upgrade is off). It is installed with the product: the daemon
// resolves it before every use and never creates it.

inline constexpr const char *UPGRADE_CONF_NAME = "upgrade.conf";

// Replaces the file's content with "interval=<minutes>".
void WriteUpgradeConf(int minutes);
// The file opened for reading and writing at its start, or null (a file
// that cannot be read is reset to interval 0).
FILE *OpenUpgradeConf();
// At start-up: arms the timer with the stored interval, when it is not 0.
void InitUpgradeInterval();

// ---- ISO attach and detach --------------------------------------------------------

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
// The drive script alone, for a caller that has found the CD-ROM on hdb
// itself: the same answer as nonDiskVmIsoPath.
int RunDriveScript(const char *vmName);
// A guest's attach request: isoMissing set when no ISO name could be
// composed. Answers the guest with req, changed into UPG_MSG_ATTACH_ISO_RESP,
// except where a name is missing or unsafe or the guest agent is silent.
void dealAttachIsoReq(int isoMissing, VmNode *vm, VmMsg *req, const char *isoName);
void attachIso(VmNode *vm, const char *isoName, VmMsg *req);
// Takes the ISO out of the VM's drive: with a name, the guest's detach
// request; without, the daemon's own eject after an upgrade report (only
// when isoattachFlag is 1). The guest gets no answer.
void detachIso(VmNode *vm, const char *isoName);
