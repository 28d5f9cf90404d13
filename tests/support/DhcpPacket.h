#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

// Builds BOOTP/DHCP datagrams byte by byte for the handler tests.
class DhcpPacket {
  public:
    explicit DhcpPacket(uint8_t op = 1) : m_bytes(236, 0) { m_bytes[0] = op; }

    DhcpPacket& Mac(std::array<uint8_t, 6> mac) {
        std::copy(mac.begin(), mac.end(), m_bytes.begin() + 28);
        return *this;
    }
    DhcpPacket& Ciaddr(uint32_t address) { return Address(12, address); }
    DhcpPacket& Yiaddr(uint32_t address) { return Address(16, address); }
    DhcpPacket& Cookie() {
        m_bytes.insert(m_bytes.end(), {99, 130, 83, 99});
        return *this;
    }
    DhcpPacket& Option(uint8_t code, std::vector<uint8_t> data) {
        m_bytes.push_back(code);
        m_bytes.push_back(static_cast<uint8_t>(data.size()));
        m_bytes.insert(m_bytes.end(), data.begin(), data.end());
        return *this;
    }
    DhcpPacket& HostName(const std::string& name) { return Option(12, std::vector<uint8_t>(name.begin(), name.end())); }
    DhcpPacket& MessageType(uint8_t type) { return Option(53, {type}); }
    DhcpPacket& Raw(std::initializer_list<uint8_t> bytes) {
        m_bytes.insert(m_bytes.end(), bytes);
        return *this;
    }
    DhcpPacket& End() { return Raw({255}); }
    DhcpPacket& PadTo(size_t size) {
        if (m_bytes.size() < size) {
            m_bytes.resize(size, 0);
        }
        return *this;
    }
    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

  private:
    DhcpPacket& Address(size_t offset, uint32_t address) {
        for (int i = 0; i < 4; ++i) {
            m_bytes[offset + static_cast<size_t>(i)] = static_cast<uint8_t>(address >> (24 - 8 * i));
        }
        return *this;
    }
    std::vector<uint8_t> m_bytes;
};

inline constexpr std::array<uint8_t, 6> kCameraMac{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA};
inline constexpr std::array<uint8_t, 6> kOtherCameraMac{0x02, 0x5E, 0xA3, 0x7E, 0x69, 0xD2};
inline constexpr std::array<uint8_t, 6> kThirdCameraMac{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC9};
inline constexpr std::array<uint8_t, 6> kForeignMac{0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
