// How tests look into the daemon's VM registry, each under the registry lock:
// the names it holds, and a counted reference to one entry; and how a test
// makes the registry with its two upgrade lists and empties them again.
#pragma once

#include <set>
#include <string>

#include "ortavis_upgd_task.h"
#include "ortavis_upgd_vm.h"

namespace upgd_test {

inline std::set<std::string> RegistryNames()
{
    std::set<std::string> out;
    ObjectLockGuard reg(GetVmListHead());
    for (VmNode *n = GetVmListHead()->next; n != nullptr; n = n->next) {
        out.emplace(n->name);
    }
    return out;
}

inline VmRef FindVm(const std::string &name)
{
    ObjectLockGuard reg(GetVmListHead());
    return VmRef(findVmByName(GetVmListHead(), name.c_str()));
}

inline int InitRegistry()
{
    return InitVmListLock() | InitIndependentVmListLock() | InitUpgVmListAddLock();
}

inline void ClearRegistry()
{
    ObjectLockGuard reg(GetVmListHead());
    ObjectLockGuard ind(GetIndependentVmList());
    ObjectLockGuard up(GetUpgVmAddList());
    ClearUpgVmAddList();
    ClearIndependentVmList();
    clearVmList(GetVmListHead());
}

}  // namespace upgd_test
