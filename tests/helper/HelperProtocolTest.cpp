#include "HelperProtocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

TEST(HelperProtocol, EveryVerbParsesToItsFieldsAndFormatsBack) {
    const MacAddress mac({0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef});
    struct Case {
        std::string text;
        HelperVerb verb;
        uint16_t port;
        int interfaceIndex;
        uint32_t address;
        uint16_t identifier = 0;
        uint16_t sequence = 0;
        std::vector<uint8_t> payload = {};
    };
    const Case cases[] = {
        {"1 hello", HelperVerb::Hello, 0, 0, 0},
        {"4294967295 dhcp-relay 68", HelperVerb::DhcpRelay, 68, 0, 0},
        {"3 arp-relay", HelperVerb::ArpRelay, 0, 0, 0},
        {"4 echo-open", HelperVerb::EchoOpen, 0, 0, 0},
        {"5 install-begin 2147483647 10.213.7.50 00:1a:2b:c3:d4:ef", HelperVerb::InstallBegin, 0, 2147483647,
         0x0AD50732},
        {"6 assign-echo 10.0.0.5 0 65535", HelperVerb::AssignEcho, 0, 0, 0x0A000005, 0, 65535},
        {"6 assign-echo 10.0.0.5 7 1 00ff7f", HelperVerb::AssignEcho, 0, 0, 0x0A000005, 7, 1, {0x00, 0xff, 0x7f}},
        {"6 install-end 255.255.255.255", HelperVerb::InstallEnd, 0, 0, 0xFFFFFFFF},
        {"7 install-end 0.0.0.0", HelperVerb::InstallEnd, 0, 0, 0},
        {"14 cleanup", HelperVerb::Cleanup, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        for (const std::string& packet : {c.text, c.text + "\n"}) {
            const auto parse = ParseHelperRequest(packet);
            ASSERT_TRUE(parse.request) << parse.error;
            EXPECT_EQ(parse.request->verb, c.verb);
            EXPECT_EQ(parse.request->port, c.port);
            EXPECT_EQ(parse.request->interfaceIndex, c.interfaceIndex);
            EXPECT_EQ(parse.request->address, c.address);
            EXPECT_EQ(parse.request->identifier, c.identifier);
            EXPECT_EQ(parse.request->sequence, c.sequence);
            EXPECT_EQ(parse.request->payload, c.payload);
            if (c.verb == HelperVerb::InstallBegin) {
                EXPECT_EQ(parse.request->mac, mac);
            }
            EXPECT_EQ(FormatHelperRequest(*parse.request), c.text);
        }
    }
    // Upper-case MAC digits and leading zeros in the token are accepted.
    const auto upper = ParseHelperRequest("0000000042 install-begin 2 10.0.0.5 00:1A:2B:C3:D4:EF");
    ASSERT_TRUE(upper.request);
    EXPECT_EQ(upper.token, 42u);
    EXPECT_EQ(upper.request->mac, mac);
    const auto upperHex = ParseHelperRequest("1 assign-echo 10.0.0.5 1 2 " + std::string(128, 'F'));
    ASSERT_TRUE(upperHex.request) << upperHex.error;
    EXPECT_EQ(upperHex.request->payload, std::vector<uint8_t>(kHelperMaxAssignPayload, 0xff));
    HelperRequest cut;
    cut.verb = HelperVerb::AssignEcho;
    cut.token = 9;
    cut.payload.assign(kHelperMaxAssignPayload + 1, 0xaa);
    EXPECT_EQ(FormatHelperRequest(cut), "9 assign-echo 0.0.0.0 0 0 " + std::string(2 * kHelperMaxAssignPayload, 'a'));
}

TEST(HelperProtocol, MalformedRequestsAreRefusedWithTheTokenWhenReadable) {
    struct Case {
        std::string text;
        uint32_t token;
        std::string error;
    };
    const Case cases[] = {
        {"", 0, "empty request"},
        {"\n", 0, "empty request"},
        {std::string(257, '1'), 0, "request too long"},
        {"0 hello", 0, "bad token"},
        {"4294967296 hello", 0, "bad token"},
        {"12345678901 hello", 0, "bad token"},
        {"-1 hello", 0, "bad token"},
        {"1a hello", 0, "bad token"},
        {" 1 hello", 0, "bad token"},
        {"hello", 0, "bad token"},
        {"5", 5, "no verb"},
        {"5 hello\n\n", 5, "control or non-ASCII byte in request"},
        {"5 hello\r\n", 5, "control or non-ASCII byte in request"},
        {std::string("5 hello\0", 8), 5, "control or non-ASCII byte in request"},
        {"5 h\xc3\xa9llo", 5, "control or non-ASCII byte in request"},
        {"5  hello", 5, "fields must be separated by single spaces"},
        {"5 hello ", 5, "fields must be separated by single spaces"},
        {"5 HELLO", 5, "unknown verb"},
        {"5 neigh-replace 1 10.0.0.5", 5, "unknown verb"},
        // Verbs an older helper offered are gone.
        {"5 neigh-add 2 10.0.0.5 00:1a:2b:c3:d4:ef", 5, "unknown verb"},
        {"5 dhcp-socket 67", 5, "unknown verb"},
        {"5 hello 1", 5, "hello takes 0 arguments"},
        {"5 dhcp-relay", 5, "dhcp-relay takes 1 argument"},
        {"5 install-end", 5, "install-end takes 1 argument"},
        {"5 dhcp-relay 067", 5, "port must be 67 or 68"},
        {"5 install-begin 0 10.0.0.5 00:1a:2b:c3:d4:ef", 5, "bad interface index"},
        {"5 install-begin 2147483648 10.0.0.5 00:1a:2b:c3:d4:ef", 5, "bad interface index"},
        {"5 install-begin eth0 10.0.0.5 00:1a:2b:c3:d4:ef", 5, "bad interface index"},
        {"5 install-end 10.0.0", 5, "address is not an IPv4 dotted quad"},
        {"5 install-end 10.0.0.5.1", 5, "address is not an IPv4 dotted quad"},
        {"5 install-end 10.0.0.256", 5, "address is not an IPv4 dotted quad"},
        {"5 install-end 10.0.0.010", 5, "address is not an IPv4 dotted quad"},
        {"5 install-end 10..0.5", 5, "address is not an IPv4 dotted quad"},
        {"5 install-end 10.0.0.", 5, "address is not an IPv4 dotted quad"},
        {"5 install-end 0x0a.0.0.5", 5, "address is not an IPv4 dotted quad"},
        {"5 install-end fe80::1", 5, "address is not an IPv4 dotted quad"},
        {"5 install-begin 2 10.0.0.5 00-1a-2b-c3-d4-ef", 5, "MAC is not six hex pairs joined by ':'"},
        {"5 install-begin 2 10.0.0.5 00:1a:2b:c3:d4", 5, "MAC is not six hex pairs joined by ':'"},
        {"5 install-begin 2 10.0.0.5 00:1a:2b:c3:d4:ef:01", 5, "MAC is not six hex pairs joined by ':'"},
        {"5 install-begin 2 10.0.0.5 00:1a:2b:c3:d4:eg", 5, "MAC is not six hex pairs joined by ':'"},
        {"5 dhcp-relay 69", 5, "port must be 67 or 68"},
        {"5 arp-relay 1", 5, "arp-relay takes 0 arguments"},
        {"5 echo-open 9", 5, "echo-open takes 0 arguments"},
        {"5 install-begin 2 10.0.0.5", 5, "install-begin takes 3 arguments"},
        {"5 assign-echo 10.0.0.5 1", 5, "assign-echo takes 4 arguments"},
        {"5 assign-echo 10.0.0.5 1 2 ab cd", 5, "assign-echo takes 4 arguments"},
        {"5 assign-echo 10.0.0.5 1 65536", 5, "sequence must be 0..65535"},
        {"5 assign-echo 10.0.0.5 1 2 abc", 5, "payload must be 2 to 128 hex digits, an even count"},
        {"5 assign-echo 10.0.0.5 1 2 0g", 5, "payload must be 2 to 128 hex digits, an even count"},
        {"5 assign-echo 10.0.0.5 1 2 " + std::string(130, '0'), 5,
         "payload must be 2 to 128 hex digits, an even count"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parse = ParseHelperRequest(c.text);
        EXPECT_FALSE(parse.request);
        EXPECT_EQ(parse.token, c.token);
        EXPECT_EQ(parse.error, c.error);
    }
}

TEST(HelperProtocol, RepliesRoundTripAndStayOneBoundedLine) {
    struct Case {
        uint32_t token;
        int code;
        std::string text;
        std::string expectedText;
    };
    const Case cases[] = {
        {0, 22, "bad token", "bad token"},
        {4294967295u, 0, "removed 3", "removed 3"},
        {7, 17, "line\none\ttab", "line?one?tab"},
        {8, 0, "", ""},
        {9, 1, std::string(600, 'x'), std::string(kHelperMaxReply - 4, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.token);
        const std::string packet = FormatHelperReply(c.token, c.code, c.text);
        EXPECT_LE(packet.size(), kHelperMaxReply);
        const auto reply = ParseHelperReply(packet);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->token, c.token);
        EXPECT_EQ(reply->code, c.code);
        EXPECT_EQ(reply->text, c.expectedText);
    }
    const std::string bad[] = {"",
                               "1",
                               "1 0x",
                               "x 0 ok",
                               "1 -1 ok",
                               "1 4096 ok",
                               "4294967296 0 ok",
                               "1 0 a\tb",
                               "1 0 " + std::string(kHelperMaxReply, 'x')};
    for (const std::string& packet : bad) {
        EXPECT_FALSE(ParseHelperReply(packet)) << packet;
    }
    EXPECT_TRUE(ParseHelperReply("3 0 ok\n"));
}

TEST(HelperProtocol, HelloNamesVersionAndCapabilities) {
    struct Case {
        std::string text;
        bool valid;
        bool raw, admin;
    };
    const Case cases[] = {
        {"camera-setup-helper 3.01 caps=none", true, false, false},
        {"camera-setup-helper 3.01 caps=net_raw,net_admin", true, true, true},
        {"camera-setup-helper 3.01 caps=net_admin", true, false, true},
        {"camera-setup-helper 3.01 caps=net_bind_service,net_raw,net_admin", false, false, false},
        {"camera-setup-helper 3.01 caps=net_raw,sys_admin", false, false, false},
        {"camera-setup-helper 3.01 caps=", false, false, false},
        {"other-helper 3.01 caps=none", false, false, false},
        {"camera-setup-helper 3.01", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto hello = ParseHelperHello(c.text);
        ASSERT_EQ(hello.has_value(), c.valid);
        if (c.valid) {
            EXPECT_EQ(hello->version, "3.01");
            EXPECT_EQ(hello->netRaw, c.raw);
            EXPECT_EQ(hello->netAdmin, c.admin);
            EXPECT_EQ(FormatHelperHello(*hello), c.text);
        }
    }
}

TEST(HelperProtocol, RelayRecordsRoundTripAndShortOrUnknownPacketsAreIgnored) {
    const std::vector<uint8_t> payload = {1, 2, 3};
    RelayRecord record;
    record.kind = kRelayDhcp;
    record.sequence = 0x0102;
    record.interfaceIndex = 0x03040506;
    record.address = 0x0A000005;
    record.sourcePort = 68;
    record.destinationPort = 67;
    record.payload = payload;
    const std::vector<uint8_t> packet = FormatRelayRecord(record);
    const std::vector<uint8_t> header = {1, 0, 1, 2, 3, 4, 5, 6, 10, 0, 0, 5, 0, 68, 0, 67};
    ASSERT_EQ(packet.size(), kRelayHeaderSize + payload.size());
    EXPECT_TRUE(std::equal(header.begin(), header.end(), packet.begin()));
    const auto parsed = ParseRelayRecord(packet);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->sequence, record.sequence);
    EXPECT_EQ(parsed->interfaceIndex, record.interfaceIndex);
    EXPECT_EQ(parsed->address, record.address);
    EXPECT_EQ(parsed->sourcePort, 68);
    EXPECT_EQ(parsed->destinationPort, 67);
    EXPECT_EQ(std::vector<uint8_t>(parsed->payload.begin(), parsed->payload.end()), payload);

    std::vector<uint8_t> bad = packet;
    for (const uint8_t kind : {0, 6, 255}) {
        bad[0] = kind;
        EXPECT_FALSE(ParseRelayRecord(bad)) << int{kind};
    }
    EXPECT_FALSE(ParseRelayRecord(std::span(packet).first(kRelayHeaderSize - 1)));
    EXPECT_TRUE(ParseRelayRecord(std::span(packet).first(kRelayHeaderSize))->payload.empty());
}

}  // namespace
