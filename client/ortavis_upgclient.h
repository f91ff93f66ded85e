/*
 * Client side of the management socket "/var/run/upgraded_manage" of
 * ortavis-upgd: open a connection, send one request at a time and wait a
 * bounded time (ten polls of one second) for the reply that carries the
 * request's identifier. Usable from C and C++; nothing is logged, every
 * outcome is a return value.
 *
 * A handle may be shared by threads: each request holds the handle's lock
 * from its send to the end of its wait, so requests never interleave.
 * A request whose reply was cut off mid-message leaves the handle failed;
 * every later request on it fails at once, and the caller reconnects.
 *
 * The protocol's numbers (request types, check kinds, actions, result codes,
 * VM states, limits) come from ortavis_upgd_proto.h, the daemon's own.
 */
#ifndef ORTAVIS_UPGCLIENT_H
#define ORTAVIS_UPGCLIENT_H

#include "ortavis_upgclient_version.h"
#include "ortavis_upgd_proto.h"
#include "ortavis_upgd_hoststate.h"

#if defined(__GNUC__)
#define UPGCLIENT_API __attribute__((visibility("default")))
#else
#define UPGCLIENT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct UpgClientHandle UpgClientHandle;

/* Connects to the daemon; only AF_UNIX is accepted. Returns a new handle that
 * the caller releases with upgClientClose, or NULL with errno set (the
 * connect's own error; ETIMEDOUT when the daemon did not accept in time). */
UPGCLIENT_API UpgClientHandle *upgClientConnect(int family);

/* Closes the connection and frees the handle (unless it is NULL). Returns 0,
 * or -1 for a NULL handle or a failed close. No request may be in progress. */
UPGCLIENT_API int upgClientClose(UpgClientHandle *handle);

/* Sets how long each later request on the handle waits for its reply, in
 * whole seconds from 1 to 3600 (a new handle waits 10). Returns 0, or -1 with
 * errno EINVAL for a NULL handle or a time out of range. */
UPGCLIENT_API int upgClientSetTimeout(UpgClientHandle *handle, int seconds);

/* Health check (UPG_CHECK_HEALTH) or guest-channel repair
 * (UPG_CHECK_FIX_CHANNEL) of one VM; vmName is 1 to VM_NAME_MAX characters. Returns the reply text, which the caller frees with
 * free(), or NULL (refused argument, no reply in time, empty reply). */
UPGCLIENT_API char *upgClientHealthCheck(UpgClientHandle *handle, const char *vmName, int kind);

/* Upgrade result of module modName (1 to MOD_NAME_MAX characters) inside the VM.
 * Returns the reply text (caller frees) or NULL, as upgClientHealthCheck. */
UPGCLIENT_API char *upgClientGetUpgResult(UpgClientHandle *handle, const char *vmName,
                                          const char *modName);

/* Automatic-upgrade control value UPG_AUTO_VALUE_MIN to _MAX, handed to the VM's guest unchanged.
 * Returns the reply text (caller frees) or NULL, as upgClientHealthCheck. */
UPGCLIENT_API char *upgClientAutoCtrl(UpgClientHandle *handle, const char *vmName, int value);

/* A text request (health check, upgrade result or automatic-upgrade control)
 * with the daemon's result beside its text. msgType 3 takes the check kind in
 * value, 4 the module name in modName, 6 the control value in value, with the
 * argument checks of the calls above. Returns the reply's result
 * (HOST_RESULT_OK: the text is the guest's answer; HOST_RESULT_FAIL: refused
 * or failed, or, with a text, answered on the guest's behalf) and stores the reply
 * text in *text (the caller frees it; NULL for an empty reply). Returns -1
 * with *text NULL and errno set when there is no answer: EINVAL for a refused
 * argument, ETIMEDOUT when no reply came in time, EPROTO when the stream
 * broke, EPIPE when the handle failed before, or the send's own error. */
UPGCLIENT_API int upgClientRequest(UpgClientHandle *handle, int msgType, const char *vmName,
                                   const char *modName, int value, char **text);

/* Upgrade control: action_type UPG_ACTION_START (1) starts (interval_time 0 with "no" or a
 * comma-separated VM list: one run now; 30 to 525600 minutes with "no":
 * periodic), UPG_ACTION_STOP (2) with 0 and "no" stops the periodic upgrade. Returns the
 * daemon's result (0 done, 1 failed, 2 a run is under way, 3 no named VM
 * found, 4 too long, 5 bad parameter), 4 or 5 from the checks made here,
 * or -1 (no handle, no reply in time, any other failure). */
UPGCLIENT_API int upgClientControlUpgrade(UpgClientHandle *handle, int action_type,
                                          int interval_time, const char *upgrade_para);

/* ---- Reply texts ---------------------------------------------------------- */

/* The longest reply text the daemon sends for a health check or an
 * automatic-upgrade control ("<vm>:{<checkresult>}" within 144 bytes). */
#define UPGCLIENT_CHECK_TEXT_MAX 143

/* A check result, "<vm>:{<checkresult>}": the reply to a health check, a
 * channel repair or an automatic-upgrade control. */
typedef struct UpgClientCheckReply {
    char vm[VM_NAME_MAX + 1];
    char checkresult[UPGCLIENT_CHECK_TEXT_MAX + 1];  /* the guest's text as the daemon amended it, or
                                                      * the daemon's own code (CHECK_CODE_*) */
} UpgClientCheckReply;

/* A module result, "<vm>:{<module>,<curversion>,<rescode>,<tarversion>}": the
 * reply to an upgrade-result query. */
typedef struct UpgClientModuleReply {
    char vm[VM_NAME_MAX + 1];
    char module[MOD_NAME_MAX + 1];
    char curversion[MOD_NAME_MAX + 1];  /* a version field of the guest's record: 15 characters */
    int rescode;                        /* 0 upgraded; else the guest's failure or an UPGRADE_*_STATE */
    char tarversion[MOD_NAME_MAX + 1];
} UpgClientModuleReply;

/* Parse a reply text into *out. The VM name ends at the first ":{"; the text
 * must end with "}", and each field must fit its member. A module result has
 * exactly four fields (a comma inside the guest's text makes it ambiguous,
 * and it is refused) and a decimal rescode. Return 0, or -1 with errno
 * EINVAL, *out then zeroed. */
UPGCLIENT_API int upgClientParseCheckReply(const char *text, UpgClientCheckReply *out);
UPGCLIENT_API int upgClientParseModuleReply(const char *text, UpgClientModuleReply *out);

/* ---- The host at a glance --------------------------------------------------- */

/* One module of a guest's last report (texts NUL-terminated). */
typedef struct UpgClientModuleState {
    char name[MOD_NAME_MAX + 1];
    char curversion[16];
    char tarversion[16];
    int rescode;
    unsigned age;                   /* seconds since the guest reported it */
} UpgClientModuleState;

/* One running VM as the daemon knows it. */
typedef struct UpgClientVmState {
    char name[VM_NAME_MAX + 1];
    int channel;                    /* 1: the guest channel is connected */
    int state;                      /* UPGRADE_*_STATE */
    int outcome;                    /* UPG_OUTCOME_* of its last upgrade turn */
    int isoInDrive;                 /* 1: the daemon's ISO is in its drive */
    char iso[UPG_STATE_ISO_NAME_MAX + 1];  /* which one; empty when unknown or longer */
    unsigned isoAge;                /* seconds it has been in */
    int upgradeAvailable;           /* 1: a module is offered at another version */
    int moduleCount;                /* 0: the guest has reported nothing since the start */
    UpgClientModuleState modules[VM_MSG_MODULE_MAX];
} UpgClientVmState;

/* The daemon and its VMs, sorted by name. */
typedef struct UpgClientHostState {
    UpgStateDaemon daemon;          /* version NUL-terminated */
    char current[VM_NAME_MAX + 1];  /* the VM the run serves now, or empty */
    int offerCount;
    UpgStateOffer offer[UPG_STATE_OFFER_MAX];   /* module and version NUL-terminated */
    size_t vmCount;
    UpgClientVmState *vms;
} UpgClientHostState;

/* Fetches every page of the host state. Returns 0 with *out a new state that
 * the caller frees with upgClientFreeHostState, or -1 with *out NULL and
 * errno set: EINVAL for a NULL argument, EPROTO for a reply that does not
 * parse or a result other than HOST_RESULT_OK, and otherwise as
 * upgClientRequest. */
UPGCLIENT_API int upgClientGetHostState(UpgClientHandle *handle, UpgClientHostState **out);
/* Frees a state of upgClientGetHostState (nothing for NULL). */
UPGCLIENT_API void upgClientFreeHostState(UpgClientHostState *state);
/* Parses the body of one host state reply to a request for `part` into
 * *state: UPG_STATE_DAEMON fills the daemon's part, UPG_STATE_VMS appends the
 * page's VMs (a VM whose name does not sort after the last one held came
 * twice and is skipped). Every record must lie whole within the body, every
 * count and length in range, every fixed text NUL-terminated, and nothing
 * may follow the last record; *more is 1 when VMs follow (ask for those after
 * the last name held), 0 when done. Returns 0, or -1 with errno EINVAL
 * (ENOMEM when the VMs cannot grow), *state's VMs then as before the call. */
UPGCLIENT_API int upgClientParseStatePage(const unsigned char *body, size_t len, unsigned part,
                                          UpgClientHostState *state, unsigned *more);

#ifdef __cplusplus
}
#endif

#endif /* ORTAVIS_UPGCLIENT_H */
