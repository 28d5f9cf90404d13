#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "DatagramSource.h"

// An IPv4 UDP socket over the POSIX API. Addresses are 32-bit host order (first octet most significant),
// ports host order. Functions that can fail return 0 or the errno value of the failure. The socket is
// non-blocking: a send or receive that cannot proceed at once fails with EAGAIN.
class UdpSocket : public DatagramSource {
  public:
    // Creates the socket; returns the socket or nothing with the errno in *error.
    static std::unique_ptr<UdpSocket> Create(int* error);
    ~UdpSocket() override;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int Fd() const override { return m_fd; }

    int SetBroadcast();
    // SO_REUSEADDR only: SO_REUSEPORT would share unicast datagrams with another owner of the port.
    int SetReuseAddress();
    // At least `bytes`: SO_RCVBUFFORCE first (needs CAP_NET_ADMIN, passes net.core.rmem_max), SO_RCVBUF next.
    int SetReceiveBuffer(int bytes);
    // Reports the arrival interface of each datagram (IP_PKTINFO).
    int EnablePacketInfo();
    int Bind(uint32_t address, uint16_t port);
    // The bound port (useful after binding port 0); 0 when unknown.
    uint16_t LocalPort() const;

    // Fails with EAGAIN when nothing is waiting. The interface is known when packet info is enabled.
    int Receive(std::span<uint8_t> buffer, Datagram* datagram) override;
    // `interface`, when given, sends out of that interface with `sourceAddress` as the source (IP_PKTINFO);
    // this also reaches 255.255.255.255 on an interface that no route points to.
    int SendTo(std::span<const uint8_t> data, uint32_t address, uint16_t port, std::optional<int> interface = {},
               uint32_t sourceAddress = 0);

    // Waits up to `timeoutMs` for the socket (or `alsoFd`, when >= 0) to become readable.
    // Returns >0 when readable, 0 on time-out, -errno on failure; *alsoReady tells whether alsoFd was.
    int WaitReadable(int timeoutMs, int alsoFd = -1, bool* alsoReady = nullptr);

  private:
    explicit UdpSocket(int fd) : m_fd(fd) {}
    int m_fd;
};
