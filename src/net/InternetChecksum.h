#pragma once

#include <cstdint>
#include <span>

// RFC 1071: one's-complement sum of 16-bit words (first byte high; an odd last byte is added as the high byte),
// folded until it fits, inverted. The echo requests of the program and of the helper both use it.
uint16_t InternetChecksum(std::span<const uint8_t> bytes);
