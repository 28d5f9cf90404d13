#pragma once

#include "HelperProtocol.h"
#include "HelperSystem.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The helper's checks on what the program asks for. Each returns nothing when the value is acceptable, otherwise
// the reason, as the text of the refusal. Addresses are IPv4 in host order.

// A unicast host address that may get a neighbour entry or host route: not 0.0.0.0, the limited broadcast,
// multicast (224/4), loopback (127/8) or 240/4; not the network or broadcast address of a local subnet whose
// prefix is shorter than 31; not an address of this PC; not the gateway of any route.
std::optional<std::string> CheckHostAddress(uint32_t address, std::span<const HelperLocalAddress> local,
                                            std::span<const uint32_t> gateways);

// A non-zero unicast MAC (bit 0 of the first byte clear).
std::optional<std::string> CheckMac(const MacAddress& mac);

// The interface exists, is up and is Ethernet.
std::optional<std::string> CheckInterface(int index, const std::optional<HelperInterface>& facts);
