// Test-side control of the fake virsh (sim/fakebin/virsh): puts it
// first on PATH for this process and its children (the daemon included),
// scripts its answers and reads back every call it got.
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
    // Removes its calls, scripts and drive states and takes itself off PATH.
    ~FakeVirsh();
    FakeVirsh(const FakeVirsh &) = delete;
    FakeVirsh &operator=(const FakeVirsh &) = delete;
    // Scripts `command` (domstate, change-media, qemu-agent-command) for one
    // VM, or for every VM when vm is empty.
    void Script(const std::string &command, const std::string &vm, const Reply &reply);
    void Unscript(const std::string &command, const std::string &vm);
    // Every call so far, oldest first, each its argument vector.
    std::vector<std::vector<std::string>> Calls() const;
    void ClearCalls();

    static std::string Dir() { return "/var/run/fakevirsh"; }

private:
    std::string oldPath_;
};

}  // namespace upgd_test
