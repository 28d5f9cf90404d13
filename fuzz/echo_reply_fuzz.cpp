// One packet from the raw ICMP socket (IPv4 header first) or from a datagram ICMP socket (no header), decoded
// for ourselves and for another identifier. The decoding prints at most two lines, each ended by a line feed,
// and reports a reply of ours exactly when the packet holds one.
#include "Diagnostics.h"
#include "EchoRequest.h"
#include "FuzzSupport.h"

#include <span>
#include <string>

namespace {

constexpr uint32_t kSender = 0x0AD50732;  // 10.213.7.50

void Decode(std::span<const uint8_t> packet, bool withIpHeader) {
    const size_t header = withIpHeader && !packet.empty() ? static_cast<size_t>(packet[0] & 0x0F) * 4 : 0;
    const bool echoReply = packet.size() > header && packet[header] == 0;
    const bool complete = packet.size() >= header + 12;
    const uint16_t ours = packet.size() >= header + 6
                              ? static_cast<uint16_t>(packet[header + 4] | packet[header + 5] << 8)
                              : uint16_t{0x4242};
    for (const uint16_t identifier : {ours, static_cast<uint16_t>(ours ^ 0x8001)}) {
        RecordingDiagnostics diagnostics;
        DecodeEchoReply(packet, withIpHeader, kSender, identifier, 123456, diagnostics);
        const auto lines = diagnostics.Lines();
        FUZZ_CHECK(lines.size() <= 2, "at most two lines");
        bool reply = false;
        for (const auto& line : lines) {
            FUZZ_CHECK(!line.text.empty() && line.text.back() == '\n', "lines end with a line feed");
            FUZZ_CHECK(line.text.find('\n') == line.text.size() - 1, "one line at a time");
            if (line.text.find(" bytes from 10.213.7.50: icmp_seq = ") != std::string::npos) {
                FUZZ_CHECK(line.text == std::to_string(packet.size()) + line.text.substr(line.text.find(' ')),
                           "reply line starts with the packet length");
                reply = true;
            }
        }
        const bool expected = echoReply && complete && identifier == ours && packet.size() >= header + 6;
        FUZZ_CHECK(reply == expected, "a reply of ours is reported exactly when the packet holds one");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> packet(data, size);
    Decode(packet, true);
    Decode(packet, false);
    return 0;
}
