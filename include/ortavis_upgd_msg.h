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

// Host message types.
inline constexpr uint32_t UPG_MSG_OPEN_CONNECT = 1;
inline constexpr uint32_t UPG_MSG_CLOSE_CONNECT = 2;
inline constexpr uint32_t UPG_MSG_HEALTH_CHECK = 3;
inline constexpr uint32_t UPG_MSG_GET_UPG_RES = 4;
inline constexpr uint32_t UPG_START_UPGRADE_MSG = 5;
inline constexpr uint32_t UPG_MSG_AUTO_CTRL = 6;

// Body limits.
inline constexpr uint32_t HOST_MSG_BODY_MAX = 524;      // daemon, reading and replying
inline constexpr uint32_t HOST_MSG_BODY_BUF = 525;      // body plus the NUL the reader adds
inline constexpr uint32_t CLIENT_MSG_BODY_MAX = 968;    // client library, both ways
inline constexpr int32_t VM_NAME_MAX = 127;             // usable characters of a VM name
inline constexpr int32_t MOD_NAME_MAX = 15;             // usable characters of a module name
inline constexpr uint32_t UPGRADE_PARA_MAX = 512;

// Fixed text fields that hold request values, each with room for its NUL.
inline constexpr std::size_t VM_NAME_FIELD = 128;        // a VM name
inline constexpr std::size_t MOD_NAME_FIELD = 16;        // a module name
inline constexpr std::size_t UPGRADE_PARA_FIELD = 513;   // the VM list of a control request

// Reply result codes.
inline constexpr int32_t HOST_RESULT_OK = 0;
inline constexpr int32_t HOST_RESULT_FAIL = 1;
inline constexpr int32_t HOST_RESULT_UPG_RUNNING = 2;
inline constexpr int32_t HOST_RESULT_NO_VM = 3;
inline constexpr int32_t HOST_RESULT_TOO_LONG = 4;
inline constexpr int32_t HOST_RESULT_BAD_PARAM = 5;

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

inline constexpr int32_t VM_MSG_MODULE_MAX = 6;

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

// VM message types.
inline constexpr uint32_t UPG_MSG_CHECK_HEALTH = 1;
inline constexpr uint32_t UPG_MSG_FIX_CHANNEL = 2;
inline constexpr uint32_t UPG_MSG_START_UPGRADE = 3;
inline constexpr uint32_t UPG_MSG_ATTACH_ISO_RESP = 4;
inline constexpr uint32_t UPG_MSG_QUERY_UPGRADE_RESULT_REQ = 5;
inline constexpr uint32_t VM_REQ_ATTACH_ISO_MSG = 6;
inline constexpr uint32_t VM_REQ_DETACH_ISO_MSG = 7;
inline constexpr uint32_t VM_REQ_UPGRADE_INFO_MSG = 8;
inline constexpr uint32_t HOST_MSG_GET_UPG_RES = 9;
inline constexpr uint32_t HOST_MSG_HEALTH_CHECK = 10;
inline constexpr uint32_t VM_RSP_FIX_RESULT_MSG = 11;
inline constexpr uint32_t UPG_MSG_CONTROL_UPGRADE_MODE = 12;
inline constexpr uint32_t VM_RSP_AUTO_CTRL = 13;
inline constexpr uint32_t VM_RSP_UPGRADE_STATE_MSG = 14;

// Operating-system family of an ISO, the same in IsoNode and ModuleInfo.
inline constexpr uint8_t ISO_LINUX = 1;
inline constexpr uint8_t ISO_WINDOWS = 2;

// Upgrade states of a VM (also result codes sent to management clients).
inline constexpr int32_t UPGRADE_IDLE_STATE = 0;
inline constexpr int32_t UPGRADE_RUNNING_STATE = 1;
inline constexpr int32_t UPGRADE_PENDING_STATE = 2;
inline constexpr int32_t UPGRADE_ATTACH_REFUSED_STATE = 9;
inline constexpr int32_t UPGRADE_CONNECT_TIMEOUT_STATE = 13;
