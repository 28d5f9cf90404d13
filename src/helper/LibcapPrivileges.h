#pragma once

#include "HelperSystem.h"

#include <string>

// The process's own capability sets through libcap.
class LibcapPrivileges : public HelperPrivileges {
  public:
    // Keeps only CAP_NET_RAW and CAP_NET_ADMIN (those of them that are there) in the
    // permitted set, also when started by root, and empties the effective, inheritable and ambient sets. False,
    // with the reason in error, when the kernel refuses.
    bool Restrict(std::string& error);

    bool Holds(HelperCapability capability) const override;
    bool Raise(HelperCapability capability) override;
    void Lower(HelperCapability capability) override;
};
