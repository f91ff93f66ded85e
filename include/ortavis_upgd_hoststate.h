/*
 * The host state request (UPG_MSG_HOST_STATE), in plain C: an addition to
 * the management protocol that older agents never send. The daemon answers
 * it from what it already holds in memory, without a word to any guest and
 * without running a command: its own state on page 0, then every running
 * VM, sorted by name, a page at a time.
 *
 * Request: MsgHeadInfo with msgType UPG_MSG_HOST_STATE and a body that
 * opens with the request's tag: an UpgStateRequest, then afterLen name bytes.
 * Type 7 is one that agents of the original protocol expect no answer to,
 * so a type-7 message without the tag (whatever its body) is left
 * unanswered as every unknown type is, and a stream that carries one stays
 * in step. Further additions take type 7 with tags of their own.
 *
 * `part` UPG_STATE_DAEMON asks for the daemon; UPG_STATE_VMS for the VMs
 * whose names sort after the afterLen bytes of name that follow the request
 * (afterLen 0: from the first). A tagged request whose fields do not hold
 * is refused (result 1).
 *
 * Reply, result 0: an UpgStateHead, then for the daemon one UpgStateDaemon
 * followed by its currentNameLen bytes of the VM served now and its
 * offerCount UpgStateOffer records; for the VMs vmCount VM entries in name
 * order, each one UpgStateVm followed by nameLen name bytes, isoNameLen
 * ISO-name bytes and moduleCount UpgStateModule records. A VM entry is never
 * split over two replies: the reply holds as many whole entries as fit in
 * 524 bytes, and `more` is 1 when VMs follow the last one it holds (ask for
 * those after its name), 0 when none does. The daemon's part has `more` 1
 * when any VM runs. Records follow each other without padding, so a reader
 * copies each one out of the body (memcpy) rather than pointing into it.
 * Text fields of fixed size are NUL-padded; text of a stated length has no
 * terminator. Times are seconds: absolute ones since the epoch, ages
 * measured on the daemon's monotonic clock when the reply was built.
 *
 * Each reply continues from a name, so a VM that runs through a whole fetch
 * is in it exactly once; one started or stopped meanwhile may or may not be.
 */
#ifndef ORTAVIS_UPGD_HOSTSTATE_H
#define ORTAVIS_UPGD_HOSTSTATE_H

#include <stddef.h>
#include <stdint.h>

#include "ortavis_upgd_proto.h"

#ifdef __cplusplus
#define UPGD_STATE_ASSERT(cond) static_assert(cond, #cond)
#else /* C99: an array of negative size where a claim fails */
#define UPGD_STATE_JOIN2(a, b) a##b
#define UPGD_STATE_JOIN(a, b) UPGD_STATE_JOIN2(a, b)
#define UPGD_STATE_ASSERT(cond) typedef char UPGD_STATE_JOIN(upgd_state_check_, __LINE__)[(cond) ? 1 : -1]
#endif

/* The tag of a host state request: the first bytes of its body. */
#define UPG_EXT_TAG_SIZE 8
#define UPG_TAG_HOST_STATE "UPGSTAT1"

/* UpgStateRequest.part */
#define UPG_STATE_DAEMON 0u
#define UPG_STATE_VMS 1u

#define UPG_STATE_OFFER_MAX 6
#define UPG_STATE_ISO_NAME_MAX 32   /* a longer ISO name is not sent (isoNameLen 0) */
#define UPG_STATE_PAGE_VMS_MAX 24   /* VM entries of one name character and no module in a reply */

/* Run modes of UpgStateDaemon.runMode. */
#define UPG_RUN_ALL 1           /* every running VM */
#define UPG_RUN_NAMED 2         /* the VMs a control request named */
#define UPG_RUN_ADDED 3         /* VMs named while a run was under way */

/* UpgStateVm.outcome: what the last upgrade turn of the VM came to. */
#define UPG_OUTCOME_NONE 0      /* not served since the daemon started */
#define UPG_OUTCOME_REPORTED 1  /* its guest reported the end of the upgrade */
#define UPG_OUTCOME_OFFERED 2   /* the offer was sent; no report yet */
#define UPG_OUTCOME_REFUSED UPGRADE_ATTACH_REFUSED_STATE        /* the drive was refused */
#define UPG_OUTCOME_UNREACHABLE UPGRADE_CONNECT_TIMEOUT_STATE   /* its guest agent did not answer */

/* UpgStateVm.flags */
#define UPG_VM_ISO_IN_DRIVE 1u        /* the daemon's ISO is in the VM's drive */
#define UPG_VM_UPGRADE_AVAILABLE 2u   /* a module is offered at another version than the guest's */

typedef struct UpgStateRequest {
    char tag[UPG_EXT_TAG_SIZE];   /* UPG_TAG_HOST_STATE, no terminator */
    uint32_t part;                /* UPG_STATE_DAEMON or UPG_STATE_VMS */
    uint8_t afterLen;             /* 0 to VM_NAME_MAX name bytes that follow */
    uint8_t reserved[3];
} UpgStateRequest;
UPGD_STATE_ASSERT(sizeof(UpgStateRequest) == 16);
UPGD_STATE_ASSERT(offsetof(UpgStateRequest, tag) == 0);
UPGD_STATE_ASSERT(offsetof(UpgStateRequest, part) == 8);
UPGD_STATE_ASSERT(offsetof(UpgStateRequest, afterLen) == 12);
UPGD_STATE_ASSERT(sizeof(UpgStateRequest) + VM_NAME_MAX <= HOST_MSG_BODY_MAX);

typedef struct UpgStateHead {
    uint32_t more;       /* 1: VMs follow the last one here; 0: nothing more */
    uint16_t vmCount;    /* VM entries in this reply (0 for the daemon) */
    uint16_t reserved;
} UpgStateHead;
UPGD_STATE_ASSERT(sizeof(UpgStateHead) == 8);
UPGD_STATE_ASSERT(offsetof(UpgStateHead, more) == 0);
UPGD_STATE_ASSERT(offsetof(UpgStateHead, vmCount) == 4);
UPGD_STATE_ASSERT(offsetof(UpgStateHead, reserved) == 6);

typedef struct UpgStateDaemon {
    char version[16];         /* the daemon's version */
    int64_t startTime;        /* when it started */
    int64_t now;              /* its clock when the reply was built */
    uint32_t intervalMinutes; /* the periodic upgrade's interval, 0 when off */
    uint32_t nextFire;        /* seconds until the timer fires, 0 when off */
    uint32_t runTotal;        /* VMs the run under way serves */
    uint32_t runDone;         /* of which done */
    uint32_t runs;            /* counts since the start: runs begun, */
    uint32_t attaches;        /* ISOs attached, */
    uint32_t detaches;        /* ISOs taken out, */
    uint32_t failures;        /* attaches that failed, */
    uint32_t refusals;        /* attach requests refused */
    uint16_t vmCount;         /* running VMs in the registry */
    uint8_t runActive;        /* 1 while a run is under way */
    uint8_t runMode;          /* UPG_RUN_* of that run */
    uint8_t offerCount;       /* UpgStateOffer records that follow */
    uint8_t currentNameLen;   /* bytes of the VM served now that follow, 0 when none */
    uint8_t reserved[6];      /* to the record's end: no padding left unset */
} UpgStateDaemon;
UPGD_STATE_ASSERT(sizeof(UpgStateDaemon) == 80);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, version) == 0);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, startTime) == 16);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, now) == 24);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, intervalMinutes) == 32);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, nextFire) == 36);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, runTotal) == 40);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, runDone) == 44);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, runs) == 48);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, attaches) == 52);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, detaches) == 56);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, failures) == 60);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, refusals) == 64);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, vmCount) == 68);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, runActive) == 70);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, runMode) == 71);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, offerCount) == 72);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, currentNameLen) == 73);
UPGD_STATE_ASSERT(offsetof(UpgStateDaemon, reserved) == 74);

/* One ISO the ISO directory offered when the daemon last read it. */
typedef struct UpgStateOffer {
    char module[16];
    char version[16];
    uint8_t os;               /* ISO_LINUX or ISO_WINDOWS */
    uint8_t reserved[3];
} UpgStateOffer;
UPGD_STATE_ASSERT(sizeof(UpgStateOffer) == 36);
UPGD_STATE_ASSERT(offsetof(UpgStateOffer, module) == 0);
UPGD_STATE_ASSERT(offsetof(UpgStateOffer, version) == 16);
UPGD_STATE_ASSERT(offsetof(UpgStateOffer, os) == 32);

typedef struct UpgStateVm {
    int32_t state;            /* UPGRADE_*_STATE */
    int32_t outcome;          /* UPG_OUTCOME_* */
    uint32_t isoAge;          /* seconds since the daemon put the ISO in */
    uint8_t nameLen;          /* 1 to VM_NAME_MAX */
    uint8_t channel;          /* 1 when the guest channel is connected */
    uint8_t moduleCount;      /* 0 to VM_MSG_MODULE_MAX: the guest's last module report */
    uint8_t flags;            /* UPG_VM_* */
    uint8_t isoNameLen;       /* 0 to UPG_STATE_ISO_NAME_MAX */
    uint8_t reserved[3];
} UpgStateVm;
UPGD_STATE_ASSERT(sizeof(UpgStateVm) == 20);
UPGD_STATE_ASSERT(offsetof(UpgStateVm, state) == 0);
UPGD_STATE_ASSERT(offsetof(UpgStateVm, outcome) == 4);
UPGD_STATE_ASSERT(offsetof(UpgStateVm, isoAge) == 8);
UPGD_STATE_ASSERT(offsetof(UpgStateVm, nameLen) == 12);
UPGD_STATE_ASSERT(offsetof(UpgStateVm, channel) == 13);
UPGD_STATE_ASSERT(offsetof(UpgStateVm, moduleCount) == 14);
UPGD_STATE_ASSERT(offsetof(UpgStateVm, flags) == 15);
UPGD_STATE_ASSERT(offsetof(UpgStateVm, isoNameLen) == 16);

/* One module of a guest's last report, as its guest sent it. */
typedef struct UpgStateModule {
    char name[16];
    char curversion[16];
    char tarversion[16];
    int32_t rescode;
    uint32_t age;             /* seconds since the guest reported it */
} UpgStateModule;
UPGD_STATE_ASSERT(sizeof(UpgStateModule) == 56);
UPGD_STATE_ASSERT(offsetof(UpgStateModule, name) == 0);
UPGD_STATE_ASSERT(offsetof(UpgStateModule, curversion) == 16);
UPGD_STATE_ASSERT(offsetof(UpgStateModule, tarversion) == 32);
UPGD_STATE_ASSERT(offsetof(UpgStateModule, rescode) == 48);
UPGD_STATE_ASSERT(offsetof(UpgStateModule, age) == 52);

UPGD_STATE_ASSERT(UPG_STATE_PAGE_VMS_MAX == (HOST_MSG_BODY_MAX - sizeof(UpgStateHead)) / (sizeof(UpgStateVm) + 1));
/* The largest VM entry fits one reply with its head. */
UPGD_STATE_ASSERT(sizeof(UpgStateHead) + sizeof(UpgStateVm) + VM_NAME_MAX + UPG_STATE_ISO_NAME_MAX +
                      VM_MSG_MODULE_MAX * sizeof(UpgStateModule) <= HOST_MSG_BODY_MAX);
UPGD_STATE_ASSERT(sizeof(UpgStateHead) + sizeof(UpgStateDaemon) + VM_NAME_MAX +
                      UPG_STATE_OFFER_MAX * sizeof(UpgStateOffer) <= HOST_MSG_BODY_MAX);

#endif /* ORTAVIS_UPGD_HOSTSTATE_H */
