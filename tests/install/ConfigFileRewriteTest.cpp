#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "ConfigFileRewrite.h"
#include "ConfigLineReader.h"
#include "InstallParams.h"
#include "Ipv4Text.h"

namespace {

std::string Rewrite(const std::string& input, const InstallParams& params) {
    std::istringstream in(input);
    std::ostringstream out;
    RewriteConfigFile(in, out, params);
    return out.str();
}

InstallParams SampleParams() {
    InstallParams p = InstallParams::ForCamera({.address = 0xC0A80164u,
                                                .mask = 0xFFFF0000u,
                                                .gateway = 0xC0A80101u,
                                                .dns1 = 0x08080808u,
                                                .dns2 = 0x01010101u});
    p.m_installEnabled = true;
    p.m_ssid = "lab-net";
    p.m_wirelessMode = 1;
    p.m_channelIndex = 10;
    p.m_txRateIndex = 2;
    p.m_preamble = 1;
    p.m_dataEncryption = true;
    p.m_authenticationIndex = 1;
    p.m_keyLengthIndex = 1;
    p.m_keyFormat = 1;
    p.m_keySelect = 0;
    p.m_keys[0] = "K1";
    p.m_keys[1] = "K2";
    p.m_keys[2] = "K3";
    p.m_keys[3] = "K4";
    return p;
}

TEST(InstallParams, FirstDisplayOfACamera) {
    const SegmentSettings segment{0xFFFF0000u, 0x0A000001u, {0x0A000035u, 0x0A000036u}};
    struct Case {
        CameraRecord camera;
        SegmentSettings segment;
        uint32_t mask, gateway, dns1, dns2;
    } cases[] = {
        {{.address = 1, .mask = 0xFFFF0000u, .gateway = 2, .dns1 = 3, .dns2 = 4}, {}, 0xFFFF0000u, 2, 3, 4},
        {{.address = 1, .mask = 0, .gateway = 0, .dns1 = 0, .dns2 = 0}, {}, 0xFFFFFF00u, 0, 0, 0},
        // Values no packet told (a camera only the XRM search found) read as an empty cell always has.
        {{.address = 1}, {}, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {{.address = 1}, segment, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
        // Settings the PC never saw take its own segment's; told ones stay.
        {{.address = 1, .mask = 0, .gateway = 0, .dns1 = 0, .dns2 = 0},
         segment,
         0xFFFF0000u,
         0x0A000001u,
         0x0A000035u,
         0x0A000036u},
        {{.address = 1, .mask = 0xFF000000u, .gateway = 2, .dns1 = 3, .dns2 = 0}, segment, 0xFF000000u, 2, 3, 0},
        {{.address = 1, .mask = 0, .gateway = 0, .dns1 = 0, .dns2 = 0},
         {.mask = std::nullopt, .gateway = std::nullopt, .nameServers = {5}},
         0xFFFFFF00u,
         0,
         5,
         0},
    };
    for (const Case& c : cases) {
        const InstallParams p = InstallParams::ForCamera(c.camera, c.segment);
        EXPECT_EQ(p.m_newAddress, 1u);
        EXPECT_EQ(p.m_subnetMask, c.mask);
        EXPECT_EQ(p.m_gateway, c.gateway);
        EXPECT_EQ(p.m_primaryDns, c.dns1);
        EXPECT_EQ(p.m_secondaryDns, c.dns2);
    }
}

// Every tag, each followed by an old value, with Unix line ends.
const char* const kFullFile =
    "[camera]\n<reset system>\nNO\n<install enabled>\nNO\n<subnet mask>\n0.0.0.0\n<gateway ip>\nx\n"
    "<primary name server>\nx\n<secondary name server>\nx\n<SSID>\nold ssid\n<wireless mode>\n0\n<channel>\n1\n"
    "<Tx rate>\n1M\n<preamble>\nlong\n<data encryption>\nNO\n<authentication mode>\nauto\n<key length>\n64bit\n"
    "<key format>\nASCII\n<key select>\n3\n<key 1>\nold1\n<key 2>\nold2\n<key 3>\nold3\n<key 4>\nold4\nend\n";

TEST(ConfigFileRewrite, EveryTagGetsItsValueAndEveryLineEndsWithCrLf) {
    EXPECT_EQ(Rewrite(kFullFile, SampleParams()),
              "[camera]\r\n<reset system>\r\nYES\r\n<install enabled>\r\nYES\r\n<subnet mask>\r\n255.255.0.0\r\n"
              "<gateway ip>\r\n192.168.1.1\r\n<primary name server>\r\n8.8.8.8\r\n<secondary name server>\r\n"
              "1.1.1.1\r\n<SSID>\r\nlab-net\r\n<wireless mode>\r\n1\r\n<channel>\r\n11\r\n<Tx rate>\r\n5.5M\r\n"
              "<preamble>\r\nshort\r\n<data encryption>\r\nYES\r\n<authentication mode>\r\nshared\r\n"
              "<key length>\r\n128bit\r\n<key format>\r\nHEX\r\n<key select>\r\n1\r\n<key 1>\r\nK1\r\n"
              "<key 2>\r\nK2\r\n<key 3>\r\nK3\r\n<key 4>\r\nK4\r\nend\r\n");
}

TEST(ConfigFileRewrite, EncryptionOffKeepsTheSixOldValues) {
    InstallParams p = SampleParams();
    p.m_dataEncryption = false;
    const std::string out = Rewrite(kFullFile, p);
    EXPECT_NE(out.find("<data encryption>\r\nNO\r\n<authentication mode>\r\nauto\r\n<key length>\r\n64bit\r\n"
                       "<key format>\r\nASCII\r\n<key select>\r\n3\r\n<key 1>\r\nold1\r\n<key 2>\r\nold2\r\n"
                       "<key 3>\r\nold3\r\n<key 4>\r\nold4\r\nend\r\n"),
              std::string::npos)
        << out;
    // The wireless settings before the encryption block are still written.
    EXPECT_NE(out.find("<SSID>\r\nlab-net\r\n"), std::string::npos);
}

TEST(ConfigFileRewrite, InitialValuesAreWrittenForACameraWithoutWirelessPage) {
    const InstallParams p =
        InstallParams::ForCamera({.address = 0x0A000002u, .mask = 0, .gateway = 0, .dns1 = 0, .dns2 = 0});
    EXPECT_EQ(Rewrite("<subnet mask>\n1.2.3.4\n<install enabled>\nYES\n<SSID>\nx\n<channel>\n6\n<Tx rate>\n11M\n"
                      "<preamble>\nshort\n<key select>\n2\n",
                      p),
              "<subnet mask>\r\n255.255.255.0\r\n<install enabled>\r\nNO\r\n<SSID>\r\n\r\n<channel>\r\n1\r\n"
              "<Tx rate>\r\n1M\r\n<preamble>\r\nlong\r\n<key select>\r\n2\r\n");
}

TEST(ConfigFileRewrite, LinesThatAreNotExactlyATagPassThroughWithTheirValue) {
    const struct {
        const char* input;
        const char* expected;
    } cases[] = {
        {"<subnet mask> \n1.2.3.4\n", "<subnet mask> \r\n1.2.3.4\r\n"},
        {"<Subnet Mask>\n1.2.3.4\n", "<Subnet Mask>\r\n1.2.3.4\r\n"},
        {"<ssid>\nold\n", "<ssid>\r\nold\r\n"},
        {" <SSID>\nold\n", " <SSID>\r\nold\r\n"},
        {"no tags here\r\nat all\n\nlast", "no tags here\r\nat all\r\n\r\nlast\r\n"},
        // CR is dropped wherever it stands, so this is the tag.
        {"<SS\rID>\r\nold\r\n", "<SSID>\r\nlab-net\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Rewrite(c.input, SampleParams()), c.expected) << c.input;
    }
}

TEST(ConfigFileRewrite, ValueLineIsConsumedEvenWhenItLooksLikeATag) {
    EXPECT_EQ(Rewrite("<SSID>\n<channel>\n5\n", SampleParams()), "<SSID>\r\nlab-net\r\n5\r\n");
}

TEST(ConfigFileRewrite, EmptyInputAndTagOnTheLastLine) {
    EXPECT_EQ(Rewrite("", SampleParams()), "");
    EXPECT_EQ(Rewrite("\n", SampleParams()), "\r\n");
    EXPECT_EQ(Rewrite("<channel>", SampleParams()), "<channel>\r\n11\r\n");
    EXPECT_EQ(Rewrite("<channel>\n", SampleParams()), "<channel>\r\n11\r\n");
    // With no old value to keep, nothing is invented after the tag.
    InstallParams off = SampleParams();
    off.m_dataEncryption = false;
    EXPECT_EQ(Rewrite("a\n<key 1>", off), "a\r\n<key 1>\r\n");
    // A tag followed by an empty line replaces that empty value.
    EXPECT_EQ(Rewrite("<channel>\n\nx", SampleParams()), "<channel>\r\n11\r\nx\r\n");
}

TEST(ConfigFileRewrite, LongLinesPassThroughWhole) {
    for (size_t length : {254u, 255u, 256u, 257u, 1000u, 100000u}) {
        const std::string longLine(length, 'x');
        EXPECT_EQ(Rewrite("a\n" + longLine + "\nb\n", SampleParams()), "a\r\n" + longLine + "\r\nb\r\n") << length;
        EXPECT_EQ(Rewrite(longLine, SampleParams()), longLine + "\r\n") << length;
        // A long line with CRs inside and at its end.
        EXPECT_EQ(Rewrite(longLine + "\r\r\n" + longLine + "\r", SampleParams()), longLine + "\r\n" + longLine + "\r\n")
            << length;
    }
    // The long old value of a tag is replaced as a whole, or kept as a whole when it is not to be replaced.
    const std::string oldValue(600, 'v');
    EXPECT_EQ(Rewrite("<SSID>\n" + oldValue + "\nz\n", SampleParams()), "<SSID>\r\nlab-net\r\nz\r\n");
    InstallParams off = SampleParams();
    off.m_dataEncryption = false;
    EXPECT_EQ(Rewrite("<key 2>\n" + oldValue + "\nz\n", off), "<key 2>\r\n" + oldValue + "\r\nz\r\n");
    // A tag text followed by more characters past the held length is no tag.
    const std::string notTag = "<SSID>" + std::string(300, ' ');
    EXPECT_EQ(Rewrite(notTag + "\nold\n", SampleParams()), notTag + "\r\nold\r\n");
}

TEST(ConfigFileRewrite, ValuesThatCannotBeWrittenKeepTheOldLine) {
    const struct {
        const char* name;
        void (*change)(InstallParams&);
        const char* input;
    } cases[] = {
        {"tx rate 5", [](InstallParams& p) { p.m_txRateIndex = 5; }, "<Tx rate>\nold\n"},
        {"tx rate -1", [](InstallParams& p) { p.m_txRateIndex = -1; }, "<Tx rate>\nold\n"},
        {"auth 3", [](InstallParams& p) { p.m_authenticationIndex = 3; }, "<authentication mode>\nold\n"},
        {"key length 3", [](InstallParams& p) { p.m_keyLengthIndex = 3; }, "<key length>\nold\n"},
        {"channel 11", [](InstallParams& p) { p.m_channelIndex = 11; }, "<channel>\nold\n"},
        {"key select 4", [](InstallParams& p) { p.m_keySelect = 4; }, "<key select>\nold\n"},
        {"mode 2", [](InstallParams& p) { p.m_wirelessMode = 2; }, "<wireless mode>\nold\n"},
        {"ssid LF", [](InstallParams& p) { p.m_ssid = "a\n<reset system>"; }, "<SSID>\nold\n"},
        {"ssid CR", [](InstallParams& p) { p.m_ssid = "a\rb"; }, "<SSID>\nold\n"},
        {"key LF", [](InstallParams& p) { p.m_keys[2] = "12345\n"; }, "<key 3>\nold\n"},
        {"key NUL",
         [](InstallParams& p) {
             p.m_keys[3] = std::string(
                 "12\0"
                 "45",
                 5);
         },
         "<key 4>\nold\n"},
    };
    for (const auto& c : cases) {
        InstallParams p = SampleParams();
        c.change(p);
        std::string expected = c.input;
        expected.replace(expected.find('\n'), 1, "\r\n");
        expected.replace(expected.rfind('\n'), 1, "\r\n");
        EXPECT_EQ(Rewrite(c.input, p), expected) << c.name;
    }
}

TEST(ConfigFileRewrite, ValueTextsOfEveryIndex) {
    InstallParams p = SampleParams();
    const char* rates[] = {"1M", "2M", "5.5M", "11M", "22M"};
    for (int i = 0; i < 5; ++i) {
        p.m_txRateIndex = i;
        EXPECT_EQ(ConfigValueForTag("<Tx rate>", p), rates[i]);
    }
    const char* auth[] = {"auto", "shared", "open"};
    const char* lengths[] = {"64bit", "128bit", "256bit"};
    for (int i = 0; i < 3; ++i) {
        p.m_authenticationIndex = i;
        p.m_keyLengthIndex = i;
        EXPECT_EQ(ConfigValueForTag("<authentication mode>", p), auth[i]);
        EXPECT_EQ(ConfigValueForTag("<key length>", p), lengths[i]);
    }
    p.m_channelIndex = 0;
    EXPECT_EQ(ConfigValueForTag("<channel>", p), "1");
    p.m_keyFormat = 0;
    EXPECT_EQ(ConfigValueForTag("<key format>", p), "ASCII");
    p.m_keyFormat = 7;
    EXPECT_EQ(ConfigValueForTag("<key format>", p), "HEX");
    p.m_preamble = 0;
    EXPECT_EQ(ConfigValueForTag("<preamble>", p), "long");
    p.m_preamble = 3;
    EXPECT_EQ(ConfigValueForTag("<preamble>", p), "short");
    EXPECT_EQ(ConfigValueForTag("<unknown>", p), std::nullopt);
    EXPECT_EQ(FormatDottedAddress(0xFFFFFF00u), "255.255.255.0");
    EXPECT_EQ(FormatDottedAddress(0x0A000102u), "10.0.1.2");
}

TEST(ConfigLineReader, LinesAndTheirEnds) {
    std::istringstream in("a\r\n\nb\r\rc\r");
    ConfigLineReader reader(in);
    std::string line;
    EXPECT_EQ(reader.Next(line), ConfigLineReader::Result::Complete);
    EXPECT_EQ(line, "a");
    EXPECT_EQ(reader.Next(line), ConfigLineReader::Result::Complete);
    EXPECT_EQ(line, "");
    EXPECT_EQ(reader.Next(line), ConfigLineReader::Result::Complete);
    EXPECT_EQ(line, "bc");
    EXPECT_EQ(reader.Next(line), ConfigLineReader::Result::End);
    EXPECT_EQ(reader.Next(line), ConfigLineReader::Result::End);
}

TEST(ConfigLineReader, HeldPartOfALongLineIsBounded) {
    std::istringstream in(std::string(ConfigLineReader::kMaxHeld, 'a') + "\r\n" +
                          std::string(ConfigLineReader::kMaxHeld + 1, 'b') + "\n");
    ConfigLineReader reader(in);
    std::string line;
    EXPECT_EQ(reader.Next(line), ConfigLineReader::Result::Complete);
    EXPECT_EQ(line.size(), ConfigLineReader::kMaxHeld);
    EXPECT_EQ(reader.Next(line), ConfigLineReader::Result::Long);
    EXPECT_EQ(line.size(), ConfigLineReader::kMaxHeld);
    std::ostringstream rest;
    reader.CopyRest(rest);
    EXPECT_EQ(rest.str(), "b");
    EXPECT_EQ(reader.Next(line), ConfigLineReader::Result::End);
}

}  // namespace
