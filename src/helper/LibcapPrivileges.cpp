#include "LibcapPrivileges.h"

#include <sys/capability.h>

#include <cerrno>
#include <cstring>

namespace {

cap_value_t ValueOf(HelperCapability capability) {
    switch (capability) {
        case HelperCapability::NetRaw:
            return CAP_NET_RAW;
        case HelperCapability::NetAdmin:
            return CAP_NET_ADMIN;
    }
    return CAP_NET_ADMIN;
}

// Sets one capability's bit in the given sets of the process; false when the kernel refuses.
bool Change(HelperCapability capability, std::initializer_list<cap_flag_t> sets, cap_flag_value_t value) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) {
        return false;
    }
    cap_value_t which = ValueOf(capability);
    bool ok = true;
    for (const cap_flag_t set : sets) {
        ok = ok && cap_set_flag(caps, set, 1, &which, value) == 0;
    }
    ok = ok && cap_set_proc(caps) == 0;
    cap_free(caps);
    return ok;
}

}  // namespace

bool LibcapPrivileges::Restrict(std::string& error) {
    cap_t current = cap_get_proc();
    cap_t kept = cap_init();
    bool ok = current != nullptr && kept != nullptr;
    for (const HelperCapability capability : {HelperCapability::NetRaw, HelperCapability::NetAdmin}) {
        cap_value_t which = ValueOf(capability);
        cap_flag_value_t permitted = CAP_CLEAR;
        if (ok && cap_get_flag(current, which, CAP_PERMITTED, &permitted) == 0 && permitted == CAP_SET) {
            ok = cap_set_flag(kept, CAP_PERMITTED, 1, &which, CAP_SET) == 0;
        }
    }
    ok = ok && cap_set_proc(kept) == 0;
    const int reason = errno;
    // A kernel without ambient capabilities has none to clear.
    if (ok && CAP_AMBIENT_SUPPORTED()) {
        ok = cap_reset_ambient() == 0;
    }
    if (!ok) {
        error = std::strerror(reason);
    }
    cap_free(current);
    cap_free(kept);
    return ok;
}

bool LibcapPrivileges::Holds(HelperCapability capability) const {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) {
        return false;
    }
    cap_flag_value_t permitted = CAP_CLEAR;
    const bool held = cap_get_flag(caps, ValueOf(capability), CAP_PERMITTED, &permitted) == 0 && permitted == CAP_SET;
    cap_free(caps);
    return held;
}

bool LibcapPrivileges::Raise(HelperCapability capability) {
    return Holds(capability) && Change(capability, {CAP_EFFECTIVE}, CAP_SET);
}

void LibcapPrivileges::Lower(HelperCapability capability) {
    Change(capability, {CAP_EFFECTIVE}, CAP_CLEAR);
}
