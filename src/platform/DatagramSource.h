#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Something that hands over received datagrams one at a time without blocking: a UDP socket of this process,
// or the records the helper relays from a socket of its own.
class DatagramSource {
  public:
    struct Datagram {
        size_t length = 0;             // bytes copied into the caller's buffer (excess is discarded)
        bool truncated = false;        // the datagram was longer than the buffer
        uint32_t sourceAddress = 0;    // host order
        uint16_t sourcePort = 0;       // host order
        std::optional<int> interface;  // arrival interface index, when known
    };

    virtual ~DatagramSource() = default;
    // Readable when a datagram waits (or when the source has ended, see Receive).
    virtual int Fd() const = 0;
    // 0, or the errno: EAGAIN when nothing is waiting, EPIPE once the source has ended for good.
    virtual int Receive(std::span<uint8_t> buffer, Datagram* datagram) = 0;
};
