#include "AdapterInfo.h"

#include "Ipv4Text.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <algorithm>
#include <cctype>

namespace {

bool IsDialUp(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    // "pptp" contains no "ppp", so both are looked for.
    return name.find("ppp") != std::string::npos || name.find("pptp") != std::string::npos;
}

}  // namespace

std::vector<AdapterInfo> SelectAdapters(const std::vector<InterfaceAddress>& interfaces) {
    std::vector<AdapterInfo> adapters;
    for (const InterfaceAddress& entry : interfaces) {
        if (entry.name.empty() || !entry.up || entry.loopback || IsDialUp(entry.name)) {
            continue;
        }
        adapters.push_back(
            {FormatDottedAddress(entry.address), FormatDottedAddress(entry.mask), entry.name, entry.index});
    }
    return adapters;
}

std::optional<std::vector<AdapterInfo>> EnumerateAdapters() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::vector<InterfaceAddress> interfaces;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET || entry->ifa_name == nullptr) {
            continue;
        }
        InterfaceAddress item;
        item.name = entry->ifa_name;
        item.index = static_cast<int>(::if_nametoindex(entry->ifa_name));
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        item.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        if (entry->ifa_netmask != nullptr) {
            item.mask = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
        }
        interfaces.push_back(std::move(item));
    }
    ::freeifaddrs(list);
    return SelectAdapters(interfaces);
}
