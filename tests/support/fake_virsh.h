// Test-side control of the fake virsh (sim/fakebin/virsh): puts it
// first on PATH for this process and its children (the daemon included),
// scripts its answers and reads back every call it got. The product's drive
// script (sim/gethdbiso.sh), once installed, is scripted and recorded the same
// way, as the command "gethdbiso".
#pragma once

#include <string>
#include <vector>

namespace upgd_test {

class FakeVirsh {
public:
    struct Reply {
        int rc = 0;
        std::string out;     // standard output, as printed
        std::string err;     // standard error line
        std::string delay;   // seconds to wait first, or "hang"
    };

    FakeVirsh();
    // Removes its calls and scripts and takes itself off PATH. A drive's
    // medium stays in the VM's live description.
    ~FakeVirsh();
    FakeVirsh(const FakeVirsh &) = delete;
    FakeVirsh &operator=(const FakeVirsh &) = delete;
    // Scripts `command` (domstate, change-media, qemu-agent-command, or
    // gethdbiso for the drive script) for one VM, or for every VM when vm is
    // empty. A scripted reply is given instead of the default one; a
    // change-media whose reply fails leaves the drive as it was.
    void Script(const std::string &command, const std::string &vm, const Reply &reply);
    // The same with a shell fragment of the test's own: it runs after the
    // default answer is worked out, sees the call's arguments in ${all[@]}
    // and may set rc, out, err and delay, and flood (megabytes after the
    // answer: see sim/fakebin/virsh).
    void ScriptShell(const std::string &command, const std::string &vm, const std::string &fragment);
    void Unscript(const std::string &command, const std::string &vm);
    // Every call so far, oldest first, each its argument vector: virsh's
    // arguments, or {"gethdbiso", vm, verb} for the drive script.
    std::vector<std::vector<std::string>> Calls() const;
    void ClearCalls();

    static std::string Dir() { return "/var/run/fakevirsh"; }

private:
    std::string oldPath_;
};

// Where the daemon runs the product's drive script.
inline constexpr const char *kDriveScript = "/opt/patch/programfiles/ortavis/gethdbiso.sh";
// Installs the drive script (sim/gethdbiso.sh) at kDriveScript; false when it could not.
bool InstallDriveScript();
// The medium in the VM's CD-ROM drive, whatever its target: the file of the
// <source> in the cdrom disk block of its live description, unescaped; empty
// when the drive is empty, or when there is no such drive or VM.
std::string DriveSource(const std::string &vm);

}  // namespace upgd_test
