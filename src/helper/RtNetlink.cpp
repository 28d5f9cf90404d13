#include "RtNetlink.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace {

std::atomic<uint32_t> g_sequence{1};
std::atomic<int> g_socket{-1};

// Sends the request and walks the replies to it; visit returns true when the exchange is over, setting result.
int Exchange(NetlinkRequest& request,
             const std::function<bool(const nlmsghdr&, std::span<const uint8_t> payload, int& result)>& visit) {
    const int kept = g_socket.load();
    const int fd = kept >= 0 ? kept : NetlinkOpen();
    if (fd < 0) {
        return errno;
    }
    struct Closer {
        int fd;
        bool owned;
        ~Closer() {
            if (owned) {
                close(fd);
            }
        }
    } closer{fd, kept < 0};
    const uint32_t sequence = g_sequence.fetch_add(1);
    request.Header()->nlmsg_seq = sequence;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    const auto bytes = request.Bytes();
    int result = EPROTO;
    if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) < 0) {
        return errno;
    }
    std::vector<uint8_t> reply(32768);
    for (bool done = false; !done;) {
        sockaddr_nl from{};
        iovec vector{reply.data(), reply.size()};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        const ssize_t received = recvmsg(fd, &message, 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = errno;
            break;
        }
        if (received == 0 || (message.msg_flags & MSG_TRUNC) != 0) {
            result = received == 0 ? EPROTO : EMSGSIZE;
            break;
        }
        if (from.nl_pid != 0) {
            continue;  // only the kernel answers
        }
        // Replies to an earlier exchange that timed out on a kept socket are skipped by their sequence.
        const size_t length = static_cast<size_t>(received);
        for (size_t offset = 0; offset + sizeof(nlmsghdr) <= length && !done;) {
            nlmsghdr header;
            std::memcpy(&header, reply.data() + offset, sizeof header);
            if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > length - offset) {
                break;
            }
            if (header.nlmsg_seq == sequence) {
                const std::span<const uint8_t> payload(reply.data() + offset + NLMSG_HDRLEN,
                                                       header.nlmsg_len - NLMSG_HDRLEN);
                done = visit(header, payload, result);
            }
            offset += NLMSG_ALIGN(header.nlmsg_len);
        }
    }
    return result;
}

// The errno of an NLMSG_ERROR payload; EPROTO when it is too short to hold one.
int ErrorOf(std::span<const uint8_t> payload) {
    if (payload.size() < sizeof(nlmsgerr)) {
        return EPROTO;
    }
    nlmsgerr error;
    std::memcpy(&error, payload.data(), sizeof error);
    return -error.error;
}

}  // namespace

int NetlinkOpen() {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return -1;
    }
    const timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return fd;
}

void NetlinkKeepSocket(int fd) {
    g_socket.store(fd);
}

bool NetlinkRequest::Attribute(uint16_t type, const void* data, size_t size) {
    nlmsghdr* header = Header();
    const size_t offset = NLMSG_ALIGN(header->nlmsg_len);
    const size_t length = RTA_LENGTH(size);
    if (offset + RTA_ALIGN(length) > sizeof m_bytes) {
        return false;
    }
    auto* attribute = reinterpret_cast<rtattr*>(m_bytes + offset);
    attribute->rta_type = type;
    attribute->rta_len = static_cast<uint16_t>(length);
    std::memcpy(RTA_DATA(attribute), data, size);
    header->nlmsg_len = static_cast<uint32_t>(offset + RTA_ALIGN(length));
    return true;
}

int NetlinkTransact(NetlinkRequest& request) {
    request.Header()->nlmsg_flags |= NLM_F_ACK;
    return Exchange(request, [](const nlmsghdr& header, std::span<const uint8_t> payload, int& result) {
        if (header.nlmsg_type != NLMSG_ERROR) {
            return false;
        }
        result = ErrorOf(payload);
        return true;
    });
}

int NetlinkDump(NetlinkRequest& request, const std::function<void(uint16_t, std::span<const uint8_t>)>& visit) {
    request.Header()->nlmsg_flags |= NLM_F_DUMP;
    bool interrupted = false;
    return Exchange(request, [&](const nlmsghdr& header, std::span<const uint8_t> payload, int& result) {
        interrupted = interrupted || (header.nlmsg_flags & NLM_F_DUMP_INTR) != 0;
        if (header.nlmsg_type == NLMSG_DONE) {
            result = interrupted ? EAGAIN : 0;
            return true;
        }
        if (header.nlmsg_type == NLMSG_ERROR) {
            result = ErrorOf(payload);
            if (result == 0) {
                result = EPROTO;
            }
            return true;
        }
        visit(header.nlmsg_type, payload);
        return false;
    });
}

void ForEachAttribute(std::span<const uint8_t> bytes,
                      const std::function<void(uint16_t type, std::span<const uint8_t> data)>& visit) {
    for (size_t offset = 0; offset + sizeof(rtattr) <= bytes.size();) {
        rtattr attribute;
        std::memcpy(&attribute, bytes.data() + offset, sizeof attribute);
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > bytes.size() - offset) {
            return;
        }
        visit(attribute.rta_type, bytes.subspan(offset + RTA_LENGTH(0), attribute.rta_len - RTA_LENGTH(0)));
        offset += RTA_ALIGN(attribute.rta_len);
    }
}
