#include "NeighbourLookup.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <cstring>
#include <span>

#include "RtNetlink.h"

namespace {

bool Better(const NeighbourEntry& candidate, const std::optional<NeighbourEntry>& found) {
    const auto answered = [](const NeighbourEntry& e) { return e.mac.has_value() && IsAnsweredState(e.state); };
    return !found || (answered(candidate) && !answered(*found));
}

// The payload of one RTM_NEWNEIGH message (the bytes after its header), when it is the entry for address.
std::optional<NeighbourEntry> EntryFor(std::span<const uint8_t> payload, uint32_t address) {
    if (payload.size() < NLMSG_ALIGN(sizeof(ndmsg))) {
        return std::nullopt;
    }
    ndmsg body;
    std::memcpy(&body, payload.data(), sizeof body);
    if (body.ndm_family != AF_INET) {
        return std::nullopt;
    }
    NeighbourEntry entry;
    entry.state = body.ndm_state;
    entry.interfaceIndex = body.ndm_ifindex;
    bool matches = false;
    ForEachAttribute(payload.subspan(NLMSG_ALIGN(sizeof(ndmsg))), [&](uint16_t type, std::span<const uint8_t> data) {
        if (type == NDA_DST && data.size() == 4) {
            uint32_t destination;
            std::memcpy(&destination, data.data(), sizeof destination);
            matches = ntohl(destination) == address;
        } else if (type == NDA_LLADDR) {
            entry.mac = MacAddress::FromBytes(data);
        }
    });
    if (!matches) {
        return std::nullopt;
    }
    return entry;
}

}  // namespace

bool IsAnsweredState(uint16_t state) {
    return (state & (NUD_REACHABLE | NUD_STALE | NUD_DELAY | NUD_PROBE)) != 0;
}

std::optional<NeighbourEntry> LookUpNeighbour(uint32_t address) {
    NetlinkRequest request;
    request.Start<ndmsg>(RTM_GETNEIGH, 0)->ndm_family = AF_INET;
    std::optional<NeighbourEntry> found;
    const int error = NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        if (type != RTM_NEWNEIGH) {
            return;
        }
        if (const auto entry = EntryFor(payload, address); entry && Better(*entry, found)) {
            found = entry;
        }
    });
    return error == 0 ? found : std::nullopt;
}
