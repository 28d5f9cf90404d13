#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "MacAddress.h"

// One entry of the kernel's IPv4 neighbour table.
struct NeighbourEntry {
    uint16_t state = 0;             // NUD_* bits
    std::optional<MacAddress> mac;  // none while unresolved
    int interfaceIndex = 0;
};

// The interface with an IPv4 address (not loopback) whose subnet holds address; needs no privilege.
std::optional<int> LocalInterfaceForSubnet(uint32_t address);
