/*
 * The numbers of ortavis-upgd's two protocols, in plain C: message types,
 * the kinds and actions a request carries, result codes, VM states and
 * limits. The daemon (through ortavis_upgd_msg.h) and the client library
 * take them from here, and the library installs this header beside its own,
 * so an agent compiles against the very values the daemon uses.
 *
 * Every value is an integer constant expression of the type of the wire field
 * that carries it: the unsigned ones end in u.
 */
#ifndef ORTAVIS_UPGD_PROTO_H
#define ORTAVIS_UPGD_PROTO_H

/* ---- Management socket ---------------------------------------------------- */

#define UPGD_MANAGE_SOCKET "/var/run/upgraded_manage"

/* Host message types (MsgHeadInfo.msgType; a reply carries its request's). */
#define UPG_MSG_OPEN_CONNECT 1u
#define UPG_MSG_CLOSE_CONNECT 2u
#define UPG_MSG_HEALTH_CHECK 3u   /* action body: the check kind below */
#define UPG_MSG_GET_UPG_RES 4u    /* query body: VM and module name */
#define UPG_START_UPGRADE_MSG 5u  /* control body: action, interval, VM list */
#define UPG_MSG_AUTO_CTRL 6u      /* action body: the value 1 to 3 for the guest */
#define UPG_MSG_HOST_STATE 7u     /* additions, each opening its body with a tag of its own; untagged: no reply */

/* Check kinds of a health-check request. */
#define UPG_CHECK_HEALTH 1
#define UPG_CHECK_FIX_CHANNEL 2

/* Automatic-upgrade control values handed to the guest. */
#define UPG_AUTO_VALUE_MIN 1
#define UPG_AUTO_VALUE_MAX 3

/* Actions of an upgrade control request. */
#define UPG_ACTION_START 1   /* with interval 0: one run now; 30 to 525600: periodic */
#define UPG_ACTION_STOP 2    /* the periodic upgrade off */
#define UPG_PARA_ALL_VMS "no"
#define UPGD_INTERVAL_MIN 30
#define UPGD_INTERVAL_MAX 525600

/* Reply result codes (MsgHeadInfo.result). */
#define HOST_RESULT_OK 0           /* done; a text reply carries the guest's answer */
#define HOST_RESULT_FAIL 1         /* refused or failed; with a text: answered on the guest's behalf */
#define HOST_RESULT_UPG_RUNNING 2  /* control: a run is under way and no VM was named to add */
#define HOST_RESULT_NO_VM 3        /* control: none of the named VMs is running */
#define HOST_RESULT_TOO_LONG 4     /* the request's body is too long */
#define HOST_RESULT_BAD_PARAM 5    /* control: a field out of range or inconsistent */

/* Limits. */
#define HOST_MSG_BODY_MAX 524u    /* the daemon reads and replies at most this */
#define CLIENT_MSG_BODY_MAX 968u  /* the client library, both ways */
#define VM_NAME_MAX 127           /* characters of a VM name */
#define MOD_NAME_MAX 15           /* characters of a module name */
#define UPGRADE_PARA_MAX 512u     /* characters of a control request's VM list */

/* ---- Guest channels -------------------------------------------------------- */

/* VM message types. */
#define UPG_MSG_CHECK_HEALTH 1u
#define UPG_MSG_FIX_CHANNEL 2u
#define UPG_MSG_START_UPGRADE 3u
#define UPG_MSG_ATTACH_ISO_RESP 4u
#define UPG_MSG_QUERY_UPGRADE_RESULT_REQ 5u
#define VM_REQ_ATTACH_ISO_MSG 6u
#define VM_REQ_DETACH_ISO_MSG 7u
#define VM_REQ_UPGRADE_INFO_MSG 8u
#define HOST_MSG_GET_UPG_RES 9u
#define HOST_MSG_HEALTH_CHECK 10u
#define VM_RSP_FIX_RESULT_MSG 11u
#define UPG_MSG_CONTROL_UPGRADE_MODE 12u
#define VM_RSP_AUTO_CTRL 13u
#define VM_RSP_UPGRADE_STATE_MSG 14u

#define VM_MSG_MODULE_MAX 6

/* Operating-system family of an ISO and of a guest's module record. */
#define ISO_LINUX ((unsigned char)1)
#define ISO_WINDOWS ((unsigned char)2)

/* Upgrade states of a VM; 2, 9 and 13 are also the codes of a module result
 * and of an answer given on the guest's behalf. */
#define UPGRADE_IDLE_STATE 0
#define UPGRADE_RUNNING_STATE 1
#define UPGRADE_PENDING_STATE 2
#define UPGRADE_ATTACH_REFUSED_STATE 9
#define UPGRADE_CONNECT_TIMEOUT_STATE 13

/* Codes the daemon writes into a check result in place of the guest's text:
 * the VM upgrades (health check 3, automatic-upgrade control 5) or its guest
 * agent does not answer (13); and the findings it adds to a health check's
 * answer about the VM's CD-ROM drive (9: not on hdb, so the VM cannot be
 * upgraded; 4: the drive on hdb already holds a medium; 2 in
 * place of either in the answer to a channel repair). */
#define CHECK_CODE_UPGRADING 3
#define CHECK_CODE_AUTO_UPGRADING 5
#define CHECK_CODE_UNREACHABLE 13
#define CHECK_CODE_NOT_ON_HDB 9
#define CHECK_CODE_DRIVE_HOLDS_MEDIUM 4
#define CHECK_CODE_FIX_DRIVE 2

#endif /* ORTAVIS_UPGD_PROTO_H */
