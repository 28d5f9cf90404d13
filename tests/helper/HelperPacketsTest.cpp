#include "HelperPackets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Dhcp(uint8_t op, uint8_t htype, uint8_t hlen, std::vector<uint8_t> chaddr, size_t size = 300) {
    std::vector<uint8_t> packet(std::max<size_t>(size, 34));
    packet[0] = op;
    packet[1] = htype;
    packet[2] = hlen;
    std::copy(chaddr.begin(), chaddr.end(), packet.begin() + 28);
    packet.resize(size);
    return packet;
}

std::vector<uint8_t> Arp(uint16_t ptype, uint8_t hlen, std::vector<uint8_t> sender) {
    std::vector<uint8_t> packet = {0, 1, static_cast<uint8_t>(ptype >> 8), static_cast<uint8_t>(ptype), hlen, 4, 0, 2};
    packet.insert(packet.end(), sender.begin(), sender.end());
    packet.resize(28);
    return packet;
}

const std::vector<uint8_t> kCamera = {0x02, 0x5e, 0xa1, 0xcc, 0x55, 0xc8};
const std::vector<uint8_t> kOther = {0x02, 0x5e, 0xa1, 0x00, 0x00, 0x01};

TEST(HelperPackets, OnlyEthernetBootpAndArpOfCameraAddressesAreRelayed) {
    struct Case {
        std::string name;
        std::vector<uint8_t> packet;
        bool dhcp;
        bool arp;
    };
    const Case cases[] = {
        {"discover", Dhcp(1, 1, 6, kCamera), true, false},
        {"offer", Dhcp(2, 1, 6, kCamera), true, false},
        {"cookie at 44", Dhcp(1, 1, 6, kCamera, 48), true, false},
        {"chaddr cut", Dhcp(1, 1, 6, kCamera, 33), false, false},
        {"op 3", Dhcp(3, 1, 6, kCamera), false, false},
        {"htype 6", Dhcp(1, 6, 6, kCamera), false, false},
        {"hlen 16", Dhcp(1, 1, 16, kCamera), false, false},
        {"other client", Dhcp(1, 1, 6, kOther), false, false},
        {"arp of a camera", Arp(0x0800, 6, kCamera), false, true},
        {"arp of another host", Arp(0x0800, 6, kOther), false, false},
        {"arp of IPv6-ish protocol", Arp(0x86dd, 6, kCamera), false, false},
        {"arp hlen 8", Arp(0x0800, 8, kCamera), false, false},
        {"empty", {}, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsCameraDhcp(c.packet), c.dhcp) << c.name;
        EXPECT_EQ(IsCameraArp(c.packet), c.arp) << c.name;
    }
}

TEST(HelperPackets, OnlyEchoRepliesAndErrorsQuotingAnEchoRequestAreAboutAnExchange) {
    const std::vector<uint8_t> payload = {1, 2, 3};
    const auto request = BuildEchoRequest(0x1234, 7, payload);
    EXPECT_EQ(InternetChecksum(request), 0);
    const auto sent = BuildIpv4Icmp(0x0A000001, 0x0A000032, 1, request);
    EXPECT_EQ(InternetChecksum(std::span(sent).first(20)), 0);
    EXPECT_EQ(sent[8], 64);

    std::vector<uint8_t> reply = request;
    reply[0] = 0;
    const auto error = [&](uint8_t type, std::vector<uint8_t> quoted) {
        std::vector<uint8_t> icmp = {type, 0, 0, 0, 0, 0, 0, 0};
        icmp.insert(icmp.end(), quoted.begin(), quoted.end());
        return BuildIpv4Icmp(0x0A000063, 0x0A000001, 2, icmp);
    };
    auto udp = sent;
    udp[9] = 17;
    struct Case {
        std::string name;
        std::vector<uint8_t> packet;
        bool about;
        uint32_t peer;
    };
    const Case cases[] = {
        {"echo reply", BuildIpv4Icmp(0x0A000032, 0x0A000001, 3, reply), true, 0x0A000032},
        {"echo request", BuildIpv4Icmp(0x0A000032, 0x0A000001, 3, request), false, 0},
        {"unreachable quoting ours", error(3, sent), true, 0x0A000032},
        {"time exceeded", error(11, sent), true, 0x0A000032},
        {"parameter problem", error(12, sent), true, 0x0A000032},
        {"redirect", error(5, sent), false, 0},
        {"unreachable quoting UDP", error(3, udp), false, 0},
        {"unreachable quoting a cut header", error(3, std::vector<uint8_t>(sent.begin(), sent.begin() + 24)), false, 0},
        {"truncated", std::vector<uint8_t>(sent.begin(), sent.begin() + 26), false, 0},
    };
    for (const Case& c : cases) {
        const auto about = ReadIcmpAbout(c.packet);
        ASSERT_EQ(about.has_value(), c.about) << c.name;
        if (about) {
            EXPECT_EQ(about->identifier, 0x1234) << c.name;
            EXPECT_EQ(about->peer, c.peer) << c.name;
            EXPECT_EQ(about->icmpOffset, 20u) << c.name;
        }
    }
}

}  // namespace
