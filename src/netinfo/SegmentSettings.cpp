#include "SegmentSettings.h"

#include "DottedAddress.h"
#include "RtNetlink.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr size_t kNameServerCount = 2;

struct Subnet {
    uint32_t address = 0;
    uint32_t mask = 0;
    int interfaceIndex = 0;
    bool Holds(uint32_t other) const { return (other & mask) == (address & mask); }
};

std::optional<Subnet> AdapterSubnet(const AdapterInfo& adapter) {
    const auto address = ParseDottedAddress(adapter.address);
    const auto mask = ParseDottedAddress(adapter.mask);
    if (!address || !mask) {
        return std::nullopt;
    }
    return Subnet{*address, *mask, adapter.interfaceIndex};
}

std::optional<Subnet> SegmentOf(const CameraRecord& camera, uint32_t address,
                                const std::vector<AdapterInfo>& adapters) {
    std::optional<Subnet> found;
    for (const AdapterInfo& adapter : adapters) {
        const auto subnet = AdapterSubnet(adapter);
        if (!subnet) {
            continue;
        }
        const bool arrival = camera.arrivalInterface == subnet->interfaceIndex;
        if (address == 0 ? arrival : subnet->Holds(address)) {
            if (arrival) {
                return subnet;
            }
            if (!found) {
                found = subnet;
            }
        }
    }
    return found;
}

// The IPv4 text of a name server entry; systemd may add "%IFINDEX", "#NAME" or a ":PORT".
std::optional<uint32_t> NameServerAddress(const std::string& entry) {
    const std::string text = entry.substr(0, entry.find_first_of("%#:"));
    if (text.size() != entry.size() && entry[text.size()] == ':' && entry.find('.') == std::string::npos) {
        return std::nullopt;  // IPv6
    }
    const auto address = ParseDottedAddress(text);
    if (!address || *address == 0 || (*address >> 24) == 127) {
        return std::nullopt;
    }
    return address;
}

// The values of every line starting with `key` in a file, split at white space.
std::vector<uint32_t> ServersIn(const std::string& path, const std::string& key) {
    std::vector<uint32_t> servers;
    std::ifstream file(path);
    std::string line;
    while (servers.size() < kNameServerCount && std::getline(file, line)) {
        if (line.rfind(key, 0) != 0) {
            continue;
        }
        std::istringstream words(line.substr(key.size()));
        std::string word;
        while (servers.size() < kNameServerCount && words >> word) {
            if (const auto address = NameServerAddress(word)) {
                servers.push_back(*address);
            }
        }
    }
    return servers;
}

}  // namespace

SegmentSettings SettingsForSegment(const CameraRecord& camera, uint32_t address, const SegmentFacts& facts) {
    SegmentSettings settings;
    const auto segment = SegmentOf(camera, address, facts.adapters);
    if (!segment) {
        return settings;
    }
    settings.mask = segment->mask;
    for (const Ipv4Route& route : facts.routes) {
        if (route.gateway == 0 || !segment->Holds(route.gateway)) {
            continue;
        }
        if (route.prefixLength == 0 && route.interfaceIndex == segment->interfaceIndex) {
            settings.gateway = route.gateway;
            break;
        }
        if (!settings.gateway) {
            settings.gateway = route.gateway;
        }
    }
    if (facts.nameServers) {
        settings.nameServers = facts.nameServers(segment->interfaceIndex);
        if (settings.nameServers.size() > kNameServerCount) {
            settings.nameServers.resize(kNameServerCount);
        }
    }
    return settings;
}

std::vector<Ipv4Route> ReadIpv4Routes() {
    NetlinkRequest request;
    request.Start<rtmsg>(RTM_GETROUTE, 0)->rtm_family = AF_INET;
    std::vector<Ipv4Route> routes;
    const int error = NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        if (type != RTM_NEWROUTE || payload.size() < NLMSG_ALIGN(sizeof(rtmsg))) {
            return;
        }
        rtmsg body;
        std::memcpy(&body, payload.data(), sizeof body);
        if (body.rtm_family != AF_INET || body.rtm_type != RTN_UNICAST) {
            return;
        }
        Ipv4Route route;
        route.prefixLength = body.rtm_dst_len;
        uint32_t table = body.rtm_table;
        ForEachAttribute(payload.subspan(NLMSG_ALIGN(sizeof(rtmsg))),
                         [&](uint16_t kind, std::span<const uint8_t> data) {
                             uint32_t value = 0;
                             if (data.size() != sizeof value) {
                                 return;
                             }
                             std::memcpy(&value, data.data(), sizeof value);
                             if (kind == RTA_DST) {
                                 route.destination = ntohl(value);
                             } else if (kind == RTA_GATEWAY) {
                                 route.gateway = ntohl(value);
                             } else if (kind == RTA_OIF) {
                                 route.interfaceIndex = static_cast<int>(value);
                             } else if (kind == RTA_TABLE) {
                                 table = value;
                             }
                         });
        if (table == RT_TABLE_MAIN) {
            routes.push_back(route);
        }
    });
    return error == 0 ? routes : std::vector<Ipv4Route>{};
}

std::vector<uint32_t> LinkNameServers(int interfaceIndex, const std::string& root) {
    std::vector<uint32_t> servers =
        ServersIn(root + "/run/systemd/resolve/netif/" + std::to_string(interfaceIndex), "DNS=");
    if (servers.empty()) {
        servers = ServersIn(root + "/etc/resolv.conf", "nameserver");
    }
    return servers;
}

SegmentFacts SystemSegmentFacts() {
    SegmentFacts facts;
    facts.adapters = EnumerateAdapters().value_or(std::vector<AdapterInfo>{});
    facts.routes = ReadIpv4Routes();
    const char* root = std::getenv("CAMERA_SETUP_RESOLVER_ROOT");
    facts.nameServers = [root = std::string(root != nullptr ? root : "")](int interfaceIndex) {
        return LinkNameServers(interfaceIndex, root);
    };
    return facts;
}
