#include "DhcpOptionWalk.h"

#include "ByteReader.h"

#include <array>

namespace {
constexpr std::array<uint8_t, 4> kMagicCookie{99, 130, 83, 99};
constexpr std::array<size_t, 3> kCookieOffsets{44, 108, 236};
}  // namespace

std::optional<DhcpOptionWalk::Option> DhcpOptionWalk::Next() {
    if (!m_started) {
        m_started = true;
        m_ended = true;
        if (m_datagram.empty() || (m_datagram[0] & 3) == 0) {
            return std::nullopt;
        }
        for (size_t offset : kCookieOffsets) {
            if (ByteReader(m_datagram, offset).Matches(kMagicCookie)) {
                m_position = offset + kMagicCookie.size();
                m_ended = false;
                break;
            }
        }
    }
    if (m_ended) {
        return std::nullopt;
    }
    ByteReader reader(m_datagram, m_position);
    while (auto code = reader.U8()) {
        if (*code == 255) {
            break;
        }
        if (*code == 0) {
            continue;
        }
        const auto length = reader.U8();
        if (!length) {
            break;
        }
        const auto data = reader.Bytes(*length);
        if (!data) {
            break;  // data would run past the datagram
        }
        m_position = reader.Position();
        return Option{*code, *data};
    }
    m_ended = true;
    return std::nullopt;
}
