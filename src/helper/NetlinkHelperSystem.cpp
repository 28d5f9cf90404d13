#include "NetlinkHelperSystem.h"

#include "RtNetlink.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kDhcpReceiveBuffer = 1 << 20;

std::optional<uint32_t> AddressOf(std::span<const uint8_t> data) {
    if (data.size() != 4) {
        return std::nullopt;
    }
    uint32_t networkOrder;
    std::memcpy(&networkOrder, data.data(), sizeof networkOrder);
    return ntohl(networkOrder);
}

// The payload's fixed header and the attributes after it; nothing when the payload is too short.
template <typename Body>
std::optional<Body> Split(std::span<const uint8_t> payload, std::span<const uint8_t>& attributes) {
    if (payload.size() < NLMSG_ALIGN(sizeof(Body))) {
        return std::nullopt;
    }
    Body body;
    std::memcpy(&body, payload.data(), sizeof body);
    attributes = payload.subspan(NLMSG_ALIGN(sizeof(Body)));
    return body;
}

// The gateways of the next hops of a multipath route (a run of rtnexthop, each followed by its attributes).
void MultipathGateways(std::span<const uint8_t> bytes, std::vector<uint32_t>& gateways) {
    for (size_t offset = 0; offset + sizeof(rtnexthop) <= bytes.size();) {
        rtnexthop hop;
        std::memcpy(&hop, bytes.data() + offset, sizeof hop);
        if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > bytes.size() - offset) {
            return;
        }
        const size_t header = RTNH_ALIGN(sizeof(rtnexthop));
        if (hop.rtnh_len > header) {
            ForEachAttribute(bytes.subspan(offset + header, hop.rtnh_len - header),
                             [&](uint16_t type, std::span<const uint8_t> data) {
                                 if (type == RTA_GATEWAY) {
                                     if (const auto gateway = AddressOf(data)) {
                                         gateways.push_back(*gateway);
                                     }
                                 }
                             });
        }
        offset += RTNH_ALIGN(hop.rtnh_len);
    }
}

int Neighbour(uint16_t type, uint16_t flags, int index, uint32_t address, const MacAddress* mac) {
    NetlinkRequest request;
    auto* body = request.Start<ndmsg>(type, flags);
    body->ndm_family = AF_INET;
    body->ndm_ifindex = index;
    body->ndm_state = NUD_PERMANENT;
    const uint32_t destination = htonl(address);
    request.Attribute(NDA_DST, &destination, sizeof destination);
    if (mac != nullptr) {
        request.Attribute(NDA_LLADDR, mac->Octets().data(), mac->Octets().size());
    }
    return NetlinkTransact(request);
}

int Route(uint16_t type, uint16_t flags, int index, uint32_t address) {
    NetlinkRequest request;
    auto* body = request.Start<rtmsg>(type, flags);
    body->rtm_family = AF_INET;
    body->rtm_dst_len = 32;
    body->rtm_table = RT_TABLE_MAIN;
    body->rtm_protocol = RTPROT_STATIC;
    body->rtm_scope = RT_SCOPE_LINK;
    body->rtm_type = RTN_UNICAST;
    const uint32_t destination = htonl(address);
    request.Attribute(RTA_DST, &destination, sizeof destination);
    const uint32_t oif = static_cast<uint32_t>(index);
    request.Attribute(RTA_OIF, &oif, sizeof oif);
    return NetlinkTransact(request);
}

int SetOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

}  // namespace

std::optional<HelperInterface> NetlinkHelperSystem::Interface(int index) {
    ifreq request{};
    if (index <= 0 || if_indextoname(static_cast<unsigned>(index), request.ifr_name) == nullptr) {
        return std::nullopt;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<HelperInterface> facts;
    ifreq hardware = request;
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0 && ioctl(fd, SIOCGIFHWADDR, &hardware) == 0) {
        facts = HelperInterface{(request.ifr_flags & IFF_UP) != 0, hardware.ifr_hwaddr.sa_family == ARPHRD_ETHER};
    }
    close(fd);
    return facts;
}

std::optional<std::vector<HelperLocalAddress>> NetlinkHelperSystem::LocalAddresses() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::vector<HelperLocalAddress> addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        HelperLocalAddress local;
        local.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        if (entry->ifa_netmask != nullptr) {
            local.prefixLength =
                std::popcount(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
        }
        addresses.push_back(local);
    }
    freeifaddrs(list);
    return addresses;
}

std::optional<std::vector<uint32_t>> NetlinkHelperSystem::Gateways() {
    NetlinkRequest request;
    request.Start<rtmsg>(RTM_GETROUTE, 0)->rtm_family = AF_INET;
    std::vector<uint32_t> gateways;
    const int error = NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto route = Split<rtmsg>(payload, attributes);
        if (type != RTM_NEWROUTE || !route || route->rtm_family != AF_INET) {
            return;
        }
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == RTA_GATEWAY) {
                if (const auto gateway = AddressOf(data)) {
                    gateways.push_back(*gateway);
                }
            } else if (attribute == RTA_MULTIPATH) {
                MultipathGateways(data, gateways);
            }
        });
    });
    if (error != 0) {
        return std::nullopt;
    }
    return gateways;
}

std::optional<std::vector<HelperNeighbour>> NetlinkHelperSystem::Neighbours(uint32_t address) {
    NetlinkRequest request;
    request.Start<ndmsg>(RTM_GETNEIGH, 0)->ndm_family = AF_INET;
    std::vector<HelperNeighbour> found;
    const int error = NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto body = Split<ndmsg>(payload, attributes);
        if (type != RTM_NEWNEIGH || !body || body->ndm_family != AF_INET) {
            return;
        }
        HelperNeighbour entry;
        entry.interfaceIndex = body->ndm_ifindex;
        entry.state = body->ndm_state;
        bool matches = false;
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == NDA_DST) {
                matches = AddressOf(data) == address;
            } else if (attribute == NDA_LLADDR) {
                entry.lladdr = MacAddress::FromBytes(data);
            }
        });
        if (matches) {
            found.push_back(entry);
        }
    });
    if (error != 0) {
        return std::nullopt;
    }
    return found;
}

int NetlinkHelperSystem::AddNeighbour(int index, uint32_t address, const MacAddress& mac) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    return Neighbour(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE, index, address, &mac);
}

int NetlinkHelperSystem::DeleteNeighbour(int index, uint32_t address) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    return Neighbour(RTM_DELNEIGH, 0, index, address, nullptr);
}

int NetlinkHelperSystem::AddRoute(int index, uint32_t address) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    return Route(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, index, address);
}

int NetlinkHelperSystem::DeleteRoute(int index, uint32_t address) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    return Route(RTM_DELROUTE, 0, index, address);
}

int NetlinkHelperSystem::OpenDhcpSocket(uint16_t port, int& fd) {
    const int socketFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFd < 0) {
        return errno;
    }
    int error = SetOption(socketFd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (error == 0) {
        error = SetOption(socketFd, SOL_SOCKET, SO_BROADCAST, 1);
    }
    if (error == 0) {
        // Past net.core.rmem_max only with CAP_NET_ADMIN; otherwise whatever the limit allows.
        int forced = EPERM;
        if (m_privileges.Holds(HelperCapability::NetAdmin)) {
            RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
            forced = SetOption(socketFd, SOL_SOCKET, SO_RCVBUFFORCE, kDhcpReceiveBuffer);
        }
        if (forced != 0) {
            error = SetOption(socketFd, SOL_SOCKET, SO_RCVBUF, kDhcpReceiveBuffer);
        }
    }
    if (error == 0) {
        error = SetOption(socketFd, IPPROTO_IP, IP_PKTINFO, 1);
    }
    if (error == 0) {
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(port);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        RaisedCapability raised(m_privileges, HelperCapability::NetBindService);
        if (bind(socketFd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
            error = errno;
        }
    }
    if (error != 0) {
        close(socketFd);
        return error;
    }
    fd = socketFd;
    return 0;
}

int NetlinkHelperSystem::OpenIcmpSocket(int& fd) {
    RaisedCapability raised(m_privileges, HelperCapability::NetRaw);
    const int socketFd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (socketFd < 0) {
        return errno;
    }
    fd = socketFd;
    return 0;
}
