#pragma once

// The packets the helper builds and the filters it relays through. Plain bytes in, plain bytes out: every read is
// checked against the span it reads from. Addresses are IPv4 in host order.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// A BOOTP message (op 1 or 2) of Ethernet hardware (htype 1, hlen 6) whose client hardware address lies in the
// camera ranges. Shorter fixed parts pass as long as chaddr is there: the program finds the magic cookie at 44 and
// 108 too, and judges the rest itself.
bool IsCameraDhcp(std::span<const uint8_t> udpPayload);

// A UDP datagram inside an IPv4 packet as a packet socket reads it (from the IP header on).
struct Ipv4Udp {
    uint32_t source = 0;
    uint32_t destination = 0;
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    std::span<const uint8_t> payload;  // views into the packet, as long as the UDP length says
};

// Nothing for anything but a whole (unfragmented) IPv4 UDP datagram whose IP and UDP lengths fit the packet.
std::optional<Ipv4Udp> ReadIpv4Udp(std::span<const uint8_t> ip);

// An Ethernet/IPv4 ARP packet (htype 1, ptype 0x0800, hlen 6, plen 4, from its header on) whose sender hardware
// address lies in the camera ranges.
bool IsCameraArp(std::span<const uint8_t> arp);

// The sender protocol address of such an ARP packet; nothing when it is not Ethernet/IPv4 ARP.
std::optional<uint32_t> ArpSenderAddress(std::span<const uint8_t> arp);

// Type 8 code 0 with identifier, sequence, payload and the checksum.
std::vector<uint8_t> BuildEchoRequest(uint16_t identifier, uint16_t sequence, std::span<const uint8_t> payload);
// icmp behind an IPv4 header (no options, TTL 64, protocol ICMP, header checksum).
std::vector<uint8_t> BuildIpv4Icmp(uint32_t source, uint32_t destination, uint16_t id, std::span<const uint8_t> icmp);
// An ARP request from hardware address sender asking who has target; sender protocol address 0.0.0.0 (a probe).
std::vector<uint8_t> BuildArpProbe(std::span<const uint8_t, 6> sender, uint32_t target);

// What an ICMP message received on a raw socket (from its IP header on) says about echo exchanges.
struct IcmpAbout {
    uint16_t identifier = 0;
    // The address the exchange is with: the replier for an echo reply, the quoted destination for an error.
    uint32_t peer = 0;
    // Where the ICMP message starts in the packet, after the IP header.
    size_t icmpOffset = 0;
    // Of the reply, or of the request the error quotes.
    uint16_t sequence = 0;
};

// An echo reply, or an ICMP error (destination unreachable, time exceeded, parameter problem) quoting an ICMP echo
// request; nothing for everything else.
std::optional<IcmpAbout> ReadIcmpAbout(std::span<const uint8_t> ipPacket);
