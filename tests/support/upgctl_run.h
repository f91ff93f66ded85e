// Runs the ortavis-upgctl binary of this build (UPGCTL_PATH, set by the test
// target) inside the sandbox, its output caught in files under /run/sandbox.
#pragma once

#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "upgd_sandbox.h"

namespace upgd_test {

// Runs the tool with args (none holds a '): exit status, stdout, stderr.
inline std::tuple<int, std::string, std::string> Upgctl(const std::vector<std::string> &args)
{
    std::string cmd = UPGCTL_PATH;
    for (const std::string &a : args) {
        cmd += " '" + a + "'";
    }
    int status = std::system((cmd + " >/run/sandbox/upgctl.out 2>/run/sandbox/upgctl.err").c_str());
    return std::tuple(ExitCode(status), ReadFile("/run/sandbox/upgctl.out").value_or("?"),
                      ReadFile("/run/sandbox/upgctl.err").value_or("?"));
}

}  // namespace upgd_test
