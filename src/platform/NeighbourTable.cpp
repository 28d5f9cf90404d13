#include "NeighbourTable.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

std::optional<int> LocalInterfaceForSubnet(uint32_t address) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::optional<int> found;
    for (const ifaddrs* entry = list; entry != nullptr && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const uint32_t local = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        const uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
        if ((local & mask) == (address & mask) && (entry->ifa_flags & IFF_LOOPBACK) == 0) {
            const unsigned index = if_nametoindex(entry->ifa_name);
            if (index != 0) {
                found = static_cast<int>(index);
            }
        }
    }
    freeifaddrs(list);
    return found;
}

std::optional<NeighbourTable::MacAddress> ParseMacText(const std::string& text) {
    if (text.size() != 17) {
        return std::nullopt;
    }
    NeighbourTable::MacAddress mac{};
    for (size_t i = 0; i < 6; ++i) {
        uint8_t value = 0;
        for (size_t j = 0; j < 2; ++j) {
            const char c = text[i * 3 + j];
            uint8_t digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<uint8_t>(c - '0');
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<uint8_t>(c - 'A' + 10);
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<uint8_t>(c - 'a' + 10);
            } else {
                return std::nullopt;
            }
            value = static_cast<uint8_t>(value * 16 + digit);
        }
        mac[i] = value;
        if (i < 5 && text[i * 3 + 2] != '-' && text[i * 3 + 2] != ':') {
            return std::nullopt;
        }
    }
    return mac;
}
