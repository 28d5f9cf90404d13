#include "HelperChecks.h"

std::optional<std::string> CheckHostAddress(uint32_t address, std::span<const HelperLocalAddress> local,
                                            std::span<const uint32_t> gateways) {
    const std::string text = "address " + HelperAddressText(address);
    if (address == 0) {
        return text + " is not a host address";
    }
    if (address == 0xFFFFFFFF) {
        return text + " is the limited broadcast";
    }
    if ((address >> 28) == 0xE) {
        return text + " is multicast";
    }
    if ((address >> 28) == 0xF) {
        return text + " is reserved (240/4)";
    }
    if ((address >> 24) == 127) {
        return text + " is loopback";
    }
    for (const HelperLocalAddress& entry : local) {
        if (entry.address == address) {
            return text + " is an address of this PC";
        }
    }
    for (const HelperLocalAddress& entry : local) {
        if (entry.prefixLength < 1 || entry.prefixLength >= 31) {
            continue;
        }
        const uint32_t mask = 0xFFFFFFFFu << (32 - entry.prefixLength);
        if ((address & mask) != (entry.address & mask)) {
            continue;
        }
        const std::string subnet = " of the local subnet " + HelperAddressText(entry.address & mask) + "/" +
                                   std::to_string(entry.prefixLength);
        if ((address & ~mask) == ~mask) {
            return text + " is the broadcast address" + subnet;
        }
        if ((address & ~mask) == 0) {
            return text + " is the network address" + subnet;
        }
    }
    for (const uint32_t gateway : gateways) {
        if (gateway == address) {
            return text + " is the gateway of a route";
        }
    }
    return std::nullopt;
}

std::optional<std::string> CheckMac(const MacAddress& mac) {
    if (mac.IsZero()) {
        return "MAC " + mac.ColonText() + " is zero";
    }
    if (mac.IsMulticast()) {
        return "MAC " + mac.ColonText() + " is not unicast";
    }
    return std::nullopt;
}

std::optional<std::string> CheckInterface(int index, const std::optional<HelperInterface>& facts) {
    const std::string name = "interface " + std::to_string(index);
    if (!facts) {
        return "no " + name;
    }
    if (!facts->up) {
        return name + " is down";
    }
    if (!facts->ethernet) {
        return name + " is not Ethernet";
    }
    return std::nullopt;
}
