#include "HelperEchoChannel.h"

#include "HelperProtocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr size_t kMaxPacket = kRelayHeaderSize + 65535;
constexpr size_t kEchoHeaderSize = 8;

}  // namespace

IcmpEchoChannel::Opened HelperEchoChannel::Open(PrivilegedHelper& helper, int timeoutMs) {
    IcmpEchoChannel::Opened opened;
    HelperRequest request;
    request.verb = HelperVerb::EchoOpen;
    int fd = -1;
    const PrivilegedHelper::Reply reply = helper.OpenChannel(request, &fd);
    const std::optional<uint16_t> identifier = fd >= 0 ? ParseEchoOpened(reply.text) : std::nullopt;
    if (!identifier) {
        if (fd >= 0) {
            close(fd);
        }
        opened.failure = IcmpEchoChannel::Failure::Socket;
        opened.error = reply.code != 0 ? reply.code : EPROTO;
        return opened;
    }
    timeval value{};
    value.tv_sec = timeoutMs / 1000;
    value.tv_usec = (timeoutMs % 1000) * 1000;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) != 0) {
        opened.failure = IcmpEchoChannel::Failure::SendTimeout;
        opened.error = errno;
        close(fd);
        return opened;
    }
    opened.channel = std::make_unique<HelperEchoChannel>(fd, WireIdentifier(*identifier));
    return opened;
}

HelperEchoChannel::HelperEchoChannel(int fd, uint16_t identifier)
    : m_fd(fd), m_identifier(identifier), m_packet(kMaxPacket) {}

HelperEchoChannel::~HelperEchoChannel() {
    close(m_fd);
}

EchoChannel::Result HelperEchoChannel::Send(uint32_t destination, std::span<const uint8_t> message) {
    if (message.size() < kEchoHeaderSize) {
        return {Status::Error, EINVAL, 0};
    }
    RelayRecord record{};
    record.kind = kRelayEchoRequest;
    record.sequence = static_cast<uint16_t>((message[6] << 8) | message[7]);  // the bytes on the wire, kept
    record.address = destination;
    record.payload = message.subspan(kEchoHeaderSize);
    const std::vector<uint8_t> packet = FormatRelayRecord(record);
    for (;;) {
        if (send(m_fd, packet.data(), packet.size(), MSG_NOSIGNAL) >= 0) {
            return {Status::Ok, 0, message.size()};
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return {Status::TimedOut, errno, 0};
        }
        return {Status::Error, errno == ECONNRESET ? EPIPE : errno, 0};
    }
}

EchoChannel::Result HelperEchoChannel::Receive(std::span<uint8_t> buffer, uint32_t& sender, int timeoutMs) {
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
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            return {Status::TimedOut, EINTR, 0};  // stopped
        }
        const ssize_t received = recv(m_fd, m_packet.data(), m_packet.size(), MSG_DONTWAIT);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (received < 0) {
            return {Status::Error, errno == ECONNRESET ? EPIPE : errno, 0};
        }
        if (received == 0) {
            return {Status::Error, EPIPE, 0};  // the helper has ended
        }
        const std::optional<RelayRecord> record =
            ParseRelayRecord(std::span<const uint8_t>(m_packet.data(), static_cast<size_t>(received)));
        if (!record) {
            continue;
        }
        if (record->kind == kRelayError) {
            const int error = record->interfaceIndex != 0 ? static_cast<int>(record->interfaceIndex) : EIO;
            return {Status::SendFailed, error, 0};
        }
        if (record->kind != kRelayIcmp) {
            continue;
        }
        const size_t length = std::min(record->payload.size(), buffer.size());
        std::memcpy(buffer.data(), record->payload.data(), length);
        sender = record->address;
        return {Status::Ok, 0, length};
    }
}
