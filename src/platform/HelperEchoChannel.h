#pragma once

#include <cstdint>
#include <vector>

#include "EchoChannel.h"
#include "PrivilegedHelper.h"

// Echo requests sent by camera-setup-helper, for a user who may not open an ICMP datagram socket. The program
// writes each request into an echo-open channel as a record; the helper builds and sends it, and writes back,
// once each and within a few seconds, only the echo reply and the ICMP errors that answer one of this channel's
// requests (address, identifier, sequence), without the IP header. Beyond a request or two a second the helper
// refuses requests (EBUSY). A destination the helper refuses, or its failed send, comes back to the
// next Receive as SendFailed.
class HelperEchoChannel : public EchoChannel {
  public:
    // The helper picks the identifier (one no other ICMP socket of the PC uses): ReplyIdentifier() tells it.
    // Failure::Socket with the helper's errno when it refuses.
    static IcmpEchoChannel::Opened Open(PrivilegedHelper& helper, int timeoutMs);
    // Over a channel end of the caller's (tests): takes over `fd`.
    HelperEchoChannel(int fd, uint16_t identifier);
    ~HelperEchoChannel() override;
    HelperEchoChannel(const HelperEchoChannel&) = delete;
    HelperEchoChannel& operator=(const HelperEchoChannel&) = delete;

    // message: a whole echo request; the helper puts its own type, code, identifier and checksum on it.
    Result Send(uint32_t destination, std::span<const uint8_t> message) override;
    Result Receive(std::span<uint8_t> buffer, uint32_t& sender, int timeoutMs) override;
    bool DeliversIpHeader() const override { return false; }
    uint16_t ReplyIdentifier() const override { return m_identifier; }
    void InterruptOn(const StopSignal& stop) override { m_stopFd = stop.Fd(); }

    // The identifier as the helper's requests spell it: the value of the two bytes on the wire, read in network
    // order.
    static uint16_t WireIdentifier(uint16_t identifier) {
        return static_cast<uint16_t>(((identifier & 0xFF) << 8) | (identifier >> 8));
    }

  private:
    int m_fd;
    uint16_t m_identifier;
    int m_stopFd = -1;
    std::vector<uint8_t> m_packet;
};
