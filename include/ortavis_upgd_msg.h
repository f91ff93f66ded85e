// The two byte formats of the daemon.
//
// Management socket: every message is a 56-byte MsgHeadInfo followed by
// exactly bufLen body bytes. Guest channels: every message is one 568-byte
// VmMsg holding up to six 92-byte ModuleInfo records. Integers are in the
// host's native byte order (both ends run on one machine); reserved bytes are
// zero in everything the daemon sends. The layouts are fixed by the peers, so
// each size and offset is checked below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ortavis_upgd_proto.h"

// ---- Management messages ------------------------------------------------

struct MsgHeadInfo {
    uint64_t msgId;      // request identifier; a reply carries its request's
    uint32_t msgType;    // UPG_MSG_* below; a reply carries its request's
    uint32_t bufLen;     // body bytes that follow the header
    int32_t result;      // 0 in requests; the answer's status in replies
    uint8_t reserved[36];
};
static_assert(sizeof(MsgHeadInfo) == 56);
static_assert(offsetof(MsgHeadInfo, msgId) == 0);
static_assert(offsetof(MsgHeadInfo, msgType) == 8);
static_assert(offsetof(MsgHeadInfo, bufLen) == 12);
static_assert(offsetof(MsgHeadInfo, result) == 16);
static_assert(offsetof(MsgHeadInfo, reserved) == 20);

inline constexpr uint32_t HOST_MSG_BODY_BUF = 525;      // body plus the NUL the reader adds

// Fixed text fields that hold request values, each with room for its NUL.
inline constexpr std::size_t VM_NAME_FIELD = 128;        // a VM name
inline constexpr std::size_t MOD_NAME_FIELD = 16;        // a module name
inline constexpr std::size_t UPGRADE_PARA_FIELD = 513;   // the VM list of a control request

// ---- Guest-channel messages ---------------------------------------------

struct ModuleInfo {
    int32_t rescode;
    uint8_t reserved1[15];
    char name[16];
    char curversion[16];
    char tarversion[16];
    char checkresult[23];
    uint8_t type;        // ISO_LINUX or ISO_WINDOWS
    uint8_t reserved2;
};
static_assert(sizeof(ModuleInfo) == 92);
static_assert(offsetof(ModuleInfo, rescode) == 0);
static_assert(offsetof(ModuleInfo, reserved1) == 4);
static_assert(offsetof(ModuleInfo, name) == 19);
static_assert(offsetof(ModuleInfo, curversion) == 35);
static_assert(offsetof(ModuleInfo, tarversion) == 51);
static_assert(offsetof(ModuleInfo, checkresult) == 67);
static_assert(offsetof(ModuleInfo, type) == 90);
static_assert(offsetof(ModuleInfo, reserved2) == 91);

struct VmMsg {
    uint64_t msgId;
    uint32_t msgType;    // VM message types below
    int32_t moduleNum;   // records in use, 0 to 6 when sound
    ModuleInfo module[VM_MSG_MODULE_MAX];
};
static_assert(sizeof(VmMsg) == 568);
static_assert(offsetof(VmMsg, msgId) == 0);
static_assert(offsetof(VmMsg, msgType) == 8);
static_assert(offsetof(VmMsg, moduleNum) == 12);
static_assert(offsetof(VmMsg, module) == 16);
static_assert(alignof(VmMsg) == 8);

inline constexpr int VM_MSG_LEN = static_cast<int>(sizeof(VmMsg));
inline constexpr int HOST_HEAD_LEN = static_cast<int>(sizeof(MsgHeadInfo));

