#include "Ipv4Text.h"

#include <cstdio>

std::string FormatDottedAddress(uint32_t hostOrder) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (hostOrder >> 24) & 0xFF, (hostOrder >> 16) & 0xFF,
                  (hostOrder >> 8) & 0xFF, hostOrder & 0xFF);
    return text;
}

std::optional<uint32_t> ParseStrictDottedAddress(std::string_view text) {
    uint32_t value = 0;
    int octets = 0;
    size_t start = 0;
    while (true) {
        const size_t dot = text.find('.', start);
        const std::string_view part = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
        if (++octets > 4 || part.empty() || part.size() > 3 || (part.size() > 1 && part[0] == '0')) {
            return std::nullopt;
        }
        uint32_t octet = 0;
        for (const char c : part) {
            if (c < '0' || c > '9') {
                return std::nullopt;
            }
            octet = octet * 10 + static_cast<uint32_t>(c - '0');
        }
        if (octet > 255) {
            return std::nullopt;
        }
        value = value << 8 | octet;
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    if (octets != 4) {
        return std::nullopt;
    }
    return value;
}
