// Owners of what the client library hands out, for the C++ code of this
// tree (the tool, the tests): a handle closed and a host state freed as
// they go. Not installed: the library's interface is C.
#pragma once

#include <memory>

#include "ortavis_upgclient.h"

struct UpgHandleCloser {
    void operator()(UpgClientHandle *h) const { upgClientClose(h); }
};
using UpgHandle = std::unique_ptr<UpgClientHandle, UpgHandleCloser>;

struct UpgStateFree {
    void operator()(UpgClientHostState *s) const { upgClientFreeHostState(s); }
};
using UpgState = std::unique_ptr<UpgClientHostState, UpgStateFree>;
