#include "HelperChecks.h"

#include "CameraAddressFilter.h"
#include "Ipv4Text.h"

#include <linux/neighbour.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <vector>

namespace {

// The address classes that are never one host; nothing for a unicast address.
std::optional<std::string> CheckUnicast(uint32_t address) {
    const std::string text = "address " + FormatDottedAddress(address);
    if ((address >> 24) == 0) {
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
    return std::nullopt;
}

// The network or broadcast address of a local subnet; nothing for other addresses.
std::optional<std::string> CheckSubnetEdges(uint32_t address, std::span<const HelperLocalAddress> local) {
    const std::string text = "address " + FormatDottedAddress(address);
    for (const HelperLocalAddress& entry : local) {
        if (entry.prefixLength < 1 || entry.prefixLength >= 31) {
            continue;
        }
        const uint32_t mask = 0xFFFFFFFFu << (32 - entry.prefixLength);
        if ((address & mask) != (entry.address & mask)) {
            continue;
        }
        const std::string subnet = " of the local subnet " + FormatDottedAddress(entry.address & mask) + "/" +
                                   std::to_string(entry.prefixLength);
        if ((address & ~mask) == ~mask) {
            return text + " is the broadcast address" + subnet;
        }
        if ((address & ~mask) == 0) {
            return text + " is the network address" + subnet;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> CheckHostAddress(uint32_t address, std::span<const HelperLocalAddress> local,
                                            std::span<const uint32_t> gateways) {
    if (auto why = CheckUnicast(address)) {
        return why;
    }
    const std::string text = "address " + FormatDottedAddress(address);
    for (const HelperLocalAddress& entry : local) {
        if (entry.address == address) {
            return text + " is an address of this PC";
        }
    }
    if (auto why = CheckSubnetEdges(address, local)) {
        return why;
    }
    for (const uint32_t gateway : gateways) {
        if (gateway == address) {
            return text + " is the gateway of a route";
        }
    }
    return std::nullopt;
}

std::optional<std::string> CheckEchoDestination(uint32_t address, std::span<const HelperLocalAddress> local) {
    if (auto why = CheckUnicast(address)) {
        return why;
    }
    return CheckSubnetEdges(address, local);
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

std::optional<uint32_t> SourceAddress(int index, uint32_t address, std::span<const HelperLocalAddress> local,
                                      bool& sameSubnet) {
    std::optional<uint32_t> first;
    sameSubnet = false;
    for (const HelperLocalAddress& entry : local) {
        if (entry.interfaceIndex != index) {
            continue;
        }
        const uint32_t mask = entry.prefixLength <= 0 ? 0 : 0xFFFFFFFFu << (32 - std::min(entry.prefixLength, 32));
        if ((address & mask) == (entry.address & mask)) {
            sameSubnet = true;
            return entry.address;
        }
        if (!first) {
            first = entry.address;
        }
    }
    return first;
}

std::variant<HelperRefusal, InstallPlan> CheckInstallBegin(const HelperRequest& request, const InstallFacts& facts) {
    const int index = request.interfaceIndex;
    const uint32_t address = request.address;
    if (!facts.interface) {
        return HelperRefusal{ENODEV, "no interface " + std::to_string(index)};
    }
    if (auto why = CheckInterface(index, facts.interface)) {
        return HelperRefusal{facts.interface->up ? EPROTOTYPE : ENETDOWN, *why};
    }
    if (!facts.local) {
        return HelperRefusal{EIO, "cannot read the addresses of this PC"};
    }
    InstallPlan plan;
    const auto source = SourceAddress(index, address, *facts.local, plan.sameSubnet);
    if (!source) {
        return HelperRefusal{EADDRNOTAVAIL, "interface " + std::to_string(index) + " has no IPv4 address"};
    }
    plan.source = *source;
    if (auto why = CheckMac(request.mac)) {
        return HelperRefusal{EINVAL, *why};
    }
    if (!CameraAddressFilter(request.mac)) {
        return HelperRefusal{EPERM, "MAC " + request.mac.ColonText() + " is not a camera's"};
    }
    if (!facts.gateways) {
        return HelperRefusal{EIO, "cannot read the routes"};
    }
    if (auto why = CheckHostAddress(address, *facts.local, *facts.gateways)) {
        return HelperRefusal{why->ends_with("gateway of a route") ? EPERM : EINVAL, *why};
    }
    if (facts.begunHere) {
        return HelperRefusal{EALREADY, FormatDottedAddress(address) + " is already being installed by this helper"};
    }
    if (!plan.sameSubnet && facts.uid > kHelperMaxUid) {
        return HelperRefusal{EOVERFLOW, "uid " + std::to_string(facts.uid) + " has no private routing table"};
    }
    if (!facts.registered) {
        return HelperRefusal{EIO, "cannot read the routes"};
    }
    if (auto refusal = CheckRegister(*facts.registered, address, facts.uid, false)) {
        return *refusal;
    }
    return plan;
}

std::optional<HelperRefusal> CheckRegister(std::span<const HelperRegistration> registered, uint32_t address,
                                           uint32_t uid, bool includesOwn) {
    const size_t added = includesOwn ? 0 : 1;
    size_t users = added;
    for (const HelperRegistration& entry : registered) {
        if (entry.address == address && !entry.mine) {
            return HelperRefusal{EBUSY, FormatDottedAddress(address) + " is being installed by another helper"};
        }
        users += entry.uid == uid ? 1 : 0;
    }
    if (registered.size() + added > kHelperMaxInstalls) {
        return HelperRefusal{ENOSPC, "already " + std::to_string(registered.size() + added - 1) +
                                         " addresses being installed on this PC"};
    }
    if (users > kHelperUserShare) {
        return HelperRefusal{ENOSPC, "uid " + std::to_string(uid) + " already installs " + std::to_string(users - 1) +
                                         " addresses, its share of the " + std::to_string(kHelperMaxInstalls)};
    }
    return std::nullopt;
}

std::map<uint16_t, std::set<uint32_t>> IcmpSockets(std::string_view text) {
    std::map<uint16_t, std::set<uint32_t>> sockets;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        // "  12: 0100007F:1A2B 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000 ..."
        std::vector<std::string_view> fields;
        while (!line.empty() && fields.size() < 8) {
            const size_t start = line.find_first_not_of(' ');
            if (start == std::string_view::npos) {
                break;
            }
            line.remove_prefix(start);
            const size_t space = std::min(line.find(' '), line.size());
            fields.push_back(line.substr(0, space));
            line.remove_prefix(space);
        }
        if (fields.size() < 8 || !fields[0].ends_with(':') || fields[1].size() != 13 || fields[1][8] != ':') {
            continue;
        }
        unsigned identifier = 0;
        uint32_t uid = 0;
        const std::string_view hex = fields[1].substr(9);
        const auto [identEnd, identError] = std::from_chars(hex.data(), hex.data() + hex.size(), identifier, 16);
        const auto [uidEnd, uidError] = std::from_chars(fields[7].data(), fields[7].data() + fields[7].size(), uid);
        if (identError == std::errc() && identEnd == hex.data() + hex.size() && uidError == std::errc() &&
            uidEnd == fields[7].data() + fields[7].size()) {
            sockets[static_cast<uint16_t>(identifier)].insert(uid);
        }
    }
    return sockets;
}

std::optional<uint16_t> PickEchoIdentifier(const std::set<uint16_t>& taken, uint16_t start) {
    for (uint32_t i = 0; i < 0x10000; ++i) {
        const auto candidate = static_cast<uint16_t>(start + i);
        if (candidate != 0 && !taken.contains(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

bool KernelLearned(const HelperNeighbour& entry) {
    return (entry.state & (NUD_PERMANENT | NUD_NOARP | NUD_REACHABLE)) == 0 && entry.protocol == 0 &&
           (entry.flags & NTF_EXT_LEARNED) == 0 && (entry.extFlags & NTF_EXT_MANAGED) == 0;
}
