#include "EchoChannel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

bool SetTimeout(int fd, int option, int timeoutMs) {
    timeval value{};
    value.tv_sec = timeoutMs / 1000;
    value.tv_usec = (timeoutMs % 1000) * 1000;
    return setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) == 0;
}

// A datagram ICMP socket's identifier is its local "port", which the kernel writes into the request's
// identifier field in network order. Binding the port whose network-order bytes equal the request's
// little-endian identifier bytes keeps the identifier on the wire what the request says.
int OpenDatagram(uint16_t identifier, uint16_t& replyIdentifier) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    const uint8_t wire[2] = {static_cast<uint8_t>(identifier & 0xFF), static_cast<uint8_t>(identifier >> 8)};
    std::memcpy(&local.sin_port, wire, sizeof wire);
    if (identifier == 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        // Taken by another socket (or 0, which asks for any): let the kernel choose one.
        local.sin_port = 0;
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            const int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
    }
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    uint8_t bound[2];
    std::memcpy(bound, &local.sin_port, sizeof bound);
    replyIdentifier = static_cast<uint16_t>(bound[0] | (bound[1] << 8));
    return fd;
}

}  // namespace

IcmpEchoChannel::Opened IcmpEchoChannel::Open(uint16_t identifier, int timeoutMs, Mode mode) {
    Opened opened;
    bool raw = true;
    uint16_t replyIdentifier = identifier;
    int fd = -1;
    int rawError = EPERM;
    if (mode != Mode::DatagramOnly) {
        fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        rawError = errno;
    }
    if (fd < 0) {
        if (mode != Mode::RawOnly && (rawError == EPERM || rawError == EACCES)) {
            fd = OpenDatagram(identifier, replyIdentifier);
            raw = false;
        }
        if (fd < 0) {
            opened.failure = Failure::Socket;
            opened.error = mode == Mode::DatagramOnly ? errno : rawError;
            return opened;
        }
    }
    return Finish(fd, raw, replyIdentifier, timeoutMs);
}

IcmpEchoChannel::Opened IcmpEchoChannel::Finish(int fd, bool raw, uint16_t replyIdentifier, int timeoutMs) {
    Opened opened;
    if (!SetTimeout(fd, SO_RCVTIMEO, timeoutMs)) {
        opened.failure = Failure::ReceiveTimeout;
    } else if (!SetTimeout(fd, SO_SNDTIMEO, timeoutMs)) {
        opened.failure = Failure::SendTimeout;
    }
    if (opened.failure != Failure::None) {
        opened.error = errno;
        close(fd);
        return opened;
    }
    opened.channel.reset(new IcmpEchoChannel(fd, raw, replyIdentifier));
    return opened;
}

IcmpEchoChannel::~IcmpEchoChannel() {
    close(m_fd);
}

EchoChannel::Result IcmpEchoChannel::Send(uint32_t destination, std::span<const uint8_t> message) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(destination);
    for (;;) {
        const ssize_t sent =
            sendto(m_fd, message.data(), message.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (sent >= 0) {
            return {Status::Ok, 0, static_cast<size_t>(sent)};
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {Status::TimedOut, errno, 0};
        }
        return {Status::Error, errno, 0};
    }
}

EchoChannel::Result IcmpEchoChannel::Receive(std::span<uint8_t> buffer, uint32_t& sender, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        const int ready = poll(fds, m_stopFd >= 0 ? 2 : 1, static_cast<int>(std::max<int64_t>(left, 0)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return {Status::Error, errno, 0};
        }
        if (ready == 0) {
            return {Status::TimedOut, EAGAIN, 0};
        }
        if ((fds[0].revents & POLLIN) == 0) {
            return {Status::TimedOut, EINTR, 0};  // stopped
        }
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t received =
            recvfrom(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
        if (received >= 0) {
            sender = ntohl(from.sin_addr.s_addr);
            return {Status::Ok, 0, static_cast<size_t>(received)};
        }
        // Readable but nothing to read (a packet the kernel dropped after waking us): wait on.
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return {Status::Error, errno, 0};
        }
    }
}
