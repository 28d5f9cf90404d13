#include "NeighbourLookup.h"

#include <arpa/inet.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <cstring>
#include <span>

namespace {

constexpr uint32_t kSequence = 0x4E454947;

bool Better(const NeighbourEntry& candidate, const std::optional<NeighbourEntry>& found) {
    const auto answered = [](const NeighbourEntry& e) { return e.mac.has_value() && IsAnsweredState(e.state); };
    return !found || (answered(candidate) && !answered(*found));
}

// One RTM_NEWNEIGH message of length bytes at message (already checked to lie inside the received bytes).
std::optional<NeighbourEntry> EntryFor(const uint8_t* message, size_t length, uint32_t address) {
    if (length < NLMSG_LENGTH(sizeof(ndmsg))) {
        return std::nullopt;
    }
    ndmsg body;
    std::memcpy(&body, message + NLMSG_HDRLEN, sizeof body);
    if (body.ndm_family != AF_INET) {
        return std::nullopt;
    }
    NeighbourEntry entry;
    entry.state = body.ndm_state;
    entry.interfaceIndex = body.ndm_ifindex;
    bool matches = false;
    for (size_t offset = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ndmsg)); offset + sizeof(rtattr) <= length;) {
        rtattr attribute;
        std::memcpy(&attribute, message + offset, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > length - offset) {
            break;
        }
        const size_t payload = attribute.rta_len - RTA_LENGTH(0);
        const uint8_t* data = message + offset + RTA_LENGTH(0);
        if (attribute.rta_type == NDA_DST && payload == 4) {
            uint32_t destination;
            std::memcpy(&destination, data, sizeof destination);
            matches = ntohl(destination) == address;
        } else if (attribute.rta_type == NDA_LLADDR) {
            entry.mac = MacAddress::FromBytes(std::span<const uint8_t>(data, payload));
        }
        offset += RTA_ALIGN(attribute.rta_len);
    }
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
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return std::nullopt;
    }
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    struct {
        nlmsghdr header;
        ndmsg body;
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ndmsg));
    request.header.nlmsg_type = RTM_GETNEIGH;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = kSequence;
    request.body.ndm_family = AF_INET;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<NeighbourEntry> found;
    if (sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) >= 0) {
        alignas(NLMSG_ALIGNTO) uint8_t reply[32768];
        for (bool done = false; !done;) {
            iovec part{reply, sizeof reply};
            sockaddr_nl from{};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            const ssize_t received = recvmsg(fd, &message, 0);
            if (received < 0 && errno == EINTR) {
                continue;
            }
            if (received <= 0 || (message.msg_flags & MSG_TRUNC) != 0) {
                break;
            }
            if (from.nl_pid != 0) {
                continue;  // only the kernel answers this request
            }
            // Walk the reply by offsets, checking each message's length against what was received.
            const size_t length = static_cast<size_t>(received);
            for (size_t offset = 0; offset + sizeof(nlmsghdr) <= length && !done;) {
                nlmsghdr header;
                std::memcpy(&header, reply + offset, sizeof header);
                if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length - offset) {
                    done = true;
                    break;
                }
                if (header.nlmsg_seq == kSequence) {
                    if (header.nlmsg_type == NLMSG_DONE) {
                        done = true;
                    } else if (header.nlmsg_type == NLMSG_ERROR) {
                        done = true;
                    } else if (header.nlmsg_type == RTM_NEWNEIGH) {
                        const auto entry = EntryFor(reply + offset, header.nlmsg_len, address);
                        if (entry && Better(*entry, found)) {
                            found = entry;
                        }
                    }
                }
                offset += NLMSG_ALIGN(header.nlmsg_len);
            }
        }
    }
    close(fd);
    return found;
}
