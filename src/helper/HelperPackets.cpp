#include "HelperPackets.h"

#include "ByteReader.h"
#include "ByteWriter.h"
#include "CameraAddressFilter.h"
#include "InternetChecksum.h"

#include <algorithm>

namespace {

// Fixed-offset fields read through the checked reader; callers have checked the size, so the fallback is never
// taken.
uint16_t Be16(std::span<const uint8_t> in, size_t at) {
    return ByteReader(in, at).U16Be().value_or(0);
}

uint32_t Be32(std::span<const uint8_t> in, size_t at) {
    return ByteReader(in, at).U32Be().value_or(0);
}

constexpr size_t kChaddrOffset = 28;
constexpr size_t kArpSize = 28;

bool IsEthernetIpv4Arp(std::span<const uint8_t> arp) {
    return arp.size() >= kArpSize && Be16(arp, 0) == 1 && Be16(arp, 2) == 0x0800 && arp[4] == 6 && arp[5] == 4;
}

// The IP header length of an IPv4 packet carrying ICMP; nothing when it is not one.
std::optional<size_t> IcmpHeaderOffset(std::span<const uint8_t> ip) {
    if (ip.size() < 20 || (ip[0] >> 4) != 4 || ip[9] != 1) {
        return std::nullopt;
    }
    const size_t length = size_t{ip[0] & 0x0fu} * 4;
    if (length < 20 || ip.size() < length) {
        return std::nullopt;
    }
    return length;
}

}  // namespace

bool IsCameraDhcp(std::span<const uint8_t> udpPayload) {
    if (udpPayload.size() < kChaddrOffset + 6 || (udpPayload[0] != 1 && udpPayload[0] != 2) || udpPayload[1] != 1 ||
        udpPayload[2] != 6) {
        return false;
    }
    const auto chaddr = MacAddress::FromBytes(udpPayload.subspan(kChaddrOffset, 6));
    return chaddr && CameraAddressFilter(*chaddr);
}

std::optional<Ipv4Udp> ReadIpv4Udp(std::span<const uint8_t> ip) {
    if (ip.size() < 20 || (ip[0] >> 4) != 4 || ip[9] != 17 || (Be16(ip, 6) & 0x3fff) != 0) {
        return std::nullopt;  // also a fragment: more-fragments set or an offset
    }
    const size_t header = size_t{ip[0] & 0x0fu} * 4;
    const size_t total = Be16(ip, 2);
    if (header < 20 || total < header + 8 || total > ip.size()) {
        return std::nullopt;
    }
    const size_t udpLength = Be16(ip, header + 4);
    if (udpLength < 8 || udpLength > total - header) {
        return std::nullopt;
    }
    Ipv4Udp udp;
    udp.source = Be32(ip, 12);
    udp.destination = Be32(ip, 16);
    udp.sourcePort = Be16(ip, header);
    udp.destinationPort = Be16(ip, header + 2);
    udp.payload = ip.subspan(header + 8, udpLength - 8);
    return udp;
}

bool IsCameraArp(std::span<const uint8_t> arp) {
    if (!IsEthernetIpv4Arp(arp)) {
        return false;
    }
    const auto sender = MacAddress::FromBytes(arp.subspan(8, 6));
    return sender && CameraAddressFilter(*sender);
}

std::optional<uint32_t> ArpSenderAddress(std::span<const uint8_t> arp) {
    if (!IsEthernetIpv4Arp(arp)) {
        return std::nullopt;
    }
    return Be32(arp, 14);
}

std::vector<uint8_t> BuildEchoRequest(uint16_t identifier, uint16_t sequence, std::span<const uint8_t> payload) {
    std::vector<uint8_t> icmp(8 + payload.size());
    icmp[0] = 8;
    ByteWriter(icmp, 4).U16Be(identifier);
    ByteWriter(icmp, 6).U16Be(sequence);
    std::copy(payload.begin(), payload.end(), icmp.begin() + 8);
    ByteWriter(icmp, 2).U16Be(InternetChecksum(icmp));
    return icmp;
}

std::vector<uint8_t> BuildIpv4Icmp(uint32_t source, uint32_t destination, uint16_t id, std::span<const uint8_t> icmp) {
    std::vector<uint8_t> packet(20 + icmp.size());
    packet[0] = 0x45;
    ByteWriter(packet, 2).U16Be(static_cast<uint16_t>(packet.size()));
    ByteWriter(packet, 4).U16Be(id);
    packet[8] = 64;
    packet[9] = 1;
    ByteWriter(packet, 12).U32Be(source);
    ByteWriter(packet, 16).U32Be(destination);
    ByteWriter(packet, 10).U16Be(InternetChecksum(std::span(packet).first(20)));
    std::copy(icmp.begin(), icmp.end(), packet.begin() + 20);
    return packet;
}

std::vector<uint8_t> BuildArpProbe(std::span<const uint8_t, 6> sender, uint32_t target) {
    std::vector<uint8_t> arp(kArpSize);
    ByteWriter(arp, 0).U16Be(1);
    ByteWriter(arp, 2).U16Be(0x0800);
    arp[4] = 6;
    arp[5] = 4;
    ByteWriter(arp, 6).U16Be(1);
    std::copy(sender.begin(), sender.end(), arp.begin() + 8);
    ByteWriter(arp, 24).U32Be(target);
    return arp;
}

std::optional<IcmpAbout> ReadIcmpAbout(std::span<const uint8_t> ip) {
    const auto offset = IcmpHeaderOffset(ip);
    if (!offset || ip.size() < *offset + 8) {
        return std::nullopt;
    }
    const std::span<const uint8_t> icmp = ip.subspan(*offset);
    const uint8_t type = icmp[0];
    if (type == 0 && icmp[1] == 0) {
        return IcmpAbout{Be16(icmp, 4), Be32(ip, 12), *offset, Be16(icmp, 6)};
    }
    if (type != 3 && type != 11 && type != 12) {
        return std::nullopt;
    }
    const std::span<const uint8_t> quoted = icmp.subspan(8);
    const auto inner = IcmpHeaderOffset(quoted);
    if (!inner || quoted.size() < *inner + 8 || quoted[*inner] != 8) {
        return std::nullopt;
    }
    return IcmpAbout{Be16(quoted, *inner + 4), Be32(quoted, 16), *offset, Be16(quoted, *inner + 6)};
}
