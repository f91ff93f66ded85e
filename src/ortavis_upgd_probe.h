// The guest agent probe and the check of names bound for command lines.
//
// Before the daemon sends a VM anything that needs an answer it asks the
// QEMU guest agent inside the VM for a guest-ping through virsh. The probe
// holds no lock and blocks its caller: one attempt takes at most 30 seconds
// (the command is killed, with everything it started, after that), the
// patient mode up to 12 attempts 5 seconds apart.
#pragma once

// 0 when every character of `param` is an ASCII letter, digit, '-', '.',
// '/', ':' or '_' (the empty string passes) and it does not begin with '-',
// otherwise -1. A name that begins with '-' would reach a tool as an option
// (virsh takes the VM name as a plain argument), so no such name is ever
// put into a command line.
int checkCmdParam(const char *param);

inline constexpr int PING_MODE_PATIENT = 1;   // 12 attempts, 5 s apart
inline constexpr int PING_MODE_ONCE = 2;      // one attempt

// 1 when the VM's guest agent answered a guest-ping, 0 otherwise.
int pingVmGuestAgent(const char *vmName, int mode);
