#include "EchoRequest.h"

#include "ByteReader.h"
#include "ConfigFileRewrite.h"
#include "Diagnostics.h"
#include "Ipv4Text.h"

namespace {

void PutLe16(std::array<uint8_t, EchoRequest::kSize>& bytes, size_t offset, uint16_t value) {
    bytes[offset] = static_cast<uint8_t>(value & 0xFF);
    bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

std::optional<uint16_t> Le16(ByteReader& reader) {
    const auto low = reader.U8();
    const auto high = reader.U8();
    if (!low || !high) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(*low | (*high << 8));
}

}  // namespace

EchoRequest::EchoRequest(uint16_t identifier) {
    m_bytes.fill(kFill);
    m_bytes[0] = 8;
    m_bytes[1] = 0;
    PutLe16(m_bytes, 2, 0);
    PutLe16(m_bytes, 4, identifier);
    PutLe16(m_bytes, 6, 0);
    for (size_t i = 8; i < 12; ++i) {
        m_bytes[i] = 0;
    }
}

void EchoRequest::Prepare(uint16_t sequence, uint32_t timestampMs) {
    PutLe16(m_bytes, 2, 0);
    PutLe16(m_bytes, 6, sequence);
    PutLe16(m_bytes, 8, static_cast<uint16_t>(timestampMs & 0xFFFF));
    PutLe16(m_bytes, 10, static_cast<uint16_t>(timestampMs >> 16));
    const uint16_t checksum = InternetChecksum(m_bytes);
    // Stored so that the words summed by the receiver come out as 0xFFFF: high byte first, like the sum.
    m_bytes[2] = static_cast<uint8_t>(checksum >> 8);
    m_bytes[3] = static_cast<uint8_t>(checksum & 0xFF);
}

std::optional<uint16_t> DecodeEchoReply(std::span<const uint8_t> packet, bool withIpHeader, uint32_t sender,
                                        uint16_t identifier, uint32_t nowMs, Diagnostics& diagnostics) {
    const std::string from = FormatDottedAddress(sender);
    const size_t headerLength = withIpHeader && !packet.empty() ? static_cast<size_t>(packet[0] & 0x0F) * 4 : 0;
    if (packet.size() < headerLength + 8) {
        diagnostics.Print(Diagnostics::Stream::Out, "Too few bytes from %s\n", from.c_str());
    }
    ByteReader reader(packet, headerLength);
    const auto type = reader.U8();
    if (!type) {
        return std::nullopt;
    }
    if (*type != 0) {
        diagnostics.Print(Diagnostics::Stream::Err, "non-echo type %d recvd\n", *type);
        return std::nullopt;
    }
    ByteReader fields(packet, headerLength + 4);
    const auto id = Le16(fields);
    if (!id) {
        return std::nullopt;
    }
    if (*id != identifier) {
        diagnostics.Print(Diagnostics::Stream::Err, "someone else's packet!\n");
        return std::nullopt;
    }
    const auto sequence = Le16(fields);
    const auto timestamp = fields.U32Le();
    if (!sequence || !timestamp) {
        return std::nullopt;
    }
    diagnostics.Print(Diagnostics::Stream::Out, "%d bytes from %s: icmp_seq = %d.  time: %d ms \n",
                      static_cast<int>(packet.size()), from.c_str(), static_cast<int>(*sequence),
                      static_cast<int>(nowMs - *timestamp));
    return *sequence;
}
