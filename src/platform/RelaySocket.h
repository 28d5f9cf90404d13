#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DatagramSource.h"
#include "PrivilegedHelper.h"

// The program's end of a relay channel: the helper receives on a socket of its own and writes each packet it
// lets through as one relay record. Read-only; a record of another kind, or one that is not a record, is
// skipped. When the helper ends the source ends too (EPIPE).
class RelaySocket : public DatagramSource {
  public:
    // Takes over `fd` (a SOCK_SEQPACKET end) and makes it non-blocking; reads only records of `kind`.
    RelaySocket(int fd, uint8_t kind);
    ~RelaySocket() override;
    RelaySocket(const RelaySocket&) = delete;
    RelaySocket& operator=(const RelaySocket&) = delete;

    int Fd() const override { return m_fd; }
    // The record's payload (the UDP payload, or the ARP packet), its source address and port (DHCP only) and
    // its arrival interface.
    int Receive(std::span<uint8_t> buffer, Datagram* datagram) override;

  private:
    int m_fd;
    uint8_t m_kind;
    std::vector<uint8_t> m_packet;
};

struct RelayOpened {
    std::unique_ptr<RelaySocket> socket;
    int error = 0;     // errno when there is no socket
    std::string text;  // the helper's reason
};

// The datagrams the helper receives on 0.0.0.0:port (67 or 68) from cameras.
RelayOpened OpenDhcpRelay(PrivilegedHelper& helper, uint16_t port);
// The ARP packets of cameras on every interface, from the ARP header on.
RelayOpened OpenArpRelay(PrivilegedHelper& helper);
