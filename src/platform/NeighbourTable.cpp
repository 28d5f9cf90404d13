#include "NeighbourTable.h"

#include "NeighbourLookup.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include <vector>

namespace {

// One request message built attribute by attribute; sized for the largest request sent here.
struct Request {
    alignas(NLMSG_ALIGNTO) uint8_t bytes[256] = {};
    nlmsghdr* Header() { return reinterpret_cast<nlmsghdr*>(bytes); }

    template <typename Body>
    Body* Start(uint16_t type, uint16_t flags) {
        nlmsghdr* header = Header();
        header->nlmsg_len = NLMSG_LENGTH(sizeof(Body));
        header->nlmsg_type = type;
        header->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
        header->nlmsg_seq = 1;
        return reinterpret_cast<Body*>(NLMSG_DATA(header));
    }

    void Attribute(uint16_t type, const void* data, size_t size) {
        nlmsghdr* header = Header();
        const size_t offset = NLMSG_ALIGN(header->nlmsg_len);
        const size_t length = RTA_LENGTH(size);
        if (offset + RTA_ALIGN(length) > sizeof bytes) {
            return;  // cannot happen for the fixed requests below
        }
        auto* attribute = reinterpret_cast<rtattr*>(bytes + offset);
        attribute->rta_type = type;
        attribute->rta_len = static_cast<uint16_t>(length);
        std::memcpy(RTA_DATA(attribute), data, size);
        header->nlmsg_len = static_cast<uint32_t>(offset + RTA_ALIGN(length));
    }
};

// Sends the request and waits for its acknowledgement. Returns 0 or the kernel's errno.
int Transact(Request& request) {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return errno;
    }
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int result = 0;
    if (sendto(fd, request.bytes, request.Header()->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
        0) {
        result = errno;
    } else {
        alignas(NLMSG_ALIGNTO) uint8_t reply[8192];
        result = EPROTO;
        for (bool done = false; !done;) {
            const ssize_t received = recv(fd, reply, sizeof reply, 0);
            if (received < 0) {
                if (errno == EINTR) {
                    continue;
                }
                result = errno;
                break;
            }
            // Walk the reply by offsets, checking each message's length against what was received.
            const size_t length = static_cast<size_t>(received);
            for (size_t offset = 0; offset + sizeof(nlmsghdr) <= length && !done;) {
                nlmsghdr header;
                std::memcpy(&header, reply + offset, sizeof header);
                if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length - offset) {
                    break;
                }
                if (header.nlmsg_type == NLMSG_ERROR && header.nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) &&
                    header.nlmsg_seq == 1) {
                    nlmsgerr error;
                    std::memcpy(&error, reply + offset + NLMSG_HDRLEN, sizeof error);
                    result = -error.error;
                    done = true;
                }
                offset += NLMSG_ALIGN(header.nlmsg_len);
            }
            if (received == 0) {
                break;
            }
        }
    }
    close(fd);
    return result;
}

std::string Describe(const char* what, uint32_t address, int error) {
    in_addr value{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &value, text, sizeof text);
    return std::string(what) + " " + text + ": " + std::strerror(error) + " (" + std::to_string(error) + ")";
}

int Neighbour(uint16_t type, uint16_t flags, int interfaceIndex, uint32_t address,
              const NeighbourTable::MacAddress* mac) {
    Request request;
    auto* body = request.Start<ndmsg>(type, flags);
    body->ndm_family = AF_INET;
    body->ndm_ifindex = interfaceIndex;
    body->ndm_state = NUD_PERMANENT;
    const uint32_t destination = htonl(address);
    request.Attribute(NDA_DST, &destination, sizeof destination);
    if (mac != nullptr) {
        request.Attribute(NDA_LLADDR, mac->data(), mac->size());
    }
    return Transact(request);
}

int Route(uint16_t type, uint16_t flags, int interfaceIndex, uint32_t address) {
    Request request;
    auto* body = request.Start<rtmsg>(type, flags);
    body->rtm_family = AF_INET;
    body->rtm_dst_len = 32;
    body->rtm_table = RT_TABLE_MAIN;
    body->rtm_protocol = RTPROT_STATIC;
    body->rtm_scope = RT_SCOPE_LINK;
    body->rtm_type = RTN_UNICAST;
    const uint32_t destination = htonl(address);
    request.Attribute(RTA_DST, &destination, sizeof destination);
    const uint32_t oif = static_cast<uint32_t>(interfaceIndex);
    request.Attribute(RTA_OIF, &oif, sizeof oif);
    return Transact(request);
}

}  // namespace

std::optional<int> NetlinkNeighbourTable::InterfaceForSubnet(uint32_t address) {
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

bool NetlinkNeighbourTable::AddPermanent(int interfaceIndex, uint32_t address, const MacAddress& mac,
                                         std::string& error) {
    const int result = Neighbour(RTM_NEWNEIGH, NLM_F_CREATE | NLM_F_REPLACE, interfaceIndex, address, &mac);
    if (result != 0) {
        error = Describe("adding the neighbour entry for", address, result);
    }
    return result == 0;
}

bool NetlinkNeighbourTable::Remove(uint32_t address, std::string& error) {
    // The kernel deletes an entry only on a named interface, so ask each one.
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) {
        error = Describe("listing interfaces to remove the neighbour entry for", address, errno);
        return false;
    }
    bool ok = true;
    for (const struct if_nameindex* name = names; name->if_index != 0; ++name) {
        const int result = Neighbour(RTM_DELNEIGH, 0, static_cast<int>(name->if_index), address, nullptr);
        if (result != 0 && result != ENOENT && result != ENODEV && result != EINVAL) {
            error = Describe("removing the neighbour entry for", address, result);
            ok = false;
        }
    }
    if_freenameindex(names);
    return ok;
}

bool NetlinkNeighbourTable::AddHostRoute(int interfaceIndex, uint32_t address, std::string& error) {
    const int result = Route(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, interfaceIndex, address);
    if (result != 0) {
        error = Describe("adding the host route to", address, result);
    }
    return result == 0;
}

bool NetlinkNeighbourTable::RemoveHostRoute(int interfaceIndex, uint32_t address, std::string& error) {
    const int result = Route(RTM_DELROUTE, 0, interfaceIndex, address);
    if (result != 0 && result != ESRCH && result != ENOENT) {
        error = Describe("removing the host route to", address, result);
        return false;
    }
    return true;
}

std::optional<NeighbourEntry> NetlinkNeighbourTable::Lookup(uint32_t address) {
    return LookUpNeighbour(address);
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
