#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// Bounds-checked reads over untrusted bytes. Every read either succeeds completely or returns nothing and
// leaves the position unchanged; nothing ever reads past the span.
class ByteReader {
  public:
    explicit ByteReader(std::span<const uint8_t> bytes, size_t position = 0) : m_bytes(bytes), m_position(position) {}

    size_t Position() const { return m_position; }
    size_t Remaining() const { return m_position < m_bytes.size() ? m_bytes.size() - m_position : 0; }
    bool AtEnd() const { return Remaining() == 0; }

    std::optional<uint8_t> U8() {
        if (Remaining() < 1) {
            return std::nullopt;
        }
        return m_bytes[m_position++];
    }

    // Most significant byte first (network order).
    std::optional<uint16_t> U16Be() {
        if (Remaining() < 2) {
            return std::nullopt;
        }
        const auto value = static_cast<uint16_t>(m_bytes[m_position] << 8 | m_bytes[m_position + 1]);
        m_position += 2;
        return value;
    }

    std::optional<uint32_t> U32Be() {
        if (Remaining() < 4) {
            return std::nullopt;
        }
        uint32_t value = 0;
        for (size_t i = 0; i < 4; ++i) {
            value = (value << 8) | m_bytes[m_position + i];
        }
        m_position += 4;
        return value;
    }

    // Least significant byte first.
    std::optional<uint32_t> U32Le() {
        if (Remaining() < 4) {
            return std::nullopt;
        }
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i) {
            value = (value << 8) | m_bytes[m_position + static_cast<size_t>(i)];
        }
        m_position += 4;
        return value;
    }

    std::optional<std::span<const uint8_t>> Bytes(size_t count) {
        if (Remaining() < count) {
            return std::nullopt;
        }
        auto part = m_bytes.subspan(m_position, count);
        m_position += count;
        return part;
    }

    // True when the next bytes equal `pattern`; consumes nothing.
    bool Matches(std::span<const uint8_t> pattern) const {
        if (Remaining() < pattern.size()) {
            return false;
        }
        for (size_t i = 0; i < pattern.size(); ++i) {
            if (m_bytes[m_position + i] != pattern[i]) {
                return false;
            }
        }
        return true;
    }

  private:
    std::span<const uint8_t> m_bytes;
    size_t m_position;
};
