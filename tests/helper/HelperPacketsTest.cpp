#include "HelperPackets.h"
#include "InternetChecksum.h"

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
            EXPECT_EQ(about->sequence, 7) << c.name;
        }
    }
}

// IPv4 (header length ihl words) carrying UDP 68 -> 67 with a 4-byte payload.
std::vector<uint8_t> Udp(uint8_t ihl = 5) {
    std::vector<uint8_t> ip(ihl * 4u + 12);
    ip[0] = static_cast<uint8_t>(0x40 | ihl);
    ip[3] = static_cast<uint8_t>(ip.size());
    ip[9] = 17;
    ip[12] = 10;
    ip[15] = 50;
    const size_t udp = ihl * 4u;
    ip[udp + 1] = 68;
    ip[udp + 3] = 67;
    ip[udp + 5] = 12;
    std::fill(ip.end() - 4, ip.end(), 0xab);
    return ip;
}

TEST(HelperPackets, OnlyWholeUdpDatagramsWithinTheirLengthsAreRead) {
    const auto changed = [](std::vector<uint8_t> packet, size_t at, uint8_t value) {
        packet[at] = value;
        return packet;
    };
    std::vector<uint8_t> padded = Udp();
    padded.resize(padded.size() + 10, 0xee);  // Ethernet padding past the IP total length
    struct Case {
        std::string name;
        std::vector<uint8_t> packet;
        size_t payload;  // 0: refused
    };
    const Case cases[] = {
        {"plain", Udp(), 4},
        {"options", Udp(6), 4},
        {"padded", padded, 4},
        {"ihl 4", changed(Udp(), 0, 0x44), 0},
        {"IPv6 version", changed(Udp(), 0, 0x65), 0},
        {"TCP", changed(Udp(), 9, 6), 0},
        {"more fragments", changed(Udp(), 6, 0x20), 0},
        {"fragment offset", changed(Udp(), 7, 1), 0},
        {"total beyond packet", changed(Udp(), 3, 33), 0},
        {"total cuts UDP header", changed(Udp(), 3, 27), 0},
        {"UDP length beyond total", changed(Udp(), 25, 13), 0},
        {"UDP length below header", changed(Udp(), 25, 7), 0},
        {"UDP length shorter", changed(Udp(), 25, 10), 2},
        {"cut", std::vector<uint8_t>(padded.begin(), padded.begin() + 19), 0},
    };
    for (const Case& c : cases) {
        const auto udp = ReadIpv4Udp(c.packet);
        ASSERT_EQ(udp.has_value(), c.payload != 0) << c.name;
        if (udp) {
            EXPECT_EQ(udp->payload.size(), c.payload) << c.name;
            EXPECT_EQ(udp->payload[0], 0xab) << c.name;
            EXPECT_EQ(udp->source, 0x0A000032u) << c.name;
            EXPECT_EQ(udp->sourcePort, 68) << c.name;
            EXPECT_EQ(udp->destinationPort, 67) << c.name;
        }
    }
}

}  // namespace
