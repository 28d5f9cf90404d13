#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "ByteReader.h"
#include "ByteWriter.h"
#include "InternetChecksum.h"
#include "Ipv4Text.h"

namespace {

TEST(InternetChecksum, FollowsRfc1071) {
    // The worked example of RFC 1071: 00 01 f2 03 f4 f5 f6 f7 sums to ddf2, checksum 220d.
    const std::vector<uint8_t> example{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7};
    EXPECT_EQ(InternetChecksum(example), 0x220D);
    // An odd last byte counts as the high byte of a word padded with zero.
    const std::vector<uint8_t> odd{0x00, 0x01, 0xF2};
    EXPECT_EQ(InternetChecksum(odd), static_cast<uint16_t>(~(0x0001 + 0xF200)));
    EXPECT_EQ(InternetChecksum({}), 0xFFFF);
}

TEST(ByteWriter, AWriteThatDoesNotFitWritesNothingAndLeavesThePosition) {
    struct Case {
        size_t size;
        size_t position;
        bool fits16;
        bool fits32;
    } cases[] = {
        {6, 0, true, true},   {6, 2, true, true},   {6, 3, true, false},
        {6, 5, false, false}, {6, 6, false, false}, {6, 9, false, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> buffer(c.size, 0xEE);
        const std::vector<uint8_t> untouched = buffer;
        ByteWriter wide(buffer, c.position);
        EXPECT_EQ(wide.U32Be(0x01020304u), c.fits32) << c.size << "@" << c.position;
        if (!c.fits32) {
            EXPECT_EQ(buffer, untouched);
            EXPECT_EQ(wide.Position(), c.position);
        }
        ByteWriter narrow(buffer, c.position);
        EXPECT_EQ(narrow.U16Be(0x0A0B), c.fits16) << c.size << "@" << c.position;
    }
}

TEST(ByteWriter, WhatItWritesTheReaderReadsBackInNetworkOrder) {
    std::vector<uint8_t> buffer(10);
    ByteWriter writer(buffer);
    const std::vector<uint8_t> tail{0xAA, 0xBB, 0xCC};
    ASSERT_TRUE(writer.U8(0x7F) && writer.U16Be(0x0102) && writer.U32Be(0xC0A80001u) && writer.Bytes(tail));
    EXPECT_FALSE(writer.U8(0));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0x7F, 0x01, 0x02, 0xC0, 0xA8, 0x00, 0x01, 0xAA, 0xBB, 0xCC}));
    ByteReader reader(buffer);
    EXPECT_EQ(reader.U8(), 0x7F);
    EXPECT_EQ(reader.U16Be(), 0x0102);
    EXPECT_EQ(reader.U32Be(), 0xC0A80001u);
    EXPECT_EQ(reader.Bytes(4), std::nullopt);
    EXPECT_EQ(reader.Remaining(), 3u);
}

TEST(Ipv4Text, OnlyFourPlainOctetsParseAndFormattingRoundTrips) {
    struct Case {
        const char* text;
        std::optional<uint32_t> expected;
    } cases[] = {
        {"192.168.0.1", 0xC0A80001u},     {"0.0.0.0", 0u},
        {"255.255.255.255", 0xFFFFFFFFu}, {"256.0.0.1", std::nullopt},
        {"1.2.3", std::nullopt},          {"1.2.3.4.5", std::nullopt},
        {"01.2.3.4", std::nullopt},       {"1..3.4", std::nullopt},
        {"1.2.3.4 ", std::nullopt},       {" 1.2.3.4", std::nullopt},
        {"1.2.3.-4", std::nullopt},       {"1.2.3.0x4", std::nullopt},
        {"1000.2.3.4", std::nullopt},     {"", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto parsed = ParseStrictDottedAddress(c.text);
        EXPECT_EQ(parsed, c.expected) << '"' << c.text << '"';
        if (parsed) {
            EXPECT_EQ(FormatDottedAddress(*parsed), c.text);
        }
    }
    EXPECT_EQ(FormatDottedAddress(0xC0A80001u), "192.168.0.1");
}

}  // namespace
