#include "InternetChecksum.h"

#include "ByteReader.h"

uint16_t InternetChecksum(std::span<const uint8_t> bytes) {
    uint32_t sum = 0;
    ByteReader reader(bytes);
    while (const auto word = reader.U16Be()) {
        sum += *word;
    }
    if (const auto last = reader.U8()) {
        sum += uint32_t{*last} << 8;
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}
