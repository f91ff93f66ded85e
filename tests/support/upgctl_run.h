// Runs the ortavis-upgctl binary of this build (UPGCTL_PATH, set by the test
// target) inside the sandbox.
#pragma once

#include <string>
#include <tuple>
#include <vector>

#include "realhost_vm.h"

namespace upgd_test {

// Runs the tool with args, without a shell: exit status, stdout, stderr.
inline std::tuple<int, std::string, std::string> Upgctl(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {UPGCTL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    realhost::CommandResult r = realhost::RunCommand(argv);
    return std::tuple(r.status, r.out, r.err);
}

}  // namespace upgd_test
