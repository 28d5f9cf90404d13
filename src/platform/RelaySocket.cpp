#include "RelaySocket.h"

#include "HelperProtocol.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The largest UDP payload and the record header around it.
constexpr size_t kMaxRecord = kRelayHeaderSize + 65535;

RelayOpened Open(PrivilegedHelper& helper, const HelperRequest& request, uint8_t kind) {
    RelayOpened opened;
    int fd = -1;
    const PrivilegedHelper::Reply reply = helper.OpenChannel(request, &fd);
    if (fd < 0) {
        opened.error = reply.code != 0 ? reply.code : EPROTO;
        opened.text = reply.text;
        return opened;
    }
    opened.socket = std::make_unique<RelaySocket>(fd, kind);
    return opened;
}

}  // namespace

RelaySocket::RelaySocket(int fd, uint8_t kind) : m_fd(fd), m_kind(kind), m_packet(kMaxRecord) {
    const int flags = fcntl(fd, F_GETFL);
    // A blocking read here would hang the event loop; fcntl on a socket of our own does not fail in practice.
    if (flags >= 0) {
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
}

RelaySocket::~RelaySocket() {
    close(m_fd);
}

int RelaySocket::Receive(std::span<uint8_t> buffer, Datagram* datagram) {
    for (;;) {
        const ssize_t received = recv(m_fd, m_packet.data(), m_packet.size(), MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == ECONNRESET ? EPIPE : errno;
        }
        if (received == 0) {
            return EPIPE;  // the helper has closed its end
        }
        const std::optional<RelayRecord> record =
            ParseRelayRecord(std::span<const uint8_t>(m_packet.data(), static_cast<size_t>(received)));
        if (!record || record->kind != m_kind) {
            continue;
        }
        const size_t length = std::min(record->payload.size(), buffer.size());
        std::memcpy(buffer.data(), record->payload.data(), length);
        Datagram result;
        result.length = length;
        result.truncated = length < record->payload.size();
        result.sourceAddress = record->address;
        result.sourcePort = record->sourcePort;
        if (record->interfaceIndex != 0) {
            result.interface = static_cast<int>(record->interfaceIndex);
        }
        if (datagram != nullptr) {
            *datagram = result;
        }
        return 0;
    }
}

RelayOpened OpenDhcpRelay(PrivilegedHelper& helper, uint16_t port) {
    HelperRequest request;
    request.verb = HelperVerb::DhcpRelay;
    request.port = port;
    return Open(helper, request, kRelayDhcp);
}

RelayOpened OpenArpRelay(PrivilegedHelper& helper) {
    HelperRequest request;
    request.verb = HelperVerb::ArpRelay;
    return Open(helper, request, kRelayArp);
}
