// ISO names and versions, and the ISO list: what the ISO directory offers.
//
// ISO file names: module "-" os ".iso" for the product module "ortavis" (its
// version lies in "version.info"), module "-" os "-" version ".iso" for every
// other module. The stem is the name up to its first '.', split into fields
// at runs of '-'; the version is the text between the last '-' and the last
// '.' of the name. Every file is addressed as "%s/%s" from g_chISORealPath.
//
// The ISO list is rebuilt for each use and emptied again by its user, all
// under the list lock (LoadIsoModules), so two users never mix their nodes.
// The upgrade configuration (ortavis_upgd_conf.h) and the drive
// (ortavis_upgd_drive.h) build on this area.
#pragma once

#include <cstdint>

#include "ortavis_upgd.h"
#include "ortavis_upgd_msg.h"
#include "ortavis_upgd_raii.h"
#include "ortavis_upgd_task.h"
#include "ortavis_upgd_tsa.h"

struct IsoNode;

IsoNode *GetIsoList();

inline constexpr const char *PRODUCT_MODULE = "ortavis";
inline constexpr const char *VERSION_FILE_NAME = "version.info";
inline constexpr const char *LINUX_VERSION_KEY = "linuxversion";
inline constexpr const char *WINDOWS_VERSION_KEY = "windowsversion";
inline constexpr int ISO_VERSION_BUF = 16;   // a version read from "version.info", 15 characters

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
// The path of a file of the ISO directory, "%s/%s" in out; false after
// "snprintf_s : <bufferName> snprintf_s failed" when it does not fit.
bool IsoDirPath(char (&out)[UPGD_PATH_MAX], const char *fileName, const char *bufferName);
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
// before are freed. A name enters only when it can be attached: its offer
// composes back into it, it may reach a command line, and it is a regular
// file of the directory itself; each one left out is logged once. 0, or -1 when the directory cannot be opened.
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
// True when isoName is a file of the ISO list as it is now: the one check
// before a guest's attach. Rebuilds and empties the list under its lock.
bool IsoOffered(const char *isoName) EXCLUDES(GetIsoList()->lock);
// True when the file of that name in the ISO directory, every link
// resolved, is a regular file of the ISO directory itself.
bool IsoFileInDir(const char *isoName);
// Fills msg's records, in directory-read order, with the ISOs of the module
// named in record 0: at most 6 (further matches are not stored). The
// number of records filled, or -1 when dirPath is null or cannot be opened.
int ScanModuleIsos(const char *dirPath, VmMsg *msg);
