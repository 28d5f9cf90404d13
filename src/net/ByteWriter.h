#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Bounds-checked writes into a buffer of fixed size, the counterpart of ByteReader. Every write either fits
// completely and advances, or writes nothing, returns false and leaves the position unchanged.
class ByteWriter {
  public:
    explicit ByteWriter(std::span<uint8_t> bytes, size_t position = 0) : m_bytes(bytes), m_position(position) {}

    size_t Position() const { return m_position; }
    size_t Remaining() const { return m_position < m_bytes.size() ? m_bytes.size() - m_position : 0; }

    bool U8(uint8_t value) { return Put(value, 1); }
    // Most significant byte first (network order).
    bool U16Be(uint16_t value) { return Put(value, 2); }
    bool U32Be(uint32_t value) { return Put(value, 4); }

    bool Bytes(std::span<const uint8_t> part) {
        if (Remaining() < part.size()) {
            return false;
        }
        for (const uint8_t byte : part) {
            m_bytes[m_position++] = byte;
        }
        return true;
    }

  private:
    bool Put(uint32_t value, size_t width) {
        if (Remaining() < width) {
            return false;
        }
        for (size_t i = 0; i < width; ++i) {
            m_bytes[m_position + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
        }
        m_position += width;
        return true;
    }

    std::span<uint8_t> m_bytes;
    size_t m_position;
};
