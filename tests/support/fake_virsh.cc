#include "fake_virsh.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "upgd_sandbox.h"

namespace upgd_test {

namespace {

// A shell word that stands for `text` exactly.
std::string Quote(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

}  // namespace

std::string FakeVirsh::Dir()
{
    return "/var/run/fakevirsh";
}

FakeVirsh::FakeVirsh()
{
    MakeDirs(Dir() + "/calls");
    MakeDirs(Dir() + "/script");
    setenv("FAKEVIRSH_DIR", Dir().c_str(), 1);
    const char *old = getenv("PATH");
    oldPath_ = old != nullptr ? old : "/usr/sbin:/usr/bin:/sbin:/bin";
    setenv("PATH", (std::string(UPGD_FAKEBIN_DIR) + ":" + oldPath_).c_str(), 1);
}

FakeVirsh::~FakeVirsh()
{
    std::error_code ignored;
    std::filesystem::remove_all(Dir(), ignored);
    setenv("PATH", oldPath_.c_str(), 1);
    unsetenv("FAKEVIRSH_DIR");
}

std::string FakeVirsh::ScriptPath(const std::string &command, const std::string &vm)
{
    return Dir() + "/script/" + command + (vm.empty() ? "" : "@" + vm);
}

void FakeVirsh::Script(const std::string &command, const std::string &vm, const Reply &reply)
{
    std::string text = "rc=" + std::to_string(reply.rc) + "\nout=" + Quote(reply.out) +
                       "\nerr=" + Quote(reply.err) + "\ndelay=" + Quote(reply.delay) + "\n";
    WriteFile(ScriptPath(command, vm), text);
}

void FakeVirsh::Unscript(const std::string &command, const std::string &vm)
{
    unlink(ScriptPath(command, vm).c_str());
}

std::vector<std::vector<std::string>> FakeVirsh::Calls() const
{
    std::vector<std::string> files;
    std::string dir = Dir() + "/calls";
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') {
                files.emplace_back(e->d_name);
            }
        }
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    std::vector<std::vector<std::string>> calls;
    for (const auto &f : files) {
        std::string raw = ReadFile(dir + "/" + f).value_or("");
        std::vector<std::string> args;
        size_t start = 0;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\0') {
                args.push_back(raw.substr(start, i - start));
                start = i + 1;
            }
        }
        calls.push_back(std::move(args));
    }
    return calls;
}

void FakeVirsh::ClearCalls()
{
    std::string dir = Dir() + "/calls";
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] != '.') {
                unlink((dir + "/" + e->d_name).c_str());
            }
        }
        closedir(d);
    }
}

}  // namespace upgd_test
