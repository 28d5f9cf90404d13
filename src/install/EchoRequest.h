#pragma once

// The ICMP echo request that the installation sends, and the diagnostic decoding of whatever comes back.
//
// Request layout (44 bytes): type 8, code 0, checksum (offset 2), identifier (offset 4, little-endian),
// sequence number (offset 6, little-endian: the cameras have always been sent host order, not network order),
// millisecond timestamp (offset 8, little-endian), then 32 bytes of 0x45.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "InternetChecksum.h"

class Diagnostics;

class EchoRequest {
  public:
    static constexpr size_t kSize = 44;
    static constexpr size_t kHeaderSize = 8;  // type to sequence; the payload follows
    static constexpr uint8_t kFill = 0x45;

    explicit EchoRequest(uint16_t identifier);

    // Sets sequence number and timestamp and recomputes the checksum.
    void Prepare(uint16_t sequence, uint32_t timestampMs);
    std::span<const uint8_t> Bytes() const { return m_bytes; }

  private:
    std::array<uint8_t, kSize> m_bytes{};
};

// Prints the lines a received packet gives rise to, and says whether it is an echo reply meant for this process.
// withIpHeader: the packet starts with an IPv4 header (raw sockets). identifier: the one that marks replies to
// this process. Tolerates any length: a field that lies past the end of the packet ends the decoding
// silently after the "Too few bytes" line.
//   short packet      "Too few bytes from %s\n"            (stdout; decoding goes on)
//   type other than 0 "non-echo type %d recvd\n"           (stderr)
//   other identifier  "someone else's packet!\n"           (stderr)
//   a reply of ours   "%d bytes from %s: icmp_seq = %d.  time: %d ms \n"   (stdout)
// Returns the sequence number of a reply of ours whose fields are all present; nothing for anything else.
// Which address sent it is for the caller to judge.
std::optional<uint16_t> DecodeEchoReply(std::span<const uint8_t> packet, bool withIpHeader, uint32_t sender,
                                        uint16_t identifier, uint32_t nowMs, Diagnostics& diagnostics);
