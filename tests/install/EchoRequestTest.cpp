#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "Diagnostics.h"
#include "EchoRequest.h"

namespace {

using Stream = Diagnostics::Stream;

// A 20-byte IPv4 header followed by an echo reply carrying identifier, sequence and timestamp little-endian.
std::vector<uint8_t> Reply(uint8_t type, uint16_t identifier, uint16_t sequence, uint32_t timestamp) {
    std::vector<uint8_t> packet(20 + 44, 0x45);
    packet[0] = 0x45;
    packet[20] = type;
    packet[21] = 0;
    packet[24] = static_cast<uint8_t>(identifier);
    packet[25] = static_cast<uint8_t>(identifier >> 8);
    packet[26] = static_cast<uint8_t>(sequence);
    packet[27] = static_cast<uint8_t>(sequence >> 8);
    for (int i = 0; i < 4; ++i) {
        packet[28 + i] = static_cast<uint8_t>(timestamp >> (8 * i));
    }
    return packet;
}

TEST(EchoRequestTest, LayoutAndChecksumVerifyToZero) {
    EchoRequest request(0xBEEF);
    for (const uint16_t sequence : {0, 1, 9, 14, 0xFFFF}) {
        request.Prepare(sequence, 0x12345678u + sequence);
        const auto bytes = request.Bytes();
        ASSERT_EQ(bytes.size(), 44u);
        EXPECT_EQ(bytes[0], 8);
        EXPECT_EQ(bytes[1], 0);
        EXPECT_EQ(bytes[4], 0xEF);
        EXPECT_EQ(bytes[5], 0xBE);
        EXPECT_EQ(bytes[6], sequence & 0xFF);
        EXPECT_EQ(bytes[7], sequence >> 8);
        const uint32_t stamp = 0x12345678u + sequence;
        EXPECT_EQ(bytes[8], stamp & 0xFF);
        EXPECT_EQ(bytes[11], stamp >> 24);
        for (size_t i = 12; i < 44; ++i) {
            EXPECT_EQ(bytes[i], 0x45) << i;
        }
        EXPECT_EQ(InternetChecksum(bytes), 0) << "sequence " << sequence;
    }
    request.Prepare(1, 0);
    EXPECT_EQ(request.Bytes()[6], 0x01);
    EXPECT_EQ(request.Bytes()[7], 0x00);
}

TEST(EchoRequestTest, DecodingPrintsTheLinesAndFindsOurReplies) {
    struct Case {
        const char* name;
        std::vector<uint8_t> packet;
        bool withIpHeader;
        std::string out;
        std::string err;
        std::optional<uint16_t> sequence;  // only a whole reply of ours has one
    };
    std::vector<uint8_t> datagram = Reply(0, 0x4321, 3, 1000);
    datagram.erase(datagram.begin(), datagram.begin() + 20);
    std::vector<uint8_t> shortReply = Reply(0, 0x4321, 7, 1000);
    shortReply.resize(26);
    const std::vector<Case> cases{
        {"our reply", Reply(0, 0x4321, 7, 1000), true, "64 bytes from 10.0.0.9: icmp_seq = 7.  time: 250 ms \n", "", 7},
        {"another process", Reply(0, 0x1111, 7, 1000), true, "", "someone else's packet!\n", std::nullopt},
        {"not a reply", Reply(3, 0x4321, 7, 1000), true, "", "non-echo type 3 recvd\n", std::nullopt},
        {"datagram socket", datagram, false, "44 bytes from 10.0.0.9: icmp_seq = 3.  time: 250 ms \n", "", 3},
        {"short", shortReply, true, "Too few bytes from 10.0.0.9\n", "", std::nullopt},
    };
    for (const Case& c : cases) {
        RecordingDiagnostics diagnostics;
        EXPECT_EQ(DecodeEchoReply(c.packet, c.withIpHeader, 0x0A000009u, 0x4321, 1250, diagnostics), c.sequence)
            << c.name;
        EXPECT_EQ(diagnostics.Text(Stream::Out), c.out) << c.name;
        EXPECT_EQ(diagnostics.Text(Stream::Err), c.err) << c.name;
    }
}

TEST(EchoRequestTest, DecodingNeverReadsPastThePacket) {
    // Every truncation of a reply, and a header length that points past the end: no read outside the bytes
    // (the sanitizer build checks), at most the short-packet line and the lines whose fields are present.
    const std::vector<uint8_t> full = Reply(0, 0x4321, 7, 1000);
    for (size_t length = 0; length <= full.size(); ++length) {
        std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<long>(length));
        RecordingDiagnostics diagnostics;
        const std::optional<uint16_t> sequence = DecodeEchoReply(part, true, 1, 0x4321, 0, diagnostics);
        EXPECT_EQ(sequence.has_value(), length >= 32) << length;
        const std::string out = diagnostics.Text(Stream::Out);
        if (length < 28) {
            EXPECT_EQ(out.rfind("Too few bytes from 0.0.0.1\n", 0), 0u) << length;
        }
        if (length < 32) {
            EXPECT_EQ(out.find("icmp_seq"), std::string::npos) << length;
        }
    }
    std::vector<uint8_t> longHeader(30, 0);
    longHeader[0] = 0x4F;  // 60-byte header claimed
    RecordingDiagnostics diagnostics;
    DecodeEchoReply(longHeader, true, 1, 0, 0, diagnostics);
    EXPECT_EQ(diagnostics.Text(Stream::Out), "Too few bytes from 0.0.0.1\n");
}

}  // namespace
