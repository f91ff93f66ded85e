// The two wire formats, field by field.
//
// Management socket: a MsgHeadInfo and bufLen body bytes. The request bodies
// are the action body (types 3 and 6: vmNameLen, vmName, action_type), the
// query body (type 4: vmNameLen, vmName, modNameLen, modName) and the control
// body (type 5: action_type, interval_time, upgrade_para_len, upgrade_para).
// Replies echo the request's msgId and msgType and carry a text body without
// terminator. Guest channels: one 568-byte VmMsg in either direction.
//
// Every length read from the wire is bounded before use. A parser is given the
// body and its length; bytes at or past that length read as zero, exactly as
// the zero-filled 525-byte request buffer reads past bufLen, so a short body
// fails the field checks instead of reading stale or foreign memory, and no
// parser ever reads past `len`.
//
// Everything here is reentrant and takes no lock. The parsers and the dumps
// log; the builders don't (their callers know which piece failed and say so
// in their own words).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ortavis_upgd_msg.h"

// ---- Names and dumps ---------------------------------------------------------

// The program's name of a host message type, or null for a type without one.
const char *HostMsgTypeName(uint32_t msgType);
// The program's name of a VM message type (1 to 14), or null.
const char *VmMsgTypeName(uint32_t msgType);
// "ISO_LINUX" for ISO_LINUX, "ISO_WINDOWS" for any other value.
const char *IsoTypeName(uint8_t type);

// Logs the header one field a line. With a non-null body the body line
// follows, showing at most min(bufLen, bodyAvail) bytes of it; with a null
// body (a header read alone) the body line is left out.
void dumpHostMsg(const MsgHeadInfo *head, const uint8_t *body, size_t bodyAvail);
// Logs msgId, msgType, moduleNum and the fields of module[0]; every text
// field is shown up to its first NUL and never past its field.
void dumpVmMsg(const VmMsg *msg);

// ---- Host header ---------------------------------------------------------------

// True when a request's body may be read: bufLen (unsigned) at most 524.
bool HostBodyLenAcceptable(const MsgHeadInfo &head);
// A header with the given fields and every reserved byte zero.
MsgHeadInfo MakeHostHead(uint64_t msgId, uint32_t msgType, uint32_t bufLen, int32_t result);
// Lays out a whole message (header, then bodyLen bytes of body) in out.
// Returns 56 + bodyLen, or -1 when bodyLen is over 524, body is null with a
// non-zero bodyLen, or out can't hold the message.
int BuildHostMsg(uint8_t *out, size_t outMax, uint64_t msgId, uint32_t msgType, int32_t result,
                 const void *body, size_t bodyLen);

// ---- Request bodies ----------------------------------------------------------

// Action body (types 3 and 6). 0, or -1 after logging: vmNameLen outside 1 to
// 127, a failed copy of the name, or an action_type of 0.
int parseActionBody(const uint8_t *body, size_t len, uint32_t *actionType,
                    char (&vmName)[VM_NAME_FIELD]);

// Query body (type 4). 0, or -1 after logging: vmNameLen 0 or over 128, a
// name that does not fit its 128-byte field (128 characters, or a negative
// length), modNameLen 0 or over 15, or a negative modNameLen.
int parseQueryBody(const uint8_t *body, size_t len, char (&vmName)[VM_NAME_FIELD],
                   char (&modName)[MOD_NAME_FIELD]);

// Control body (type 5). The three numbers are kept as the signed values the
// upgrade control compares them as; para is NUL-terminated and may be empty
// (a body whose upgrade_para starts with NUL), which is the handler's to refuse.
struct UpgCtrlBody {
    int32_t actionType;
    int32_t intervalTime;
    int32_t paraLen;
    char para[UPGRADE_PARA_FIELD];
};
// 0, or -1 after logging: upgrade_para_len 0 or over 512 ("get para length
// %d, maybe more than %d"), or a failed copy (a negative length).
int parseControlBody(const uint8_t *body, size_t len, UpgCtrlBody *ctrl);

// ---- Reply bodies -----------------------------------------------------------
// Each writes NUL-terminated text into out (the body is that text without its
// NUL) and returns 0, or the REPLY_PIECE_* that failed; out then holds the text
// built before that piece began.

inline constexpr int REPLY_PIECE_VM_NAME = 1;
inline constexpr int REPLY_PIECE_MOD_NAME = 2;
inline constexpr int REPLY_PIECE_CODE = 4;
inline constexpr int REPLY_PIECE_OUT = 7;      // null or unusable out buffer

inline constexpr size_t STATE_BODY_BOUND = 525;

// vmName ":{" modName ",0.0.0.0," code ",0.0.0.0}" (type 4 on the guest's
// behalf, result 1); code in decimal, at most 3 characters.
int BuildModuleStateBody(char *out, size_t outMax, const char *vmName, const char *modName,
                         int code);
// vmName ":{" code "}" (types 3 and 6 on the guest's behalf: codes 3, 5, 13).
int BuildStateCodeBody(char *out, size_t outMax, const char *vmName, int code);

// ---- VM messages ----------------------------------------------------------------

// A received module's text fields copied out, each terminated and never
// longer than its field.
struct VmModuleText {
    int32_t rescode;
    char name[sizeof(ModuleInfo::name) + 1];
    char curversion[sizeof(ModuleInfo::curversion) + 1];
    char tarversion[sizeof(ModuleInfo::tarversion) + 1];
    char checkresult[sizeof(ModuleInfo::checkresult) + 1];
    uint8_t type;
};
VmModuleText ModuleText(const ModuleInfo &m);
// Length of a text field: up to its first NUL, at most fieldSize.
size_t VmTextLen(const char *field, size_t fieldSize);
// Copies a text field into dest, terminated. 0, or -1 when it does not fit
// (dest then holds the empty string).
int CopyVmText(char *dest, size_t destMax, const char *field, size_t fieldSize);
