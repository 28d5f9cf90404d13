#include <gtest/gtest.h>

#include "WizardRules.h"

namespace {

TEST(WizardRules, NetworkPageRefusesAddressesNoCameraCanHoldAndBrokenMasks) {
    const struct {
        uint32_t address, mask;
        bool passes;
    } cases[] = {
        {0xC0A80001u, 0xFFFFFF00u, true},
        {0xC0A80000u, 0xFFFFFF00u, true},  // a blank last octet
        {0xC0A800FEu, 0xFFFFFF00u, true},
        {0xC0A800FFu, 0xFFFF0000u, true},  // .255 inside a /16
        {0x0A0000FFu, 0xFFFFFFFEu, true},  // a /31 has no broadcast address
        {0x0A0000FFu, 0xFFFFFFFFu, true},
        {0xDFFFFFFEu, 0xFFFFFF00u, true},
        {0, 0xFFFFFF00u, false},
        {0xC0A80001u, 0, false},
        {0, 0, false},
        {0xC0A800FFu, 0xFFFFFF00u, false},  // subnet broadcast
        {0xC0A8FFFFu, 0xFFFF0000u, false},
        {0x0A000003u, 0xFFFFFFFCu, false},
        {0xFFFFFFFFu, 0xFFFFFF00u, false},
        {0xE0000001u, 0xFFFFFF00u, false},  // multicast
        {0xEFFFFFFAu, 0xFFFFFF00u, false},
        {0xF0000001u, 0xFFFFFF00u, false},  // 240/4
        {0x7F000001u, 0xFF000000u, false},  // loopback
        {0x7F000102u, 0xFFFFFF00u, false},
        {0xC0A80001u, 0xFFFF00FFu, false},  // ones not contiguous
        {0xC0A80000u, 0x00000001u, false},
        {0xC0A80001u, 0x00FFFFFFu, false},
    };
    for (const auto& c : cases) {
        const auto failure = CheckNetworkAddresses(c.address, c.mask);
        EXPECT_EQ(!failure, c.passes) << std::hex << c.address << " " << c.mask;
        if (failure) {
            EXPECT_EQ(*failure, "You must fill the correct IP address or subnet mask");
        }
    }
}

TEST(WizardRules, CharacterClasses) {
    const struct {
        std::string text;
        bool ssid, ascii, hex;
    } cases[] = {
        {"", true, true, true},
        {"default", true, true, false},
        {"0123456789ABCDEF", true, true, true},
        {"abcdef", true, true, false},  // lower case is upper-cased before the hex check
        {"G0", true, true, false},
        {"my net", false, true, false},
        {"a\"b", false, false, false},
        {"a<b", false, false, false},
        {"a>b", false, false, false},
        {"line\nbreak", false, false, false},
        {"carriage\rreturn", false, false, false},
        {"!#$%&'()*+,-./:;=?@[]^_`{|}~", true, true, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsValidSsid(c.text), c.ssid) << c.text;
        EXPECT_EQ(IsValidAsciiKey(c.text), c.ascii) << c.text;
        EXPECT_EQ(IsValidHexKey(c.text), c.hex) << c.text;
    }
}

TEST(WizardRules, RequiredKeyLengths) {
    const int ascii[] = {5, 13, 29};
    const int hex[] = {10, 26, 58};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(RequiredKeyLength(i, kKeyFormatAscii), ascii[i]);
        EXPECT_EQ(RequiredKeyLength(i, kKeyFormatHex), hex[i]);
        EXPECT_EQ(RequiredKeyLength(i, 5), hex[i]);
    }
}

TEST(WizardRules, KeyTextTransforms) {
    EXPECT_EQ(UpperCaseKey("abcxyz09AZ <>\"\xe9"), "ABCXYZ09AZ <>\"\xe9");
    EXPECT_EQ(NormaliseKey("ABC", 5), "ABC00");
    EXPECT_EQ(NormaliseKey("ABCDEFG", 5), "ABCDE");
    EXPECT_EQ(NormaliseKey("", 10), "0000000000");
    EXPECT_EQ(NormaliseKey("ABCDE", 5), "ABCDE");
    EXPECT_EQ(KeyLengthMessage(2, 26), "character length of key2 is incorrect, please enter exactly 26 characters\n");
}

InstallParams Wireless(bool encryption, int format, int keySelect, std::initializer_list<const char*> keys) {
    InstallParams p;
    p.m_ssid = "default";
    p.m_dataEncryption = encryption;
    p.m_keyFormat = format;
    p.m_keySelect = keySelect;
    int i = 0;
    for (const char* key : keys) {
        p.m_keys[i++] = key;
    }
    return p;
}

TEST(WizardRules, WirelessChecksInTheirOrder) {
    const std::string k10(10, '0');
    {
        InstallParams p = Wireless(true, kKeyFormatHex, 0, {"abcdef0123", "0", "1", "2"});
        p.m_ssid = "has space";
        EXPECT_EQ(CheckWirelessSettings(p, 10), "You have used invalid characters.");
        EXPECT_EQ(p.m_keys[0], "abcdef0123");  // failed before the keys were touched
    }
    {
        InstallParams p = Wireless(true, kKeyFormatHex, 0, {"abcdef0123", "12", "123456789012345", ""});
        EXPECT_EQ(CheckWirelessSettings(p, 10), std::nullopt);
        EXPECT_EQ(p.m_keys[0], "ABCDEF0123");
        EXPECT_EQ(p.m_keys[1], "1200000000");
        EXPECT_EQ(p.m_keys[2], "1234567890");
        EXPECT_EQ(p.m_keys[3], k10);
    }
    {
        // The selected key must have the length; keys before it are already normalised.
        InstallParams p = Wireless(true, kKeyFormatHex, 1, {"12", std::string(25, 'A').c_str(), k10.c_str(), ""});
        EXPECT_EQ(CheckWirelessSettings(p, 26),
                  "character length of key2 is incorrect, please enter exactly 26 characters\n");
        EXPECT_EQ(p.m_keys[0], "12000000000000000000000000");
        EXPECT_EQ(p.m_keys[2], k10);
    }
    {
        InstallParams p = Wireless(true, kKeyFormatHex, 0, {k10.c_str(), k10.c_str(), "00000G0000", k10.c_str()});
        EXPECT_EQ(CheckWirelessSettings(p, 10), "Invalid Hex");
    }
    {
        InstallParams p = Wireless(true, kKeyFormatAscii, 0, {"ab de", "x<y", "     ", "     "});
        EXPECT_EQ(CheckWirelessSettings(p, 5),
                  "You have used invalid characters.\nThese invalid characters are : \", <, >.");
        EXPECT_EQ(p.m_keys[0], "ab de");  // an ASCII key keeps its case
    }
    {
        InstallParams p = Wireless(true, kKeyFormatAscii, 0, {"ab\nde", "     ", "     ", "     "});
        EXPECT_EQ(CheckWirelessSettings(p, 5),
                  "You have used invalid characters.\nThese invalid characters are : \", <, >.");
    }
    {
        // Encryption off: keys are upper-cased but neither checked nor normalised.
        InstallParams p = Wireless(false, kKeyFormatHex, 0, {"x<y", "", "z", "\n"});
        EXPECT_EQ(CheckWirelessSettings(p, 10), std::nullopt);
        EXPECT_EQ(p.m_keys[0], "X<Y");
        EXPECT_EQ(p.m_keys[1], "");
    }
    {
        InstallParams p = Wireless(false, 0, 0, {});
        p.m_ssid = "net\n<reset system>";
        EXPECT_EQ(CheckWirelessSettings(p, 10), "You have used invalid characters.");
        p.m_ssid = std::string(33, 'a');
        EXPECT_EQ(CheckWirelessSettings(p, 10), kSsidTooLongMessage);
        p.m_ssid = std::string(32, 'a');
        EXPECT_EQ(CheckWirelessSettings(p, 10), std::nullopt);
    }
}

}  // namespace
