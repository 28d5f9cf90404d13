#pragma once

#include "UdpSocket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

inline constexpr uint32_t kLoopback = 0x7F000001;

// A UDP socket on 127.0.0.1 playing the camera (or a DHCP sender) in the worker tests.
class LoopbackPeer {
  public:
    LoopbackPeer() {
        int error = 0;
        m_socket = UdpSocket::Create(&error);
        EXPECT_TRUE(m_socket);
        EXPECT_EQ(m_socket->Bind(kLoopback, 0), 0);
        m_socket->SetReceiveBuffer(1 << 20);
    }
    uint16_t Port() const { return m_socket->LocalPort(); }

    void Send(const std::vector<uint8_t>& bytes, uint16_t port) {
        EXPECT_EQ(m_socket->SendTo(bytes, kLoopback, port), 0);
    }

    // Waits up to `timeoutMs` for one datagram.
    std::optional<std::vector<uint8_t>> Receive(int timeoutMs, uint16_t* fromPort = nullptr) {
        if (m_socket->WaitReadable(timeoutMs) <= 0) {
            return std::nullopt;
        }
        std::vector<uint8_t> buffer(2048);
        UdpSocket::Datagram from;
        if (m_socket->Receive(buffer, &from) != 0) {
            return std::nullopt;
        }
        buffer.resize(from.length);
        if (fromPort) {
            *fromPort = from.sourcePort;
        }
        return buffer;
    }

  private:
    std::unique_ptr<UdpSocket> m_socket;
};

// An XRM answer record for `identifier`.
inline std::vector<uint8_t> XrmRecord(uint32_t identifier, std::array<uint8_t, 6> mac, const std::string& model,
                                      std::array<uint8_t, 4> address = {192, 168, 0, 77}) {
    std::vector<uint8_t> bytes{2};
    for (int i = 0; i < 4; ++i) {
        bytes.push_back(static_cast<uint8_t>(identifier >> (8 * i)));
    }
    bytes.push_back(1);
    bytes.push_back(static_cast<uint8_t>(model.size()));
    bytes.insert(bytes.end(), model.begin(), model.end());
    bytes.insert(bytes.end(), {2, 6});
    bytes.insert(bytes.end(), mac.begin(), mac.end());
    bytes.insert(bytes.end(), {3, 4});
    bytes.insert(bytes.end(), address.begin(), address.end());
    return bytes;
}

inline uint32_t IdentifierOf(const std::vector<uint8_t>& datagram) {
    return datagram.size() < 5 ? 0
                               : uint32_t{datagram[1]} | (uint32_t{datagram[2]} << 8) | (uint32_t{datagram[3]} << 16) |
                                     (uint32_t{datagram[4]} << 24);
}
