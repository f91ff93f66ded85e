// What the guest tools inside a VM say to the daemon, apart from how the
// bytes travel (a host socket standing in for the channel, or the VM's
// virtio port). Shared by the in-process simulator of the tests and the
// ortavis-guestsim program.
//
// The guest answers the daemon's health check (1 -> 10), channel fix
// (2 -> 11), auto-upgrade control (12 -> 13) and result query (5 -> 9). On
// the upgrade information (3) it upgrades, one module at a time, every
// offered module it has (same name and type) at another version:
//
//   guest: 6 attach <name, offered version, type>
//   daemon: 4 with rescode 0 attached, 1 failed, 2 refused (its msgId echoed)
//   on 0:  the guest installs from its CD-ROM when the drive holds that ISO
//          (rescode 0, version now the offered one) or fails (rescode 1),
//          then sends 7 detach for the module and 14 with all its modules
//   on 1, 2: the module takes that rescode; 14 without a detach
//
// After a detach the next module waits until the drive is empty again, so
// its attach does not meet the previous ISO. A guest with nothing to upgrade
// sends nothing. A Guest is used by one thread at a time (its transport's).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ortavis_upgd_msg.h"

namespace guestsim {

// How a simulated guest treats the daemon's messages. The first four answer
// with sound contents (the last three with one field spoiled); the others
// are for the transport to act out.
enum class Behaviour {
    Answer,      // answers as sound guest tools do
    WrongType,   // every message it writes has type 12, which the daemon never expects from a guest
    BadCount,    // every message it writes has moduleNum Profile::badModuleNum (7, -1, ...)
    StrayId,     // every message it writes has a msgId nobody waits for
    Silent,      // reads everything, answers nothing
    HangUp,      // closes the channel on the first message
    Half,        // answers with half a message, then nothing
    Garbage,     // answers with 568 bytes of an unknown type and junk fields
    Deaf,        // stays connected and never reads its channel again
    Reset,       // on the next message closes the channel with it unread: the daemon reads ECONNRESET
    HalfReset,   // on the next message writes half its answer, then closes as Reset does
    // On the simulated host only (a virtio port in a real VM has no such ways):
    Dribble,     // writes a byte every 200 ms, never a whole message
    Flood,       // writes health answers nobody waits for, as fast as the channel takes them;
                 // their check result holds a newline and a forged log line
    HalfClose,   // shuts its writing side down as each connection comes, and stays
};

std::optional<Behaviour> ParseBehaviour(const std::string &text);
const char *BehaviourName(Behaviour b);
// True for the behaviours whose messages come from Guest (sound or spoiled in one field).
bool Answers(Behaviour b);

struct Module {
    std::string name;          // e.g. "ortavis"
    std::string curversion;    // version installed in the guest
    std::string tarversion;    // version the last upgrade aimed at
    int32_t rescode = 0;       // upgrade result code
    uint8_t type = ISO_LINUX;
};

// The guest tools' own state.
struct Profile {
    Behaviour behaviour = Behaviour::Answer;
    std::string checkresult = "ok";     // health check text
    std::string fixresult = "fixed";    // channel-fix text
    std::vector<Module> modules;
    int32_t badModuleNum = 7;           // moduleNum written under Behaviour::BadCount
};

// What the guest sees of its CD-ROM drive.
struct Drive {
    enum class State {
        Unseen,   // the guest cannot look (no drive driver): the install trusts the daemon's answer
        Empty,
        Holds,
    };
    State state = State::Unseen;
    std::string file;   // Holds: the medium's file as the guest can name it, empty when it cannot
};
using DriveProbe = std::function<Drive()>;

// The ISO the daemon attaches for a module: "<name>-<linux|windows>-<version>.iso",
// or "ortavis-<os>.iso" for the product module.
std::string IsoFileName(const std::string &name, uint8_t type, const std::string &version);

// One VM's guest tools: their modules and the upgrade under way.
class Guest {
public:
    using Clock = std::chrono::steady_clock;
    // A wait for the daemon's attach answer that gives up after this long.
    static constexpr std::chrono::seconds kAttachWait{30};
    // After a detach: how long the next module waits for the drive to empty,
    // and the pause after it did (the daemon's ejects of the module may still run).
    static constexpr std::chrono::seconds kDriveWait{20};
    static constexpr std::chrono::milliseconds kDriveSettle{1000};

    explicit Guest(Profile profile = {});

    const Profile &profile() const { return profile_; }
    Profile &profile() { return profile_; }

    // The messages the guest writes, in order, on one whole message from
    // the daemon; spoiled as the behaviour says.
    std::vector<VmMsg> Receive(const VmMsg &in, const DriveProbe &drive, Clock::time_point now = Clock::now());
    // The messages due without a message from the daemon (the next module's
    // attach once the drive is free); empty while none is.
    std::vector<VmMsg> Tick(const DriveProbe &drive, Clock::time_point now = Clock::now());
    // An upgrade is under way: the transport should Tick within 100 ms.
    bool Busy() const { return phase_ != Phase::Idle; }
    // The channel went: an upgrade under way ends where it stands.
    void Drop();
    // A message of the guest's own (attach, detach, upgrade information,
    // state report), from its profile, with the guest's next msgId, spoiled
    // as its behaviour says.
    VmMsg Request(uint32_t msgType);

private:
    struct Step {
        size_t module;         // index in profile_.modules
        std::string offered;   // version the daemon offers
    };
    enum class Phase { Idle, AwaitAttach, AwaitDrive };

    std::vector<VmMsg> StartUpgrade(const VmMsg &in, Clock::time_point now);
    std::vector<VmMsg> AttachAnswered(const VmMsg &in, const DriveProbe &drive, Clock::time_point now);
    std::vector<VmMsg> NextStep(Clock::time_point now);
    VmMsg StateReport();
    void Spoil(VmMsg &m) const;   // one field spoiled, as the behaviour says
    void Spoil(std::vector<VmMsg> &out) const;

    Profile profile_;
    std::deque<Step> plan_;   // front: the module being upgraded
    Phase phase_ = Phase::Idle;
    uint64_t awaitedId_ = 0;   // msgId of the attach request in flight
    Clock::time_point since_{};
    Clock::time_point driveFree_{};   // AwaitDrive: when the drive was first seen empty
    bool driveFreeSeen_ = false;
    uint64_t nextId_ = 1;
};

// The answer of sound guest tools to one message from the daemon that the
// guest answers by itself (1, 2, 5, 12), or none.
std::optional<VmMsg> Answer(const VmMsg &in, const Profile &profile);

// A guest-initiated message of the given type (attach, detach, upgrade
// information, state report) naming the first module of the profile.
VmMsg Request(uint32_t msgType, const Profile &profile, uint64_t msgId = 0);

// The bytes a misbehaving guest writes for one message.
std::vector<uint8_t> Junk();

// Text field helpers: bounded to the field, NUL-terminated inside it.
void SetText(char *field, size_t size, const std::string &text);
std::string GetText(const char *field, size_t size);

}  // namespace guestsim
