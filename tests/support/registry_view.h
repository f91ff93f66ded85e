// How tests look into the daemon's VM registry: its names front to back
// (newest first) and a counted reference to one entry, each under the
// registry lock.
#pragma once

#include <string>
#include <vector>

#include "ortavis_upgd_task.h"
#include "ortavis_upgd_vm.h"

namespace upgd_test {

inline std::vector<std::string> RegistryNames()
{
    std::vector<std::string> out;
    ObjectLockGuard reg(GetVmListHead());
    for (VmNode *n = GetVmListHead()->next; n != nullptr; n = n->next) {
        out.emplace_back(n->name);
    }
    return out;
}

inline VmRef FindVm(const std::string &name)
{
    ObjectLockGuard reg(GetVmListHead());
    return VmRef(findVmByName(GetVmListHead(), name.c_str()));
}

}  // namespace upgd_test
