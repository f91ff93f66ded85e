#include "fake_virsh.h"

#include <cstdlib>
#include <filesystem>
#include <set>

#include "guest_sim_host.h"
#include "upgd_sandbox.h"

namespace upgd_test {

namespace fs = std::filesystem;

namespace {

// A shell word that stands for `text` exactly.
std::string Quote(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string ScriptPath(const std::string &command, const std::string &vm)
{
    return FakeVirsh::Dir() + "/script/" + command + (vm.empty() ? "" : "@" + vm);
}

}  // namespace

FakeVirsh::FakeVirsh()
{
    fs::create_directories(Dir() + "/calls");
    fs::create_directories(Dir() + "/script");
    setenv("FAKEVIRSH_DIR", Dir().c_str(), 1);
    const char *old = getenv("PATH");
    oldPath_ = old != nullptr ? old : "/usr/sbin:/usr/bin:/sbin:/bin";
    setenv("PATH", (std::string(UPGD_FAKEBIN_DIR) + ":" + oldPath_).c_str(), 1);
}

FakeVirsh::~FakeVirsh()
{
    std::error_code ignored;
    fs::remove_all(Dir(), ignored);
    setenv("PATH", oldPath_.c_str(), 1);
    unsetenv("FAKEVIRSH_DIR");
}

void FakeVirsh::Script(const std::string &command, const std::string &vm, const Reply &reply)
{
    WriteFile(ScriptPath(command, vm), "rc=" + std::to_string(reply.rc) + "\nout=" + Quote(reply.out) +
                                           "\nerr=" + Quote(reply.err) + "\ndelay=" + Quote(reply.delay) + "\n");
}

void FakeVirsh::ScriptShell(const std::string &command, const std::string &vm, const std::string &fragment)
{
    WriteFile(ScriptPath(command, vm), fragment);
}

void FakeVirsh::Unscript(const std::string &command, const std::string &vm)
{
    fs::remove(ScriptPath(command, vm));
}

std::vector<std::vector<std::string>> FakeVirsh::Calls() const
{
    std::set<fs::path> files(fs::directory_iterator(Dir() + "/calls"), {});   // the names sort in call order
    std::vector<std::vector<std::string>> calls;
    for (const auto &f : files) {
        std::string raw = ReadFile(f).value_or("");
        auto &args = calls.emplace_back();
        for (size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos; start = end + 1) {
            args.push_back(raw.substr(start, end - start));
        }
    }
    return calls;
}

void FakeVirsh::ClearCalls()
{
    for (const auto &e : fs::directory_iterator(Dir() + "/calls")) {
        fs::remove(e.path());
    }
}

bool InstallDriveScript()
{
    std::error_code error;
    fs::create_directories(fs::path(kDriveScript).parent_path(), error);
    fs::copy_file(UPGD_DRIVE_SCRIPT, kDriveScript, fs::copy_options::overwrite_existing, error);
    return !error;
}

std::string DriveSource(const std::string &vm)
{
    return guestsim::CdromMedium("/var/run/libvirt/qemu/" + vm + ".xml", "");
}

}  // namespace upgd_test
