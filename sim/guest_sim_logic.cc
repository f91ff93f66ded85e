#include "guest_sim_logic.h"

#include <cstring>

namespace guestsim {

std::optional<Behaviour> ParseBehaviour(const std::string &text)
{
    static const std::pair<const char *, Behaviour> names[] = {
        {"answer", Behaviour::Answer}, {"silent", Behaviour::Silent}, {"hangup", Behaviour::HangUp},
        {"half", Behaviour::Half},     {"garbage", Behaviour::Garbage}, {"deaf", Behaviour::Deaf},
    };
    for (const auto &[name, b] : names) {
        if (text == name) {
            return b;
        }
    }
    return std::nullopt;
}

const char *BehaviourName(Behaviour b)
{
    switch (b) {
    case Behaviour::Answer: return "answer";
    case Behaviour::Silent: return "silent";
    case Behaviour::HangUp: return "hangup";
    case Behaviour::Half: return "half";
    case Behaviour::Garbage: return "garbage";
    case Behaviour::Deaf: return "deaf";
    }
    return "?";
}

void SetText(char *field, size_t size, const std::string &text)
{
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(text.size(), size - 1));
}

std::string GetText(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

namespace {

VmMsg Blank(uint64_t msgId, uint32_t type)
{
    VmMsg out;
    std::memset(&out, 0, sizeof(out));
    out.msgId = msgId;
    out.msgType = type;
    return out;
}

void FillModule(ModuleInfo &m, const Module &src)
{
    m.rescode = src.rescode;
    SetText(m.name, sizeof(m.name), src.name);
    SetText(m.curversion, sizeof(m.curversion), src.curversion);
    SetText(m.tarversion, sizeof(m.tarversion), src.tarversion);
    m.type = src.type;
}

const Module *FindModule(const Profile &p, const std::string &name)
{
    for (const auto &m : p.modules) {
        if (m.name == name) {
            return &m;
        }
    }
    return nullptr;
}

}  // namespace

std::optional<VmMsg> Answer(const VmMsg &in, const Profile &profile)
{
    switch (in.msgType) {
    case UPG_MSG_CHECK_HEALTH: {
        VmMsg out = Blank(in.msgId, HOST_MSG_HEALTH_CHECK);
        out.moduleNum = 1;
        SetText(out.module[0].checkresult, sizeof(out.module[0].checkresult), profile.checkresult);
        return out;
    }
    case UPG_MSG_FIX_CHANNEL: {
        VmMsg out = Blank(in.msgId, VM_RSP_FIX_RESULT_MSG);
        out.moduleNum = 1;
        SetText(out.module[0].checkresult, sizeof(out.module[0].checkresult), profile.fixresult);
        return out;
    }
    case UPG_MSG_CONTROL_UPGRADE_MODE: {
        VmMsg out = Blank(in.msgId, VM_RSP_AUTO_CTRL);
        out.moduleNum = 1;
        SetText(out.module[0].checkresult, sizeof(out.module[0].checkresult),
                "auto=" + std::to_string(in.module[0].rescode));
        return out;
    }
    case UPG_MSG_QUERY_UPGRADE_RESULT_REQ: {
        VmMsg out = Blank(in.msgId, HOST_MSG_GET_UPG_RES);
        out.moduleNum = 1;
        std::string wanted = GetText(in.module[0].name, sizeof(in.module[0].name));
        if (const Module *m = FindModule(profile, wanted)) {
            FillModule(out.module[0], *m);
        } else {
            Module unknown{wanted, "0.0.0.0", "0.0.0.0", 1, in.module[0].type};
            FillModule(out.module[0], unknown);
        }
        return out;
    }
    default:
        return std::nullopt;   // upgrade information and attach answers need none
    }
}

VmMsg Request(uint32_t msgType, const Profile &profile, uint64_t msgId)
{
    VmMsg out = Blank(msgId, msgType);
    if ((msgType == VM_REQ_ATTACH_ISO_MSG || msgType == VM_REQ_DETACH_ISO_MSG) &&
        !profile.modules.empty()) {
        out.moduleNum = 1;
        FillModule(out.module[0], profile.modules.front());
        out.module[0].rescode = 0;
    }
    return out;
}

std::vector<uint8_t> Junk()
{
    std::vector<uint8_t> bytes(sizeof(VmMsg), 0xA5);
    uint32_t type = 0xDEAD;
    int32_t moduleNum = -7;
    std::memcpy(bytes.data() + offsetof(VmMsg, msgType), &type, sizeof(type));
    std::memcpy(bytes.data() + offsetof(VmMsg, moduleNum), &moduleNum, sizeof(moduleNum));
    return bytes;
}

}  // namespace guestsim
