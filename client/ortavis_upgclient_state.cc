// The reader of the daemon's host state replies: a page's records, copied
// out of the body one at a time and checked before anything is kept, so a
// reply that does not parse leaves the caller's state as it was. Pure: no
// descriptor, no lock; the fetch of the pages lives with the other requests.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ortavis_upgclient.h"

namespace {

// Reads records off the front of a body.
class Cursor {
public:
    Cursor(const unsigned char *body, size_t len) : p_(body), left_(len) {}
    bool Take(void *out, size_t n)
    {
        if (n > left_) {
            return false;
        }
        if (n > 0) {
            std::memcpy(out, p_, n);
        }
        p_ += n;
        left_ -= n;
        return true;
    }
    size_t Left() const { return left_; }

private:
    const unsigned char *p_;
    size_t left_;
};

bool Terminated(const char *field, size_t size)
{
    return std::memchr(field, '\0', size) != nullptr;
}

// n text bytes without a NUL among them, into out with its terminator.
bool TakeText(Cursor &c, char *out, size_t n)
{
    if (!c.Take(out, n) || std::memchr(out, '\0', n) != nullptr) {
        return false;
    }
    out[n] = '\0';
    return true;
}

bool ParseDaemonPage(Cursor &c, const UpgStateHead &head, UpgClientHostState *state, unsigned *more)
{
    UpgStateDaemon d;
    char current[VM_NAME_MAX + 1];
    UpgStateOffer offer[UPG_STATE_OFFER_MAX];
    if (head.vmCount != 0 || head.more > 1 || !c.Take(&d, sizeof(d)) ||
        !Terminated(d.version, sizeof(d.version)) || d.offerCount > UPG_STATE_OFFER_MAX ||
        d.currentNameLen > VM_NAME_MAX || !TakeText(c, current, d.currentNameLen) ||
        !c.Take(offer, d.offerCount * sizeof(UpgStateOffer)) || c.Left() != 0 ||
        (head.more == 1) != (d.vmCount > 0)) {
        return false;
    }
    for (int i = 0; i < d.offerCount; ++i) {
        if (!Terminated(offer[i].module, sizeof(offer[i].module)) ||
            !Terminated(offer[i].version, sizeof(offer[i].version))) {
            return false;
        }
    }
    state->daemon = d;
    std::memcpy(state->current, current, sizeof(current));
    state->offerCount = d.offerCount;
    std::memcpy(state->offer, offer, sizeof(offer));
    *more = head.more;
    return true;
}

bool ParseVm(Cursor &c, UpgClientVmState *vm)
{
    UpgStateVm rec;
    *vm = UpgClientVmState{};
    if (!c.Take(&rec, sizeof(rec)) || rec.nameLen == 0 || rec.nameLen > VM_NAME_MAX || rec.channel > 1 ||
        rec.moduleCount > VM_MSG_MODULE_MAX || rec.isoNameLen > UPG_STATE_ISO_NAME_MAX ||
        (rec.flags & ~(UPG_VM_ISO_IN_DRIVE | UPG_VM_UPGRADE_AVAILABLE)) != 0 ||
        (rec.isoNameLen > 0 && (rec.flags & UPG_VM_ISO_IN_DRIVE) == 0) || !TakeText(c, vm->name, rec.nameLen) ||
        !TakeText(c, vm->iso, rec.isoNameLen)) {
        return false;
    }
    vm->channel = rec.channel;
    vm->state = rec.state;
    vm->outcome = rec.outcome;
    vm->isoInDrive = (rec.flags & UPG_VM_ISO_IN_DRIVE) != 0;
    vm->isoAge = rec.isoAge;
    vm->upgradeAvailable = (rec.flags & UPG_VM_UPGRADE_AVAILABLE) != 0;
    vm->moduleCount = rec.moduleCount;
    for (int m = 0; m < rec.moduleCount; ++m) {
        UpgStateModule mod;
        if (!c.Take(&mod, sizeof(mod)) || !Terminated(mod.name, sizeof(mod.name)) ||
            !Terminated(mod.curversion, sizeof(mod.curversion)) ||
            !Terminated(mod.tarversion, sizeof(mod.tarversion))) {
            return false;
        }
        UpgClientModuleState &out = vm->modules[m];
        std::memcpy(out.name, mod.name, sizeof(out.name));
        std::memcpy(out.curversion, mod.curversion, sizeof(out.curversion));
        std::memcpy(out.tarversion, mod.tarversion, sizeof(out.tarversion));
        out.rescode = mod.rescode;
        out.age = mod.age;
    }
    return true;
}

bool ParseVmPage(Cursor &c, const UpgStateHead &head, UpgClientHostState *state, unsigned *more)
{
    if (head.more > 1 || (head.more == 1 && head.vmCount == 0)) {
        return false;
    }
    UpgClientVmState parsed[UPG_STATE_PAGE_VMS_MAX];
    if (head.vmCount > UPG_STATE_PAGE_VMS_MAX) {
        return false;
    }
    for (unsigned i = 0; i < head.vmCount; ++i) {
        if (!ParseVm(c, &parsed[i])) {
            return false;
        }
    }
    if (c.Left() != 0) {
        return false;
    }
    size_t room = state->vmCount + head.vmCount;
    auto *grown = static_cast<UpgClientVmState *>(std::realloc(state->vms, (room > 0 ? room : 1) * sizeof(UpgClientVmState)));
    if (grown == nullptr) {
        errno = ENOMEM;
        return false;
    }
    state->vms = grown;
    for (unsigned i = 0; i < head.vmCount; ++i) {
        if (state->vmCount > 0 && std::strcmp(parsed[i].name, state->vms[state->vmCount - 1].name) <= 0) {
            continue;   // came twice: the list moved between two pages
        }
        state->vms[state->vmCount++] = parsed[i];
    }
    *more = head.more;
    return true;
}

}  // namespace

extern "C" int upgClientParseStatePage(const unsigned char *body, size_t len, unsigned part,
                                       UpgClientHostState *state, unsigned *more)
{
    errno = EINVAL;
    if (body == nullptr || state == nullptr || more == nullptr || len > CLIENT_MSG_BODY_MAX || part > UPG_STATE_VMS) {
        return -1;
    }
    Cursor c(body, len);
    UpgStateHead head;
    if (!c.Take(&head, sizeof(head)) || head.reserved != 0) {
        return -1;
    }
    bool ok = part == UPG_STATE_DAEMON ? ParseDaemonPage(c, head, state, more) : ParseVmPage(c, head, state, more);
    return ok ? 0 : -1;
}
