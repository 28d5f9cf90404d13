#include "UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace {

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

int SetInt(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

}  // namespace

std::unique_ptr<UdpSocket> UdpSocket::Create(int* error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        if (error) {
            *error = errno;
        }
        return nullptr;
    }
    if (error) {
        *error = 0;
    }
    return std::unique_ptr<UdpSocket>(new UdpSocket(fd));
}

UdpSocket::~UdpSocket() {
    ::close(m_fd);
}

int UdpSocket::SetBroadcast() {
    return SetInt(m_fd, SOL_SOCKET, SO_BROADCAST, 1);
}

int UdpSocket::SetReuseAddress() {
    return SetInt(m_fd, SOL_SOCKET, SO_REUSEADDR, 1);
}

int UdpSocket::SetReceiveBuffer(int bytes) {
    if (SetInt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, bytes) == 0) {
        return 0;
    }
    return SetInt(m_fd, SOL_SOCKET, SO_RCVBUF, bytes);
}

int UdpSocket::EnablePacketInfo() {
    return SetInt(m_fd, IPPROTO_IP, IP_PKTINFO, 1);
}

int UdpSocket::Bind(uint32_t address, uint16_t port) {
    const sockaddr_in sa = MakeAddress(address, port);
    return ::bind(m_fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
}

uint16_t UdpSocket::LocalPort() const {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

int UdpSocket::Receive(std::span<uint8_t> buffer, Datagram* datagram) {
    sockaddr_in from{};
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t received = ::recvmsg(m_fd, &msg, MSG_DONTWAIT);
    if (received < 0) {
        return errno;
    }
    Datagram result;
    result.length = static_cast<size_t>(received) < buffer.size() ? static_cast<size_t>(received) : buffer.size();
    result.truncated = (msg.msg_flags & MSG_TRUNC) != 0;
    result.sourceAddress = ntohl(from.sin_addr.s_addr);
    result.sourcePort = ntohs(from.sin_port);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            result.interface = info.ipi_ifindex;
        }
    }
    if (datagram) {
        *datagram = result;
    }
    return 0;
}

int UdpSocket::SendTo(std::span<const uint8_t> data, uint32_t address, uint16_t port, std::optional<int> interface,
                      uint32_t sourceAddress) {
    sockaddr_in to = MakeAddress(address, port);
    iovec iov{const_cast<uint8_t*>(data.data()), data.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (interface) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = *interface;
        info.ipi_spec_dst.s_addr = htonl(sourceAddress);
        std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    return ::sendmsg(m_fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0 ? 0 : errno;
}

int UdpSocket::WaitReadable(int timeoutMs, int alsoFd, bool* alsoReady) {
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {alsoFd, POLLIN, 0}};
    const nfds_t count = alsoFd >= 0 ? 2 : 1;
    int result;
    do {
        result = ::poll(fds, count, timeoutMs);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        return -errno;
    }
    if (alsoReady) {
        *alsoReady = count == 2 && (fds[1].revents & POLLIN) != 0;
    }
    if (result == 0) {
        return 0;
    }
    return (fds[0].revents & (POLLIN | POLLERR)) != 0 ? 1 : 0;
}
