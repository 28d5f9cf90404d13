#include "MacAddress.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

const MacAddress kMac({0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef});

TEST(MacAddress, ParsesTheWrittenFormsAndNothingElse) {
    struct Case {
        std::string text;
        std::string separators;
        std::optional<MacAddress> parsed;
    } cases[] = {
        {"00-1A-2B-C3-D4-EF", "-:", kMac},          {"00:1a:2b:c3:d4:ef", "-:", kMac},
        {"00-1a:2B-c3:D4-ef", "-:", kMac},          {"00:1a:2b:c3:d4:ef", ":", kMac},
        {"00-1a-2b-c3-d4-ef", ":", std::nullopt},   {"00-1A-2B-C3-D4-E", "-:", std::nullopt},
        {"00-1A-2B-C3-D4-EF ", "-:", std::nullopt}, {" 0-1A-2B-C3-D4-EF", "-:", std::nullopt},
        {"00-1A-2B-C3-D4-EG", "-:", std::nullopt},  {"00.1A.2B.C3.D4.EF", "-:", std::nullopt},
        {"001A2BC3D4EF", "-:", std::nullopt},       {"", "-:", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MacAddress::Parse(c.text, c.separators), c.parsed) << c.text;
    }
    const uint8_t bytes[] = {0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef, 0x01};
    EXPECT_EQ(MacAddress::FromBytes(std::span(bytes, 6)), kMac);
    EXPECT_EQ(MacAddress::FromBytes(std::span(bytes, 7)), std::nullopt);
    EXPECT_EQ(MacAddress::FromBytes(std::span(bytes, 5)), std::nullopt);
}

TEST(MacAddress, FormsItsTexts) {
    EXPECT_EQ(kMac.Text(), "00-1A-2B-C3-D4-EF");
    EXPECT_EQ(kMac.ColonText(), "00:1a:2b:c3:d4:ef");
    EXPECT_EQ(kMac.PasswordText(), "001A2BC3D4EF");
    EXPECT_EQ(MacAddress::Parse(MacAddress({0xff, 0, 0x10, 1, 0xa0, 9}).Text()),
              MacAddress({0xff, 0, 0x10, 1, 0xa0, 9}));
}

}  // namespace
