// What the guest tools inside a VM answer to the daemon's VM messages, apart
// from how the bytes travel (a host socket standing in for the channel, or
// the VM's virtio port). Shared by the in-process simulator of the tests and
// the ortavis-guestsim program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ortavis_upgd_msg.h"

namespace guestsim {

// How a simulated guest treats the daemon's messages.
enum class Behaviour {
    Answer,    // answers as sound guest tools do
    Silent,    // reads everything, answers nothing
    HangUp,    // closes the channel on the first message
    Half,      // answers with half a message, then nothing
    Garbage,   // answers with 568 bytes of an unknown type and junk fields
    Deaf,      // stays connected and never reads its channel again
};

std::optional<Behaviour> ParseBehaviour(const std::string &text);
const char *BehaviourName(Behaviour b);

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
};

// The answer of sound guest tools to one message from the daemon, or none
// (the message needs no answer).
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
