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
