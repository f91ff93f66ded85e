// The simulated host's own pieces, where a slip would reach the real machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "upgd_sandbox.h"

namespace {

using upgd_test::ExitCode;

// ortavis-logsink replaces /dev/log only where /dev is the sandbox's own: in a
// mount namespace of its own whose /dev is another tmpfs (as a host's is not
// the sandbox's), it refuses and the /dev/log there stays.
TEST(LogSink, RefusesADevThatIsNotTheSandboxs)
{
    // A sink that does not refuse would collect until killed: timeout bounds it.
    const std::string script = "mount -t tmpfs host-dev /dev && : > /dev/log && timeout 5 " LOGSINK_PATH
                               " 2>/dev/null; rc=$?; test -f /dev/log && exit $rc";
    int status = std::system(("unshare --mount --propagation private sh -c '" + script + "'").c_str());
    EXPECT_EQ(ExitCode(status), 2);
}

}  // namespace
