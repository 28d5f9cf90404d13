#pragma once

// Big-endian (network order) fields of the helper's records and packets. Callers check `at` against the size first.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline uint16_t Get16(std::span<const uint8_t> in, size_t at) {
    return static_cast<uint16_t>(in[at] << 8 | in[at + 1]);
}

inline uint32_t Get32(std::span<const uint8_t> in, size_t at) {
    return uint32_t{Get16(in, at)} << 16 | Get16(in, at + 2);
}

inline void Put16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
    out[at] = static_cast<uint8_t>(value >> 8);
    out[at + 1] = static_cast<uint8_t>(value);
}

inline void Put32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
    Put16(out, at, static_cast<uint16_t>(value >> 16));
    Put16(out, at + 2, static_cast<uint16_t>(value));
}
