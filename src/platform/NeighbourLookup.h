#pragma once

// Reading the kernel's IPv4 neighbour table over rtnetlink (RTM_GETNEIGH dump); needs no privilege.

#include <cstdint>
#include <optional>

#include "NeighbourTable.h"

// The entry for address (host order). When several interfaces hold one, an entry that names a hardware address
// in an answered state comes first. None when there is no entry or the table cannot be read.
std::optional<NeighbourEntry> LookUpNeighbour(uint32_t address);

// A host has answered for the address lately: reachable, stale, delay or probe.
bool IsAnsweredState(uint16_t state);
