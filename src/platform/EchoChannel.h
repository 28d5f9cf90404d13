#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "StopSignal.h"

// One ICMP endpoint for echo requests and whatever ICMP comes back. Addresses are IPv4 in host order.
class EchoChannel {
  public:
    // SendFailed: a Receive learns that an earlier request could not be sent (a channel that sends later).
    enum class Status { Ok, TimedOut, Error, SendFailed };
    struct Result {
        Status status = Status::Ok;
        int error = 0;     // errno when status is Error
        size_t bytes = 0;  // bytes sent or received when status is Ok
    };

    virtual ~EchoChannel() = default;

    // Sends one ICMP message. A send that the kernel could not finish within the send time-out is TimedOut.
    virtual Result Send(uint32_t destination, std::span<const uint8_t> message) = 0;
    // Waits up to timeoutMs for one packet and copies as much of it as fits into buffer; nothing in time is
    // TimedOut. The caller decides whether the packet answers it.
    virtual Result Receive(std::span<uint8_t> buffer, uint32_t& sender, int timeoutMs) = 0;

    // Raw sockets hand over the IP header in front of the ICMP message; datagram ICMP sockets do not.
    virtual bool DeliversIpHeader() const = 0;
    // The identifier (as read little-endian from offset 4 of the ICMP message) that replies to this process
    // carry. Datagram sockets put their own identifier on every request, so it may differ from the one asked for.
    virtual uint16_t ReplyIdentifier() const = 0;
    // From now on a stop request ends a Receive early, as TimedOut.
    virtual void InterruptOn(const StopSignal&) {}
};

// The real thing: an unprivileged ICMP datagram socket (allowed by net.ipv4.ping_group_range), or for a
// privileged process, a raw ICMP socket. Both time-outs are set on the socket.
class IcmpEchoChannel : public EchoChannel {
  public:
    enum class Failure { None, Socket, ReceiveTimeout, SendTimeout };
    struct Opened {
        std::unique_ptr<EchoChannel> channel;
        Failure failure = Failure::None;
        int error = 0;  // errno of the failing call; for Socket, that of the raw socket
    };

    enum class Mode { RawThenDatagram, RawOnly, DatagramOnly };

    // identifier: the value the requests will carry (little-endian at offset 4). The datagram socket is tried
    // when the raw one is refused for want of privilege; a failure is the errno of the last socket tried.
    static Opened Open(uint16_t identifier, int timeoutMs, Mode mode = Mode::RawThenDatagram);
    ~IcmpEchoChannel() override;
    IcmpEchoChannel(const IcmpEchoChannel&) = delete;
    IcmpEchoChannel& operator=(const IcmpEchoChannel&) = delete;

    Result Send(uint32_t destination, std::span<const uint8_t> message) override;
    Result Receive(std::span<uint8_t> buffer, uint32_t& sender, int timeoutMs) override;
    bool DeliversIpHeader() const override { return m_raw; }
    uint16_t ReplyIdentifier() const override { return m_identifier; }
    void InterruptOn(const StopSignal& stop) override { m_stopFd = stop.Fd(); }

  private:
    static Opened Finish(int fd, bool raw, uint16_t replyIdentifier, int timeoutMs);
    IcmpEchoChannel(int fd, bool raw, uint16_t identifier) : m_fd(fd), m_raw(raw), m_identifier(identifier) {}

    int m_fd;
    bool m_raw;
    uint16_t m_identifier;
    int m_stopFd = -1;
};
