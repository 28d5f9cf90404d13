#pragma once

#include "AdapterInfo.h"

#include <cstdint>
#include <vector>

// True when `address` (host order) lies in the network of one of the adapters: both the adapter's address
// and mask text parse and (address AND mask) equals (adapter address AND mask). False for an empty list.
bool IsOnLocalSubnet(uint32_t address, const std::vector<AdapterInfo>& adapters);
