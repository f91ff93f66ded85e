// What a simulated guest answers the daemon, message by message; the story
// is in the header.
#include "guest_sim_logic.h"

#include <algorithm>
#include <cstring>

namespace guestsim {

namespace {

struct NamedBehaviour {
    const char *name;
    Behaviour b;
};
constexpr NamedBehaviour kBehaviours[] = {
    {"answer", Behaviour::Answer},   {"wrongtype", Behaviour::WrongType}, {"badcount", Behaviour::BadCount},
    {"strayid", Behaviour::StrayId}, {"silent", Behaviour::Silent},       {"hangup", Behaviour::HangUp},
    {"half", Behaviour::Half},       {"garbage", Behaviour::Garbage},     {"deaf", Behaviour::Deaf},
    {"reset", Behaviour::Reset},     {"halfreset", Behaviour::HalfReset}, {"dribble", Behaviour::Dribble},
    {"flood", Behaviour::Flood},     {"halfclose", Behaviour::HalfClose},
};

// The type a WrongType guest writes: one the daemon sends, never one it expects back.
constexpr uint32_t kWrongType = UPG_MSG_CONTROL_UPGRADE_MODE;
// Flipped in the msgId of a StrayId guest: no request of the daemon carries it.
constexpr uint64_t kStrayIdBits = 0x5a00000000000000ull;
// Without a view of its drive the guest waits this long before the next module's attach.
constexpr std::chrono::seconds kBlindPause{5};

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

std::string BaseName(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<Behaviour> ParseBehaviour(const std::string &text)
{
    for (const auto &[name, b] : kBehaviours) {
        if (text == name) {
            return b;
        }
    }
    return std::nullopt;
}

const char *BehaviourName(Behaviour b)
{
    for (const auto &[name, known] : kBehaviours) {
        if (known == b) {
            return name;
        }
    }
    return "?";
}

bool Answers(Behaviour b)
{
    return b == Behaviour::Answer || b == Behaviour::WrongType || b == Behaviour::BadCount ||
           b == Behaviour::StrayId;
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

std::string IsoFileName(const std::string &name, uint8_t type, const std::string &version)
{
    std::string iso = name;
    if (type == ISO_LINUX || type == ISO_WINDOWS) {
        iso += type == ISO_LINUX ? "-linux" : "-windows";
    }
    if (name != "ortavis") {
        iso += "-" + version;
    }
    return iso + ".iso";
}

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
        return std::nullopt;   // the upgrade flow is Guest's
    }
}

VmMsg Request(uint32_t msgType, const Profile &profile, uint64_t msgId)
{
    VmMsg out = Blank(msgId, msgType);
    if ((msgType == VM_REQ_ATTACH_ISO_MSG || msgType == VM_REQ_DETACH_ISO_MSG ||
         msgType == VM_RSP_UPGRADE_STATE_MSG) &&
        !profile.modules.empty()) {
        out.moduleNum = 1;
        FillModule(out.module[0], profile.modules.front());
        if (msgType != VM_RSP_UPGRADE_STATE_MSG) {
            out.module[0].rescode = 0;
        }
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

// ---- Guest ----------------------------------------------------------------------

Guest::Guest(Profile profile) : profile_(std::move(profile)) {}

void Guest::Drop()
{
    plan_.clear();
    phase_ = Phase::Idle;
}

VmMsg Guest::Request(uint32_t msgType)
{
    VmMsg out = msgType == VM_RSP_UPGRADE_STATE_MSG ? StateReport() : guestsim::Request(msgType, profile_, nextId_++);
    Spoil(out);   // spoiled as its answers are
    return out;
}

VmMsg Guest::StateReport()
{
    VmMsg out = Blank(nextId_++, VM_RSP_UPGRADE_STATE_MSG);
    size_t n = std::min(profile_.modules.size(), static_cast<size_t>(VM_MSG_MODULE_MAX));
    out.moduleNum = static_cast<int32_t>(n);
    for (size_t i = 0; i < n; ++i) {
        FillModule(out.module[i], profile_.modules[i]);
    }
    return out;
}

void Guest::Spoil(VmMsg &m) const
{
    switch (profile_.behaviour) {
    case Behaviour::WrongType: m.msgType = kWrongType; break;
    case Behaviour::BadCount: m.moduleNum = profile_.badModuleNum; break;
    case Behaviour::StrayId: m.msgId ^= kStrayIdBits; break;
    default: break;
    }
}

void Guest::Spoil(std::vector<VmMsg> &out) const
{
    for (VmMsg &m : out) {
        Spoil(m);
    }
}

std::vector<VmMsg> Guest::Receive(const VmMsg &in, const DriveProbe &drive, Clock::time_point now)
{
    std::vector<VmMsg> out;
    if (in.msgType == UPG_MSG_START_UPGRADE) {
        out = StartUpgrade(in, now);
    } else if (in.msgType == UPG_MSG_ATTACH_ISO_RESP) {
        out = AttachAnswered(in, drive, now);
    } else if (auto answer = Answer(in, profile_)) {
        out.push_back(*answer);
    }
    Spoil(out);
    return out;
}

std::vector<VmMsg> Guest::StartUpgrade(const VmMsg &in, Clock::time_point now)
{
    if (phase_ == Phase::AwaitAttach && now - since_ >= kAttachWait) {
        Drop();
    }
    if (Busy() || in.moduleNum < 0 || in.moduleNum > VM_MSG_MODULE_MAX) {
        return {};   // one upgrade at a time; an unsound offer is no offer
    }
    for (int i = 0; i < in.moduleNum; ++i) {
        const ModuleInfo &offer = in.module[i];
        std::string name = GetText(offer.name, sizeof(offer.name));
        std::string version = GetText(offer.curversion, sizeof(offer.curversion));
        for (size_t k = 0; k < profile_.modules.size(); ++k) {
            const Module &m = profile_.modules[k];
            bool planned = std::any_of(plan_.begin(), plan_.end(), [&](const Step &s) { return s.module == k; });
            if (m.name == name && m.type == offer.type && m.curversion != version && !version.empty() &&
                !planned) {
                plan_.push_back({k, version});
            }
        }
    }
    return NextStep(now);
}

std::vector<VmMsg> Guest::NextStep(Clock::time_point now)
{
    if (plan_.empty()) {
        phase_ = Phase::Idle;
        return {};
    }
    const Step &step = plan_.front();
    const Module &m = profile_.modules[step.module];
    VmMsg req = Blank(nextId_++, VM_REQ_ATTACH_ISO_MSG);
    req.moduleNum = 1;
    SetText(req.module[0].name, sizeof(req.module[0].name), m.name);
    SetText(req.module[0].curversion, sizeof(req.module[0].curversion), step.offered);
    req.module[0].type = m.type;
    // The caller spoils what it writes: a StrayId guest's answer comes back under the spoiled id.
    awaitedId_ = profile_.behaviour == Behaviour::StrayId ? req.msgId ^ kStrayIdBits : req.msgId;
    phase_ = Phase::AwaitAttach;
    since_ = now;
    return {req};
}

std::vector<VmMsg> Guest::AttachAnswered(const VmMsg &in, const DriveProbe &drive, Clock::time_point now)
{
    if (phase_ != Phase::AwaitAttach || in.msgId != awaitedId_ || plan_.empty()) {
        return {};   // an answer to no question of this guest
    }
    Step step = plan_.front();
    plan_.pop_front();
    Module &m = profile_.modules[step.module];
    m.tarversion = step.offered;
    int32_t code = in.module[0].rescode;
    std::vector<VmMsg> out;
    if (code != 0) {
        m.rescode = code;
        out.push_back(StateReport());
        for (VmMsg &next : NextStep(now)) {
            out.push_back(next);
        }
        return out;
    }
    Drive d = drive ? drive() : Drive{};
    bool right = d.state == Drive::State::Unseen ||
                 (d.state == Drive::State::Holds &&
                  (d.file.empty() || BaseName(d.file) == IsoFileName(m.name, m.type, step.offered)));
    if (right) {
        m.curversion = step.offered;
        m.rescode = 0;
    } else {
        m.rescode = 1;
    }
    VmMsg detach = Blank(nextId_++, VM_REQ_DETACH_ISO_MSG);
    detach.moduleNum = 1;
    SetText(detach.module[0].name, sizeof(detach.module[0].name), m.name);
    SetText(detach.module[0].curversion, sizeof(detach.module[0].curversion), step.offered);
    detach.module[0].type = m.type;
    out.push_back(detach);
    out.push_back(StateReport());
    phase_ = plan_.empty() ? Phase::Idle : Phase::AwaitDrive;
    since_ = now;
    driveFreeSeen_ = false;
    return out;
}

std::vector<VmMsg> Guest::Tick(const DriveProbe &drive, Clock::time_point now)
{
    std::vector<VmMsg> out;
    if (phase_ == Phase::AwaitAttach && now - since_ >= kAttachWait) {
        // No answer: this run is given up, the module marked failed.
        Module &m = profile_.modules[plan_.front().module];
        m.tarversion = plan_.front().offered;
        m.rescode = 1;
        Drop();
    } else if (phase_ == Phase::AwaitDrive) {
        Drive d = drive ? drive() : Drive{};
        bool free = d.state != Drive::State::Holds || now - since_ >= kDriveWait;
        if (free && !driveFreeSeen_) {
            driveFreeSeen_ = true;
            driveFree_ = now;
        }
        auto pause = d.state == Drive::State::Unseen ? std::chrono::milliseconds(kBlindPause) : kDriveSettle;
        if (driveFreeSeen_ && now - driveFree_ >= pause) {
            out = NextStep(now);
        }
    }
    Spoil(out);
    return out;
}

}  // namespace guestsim
