#include "MacAddress.h"

#include <algorithm>

namespace {

std::optional<uint8_t> HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<uint8_t>(c - 'A' + 10);
    }
    return std::nullopt;
}

std::string Join(const MacAddress::Bytes& bytes, const char* digits, std::string_view separator) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            text += separator;
        }
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xF]);
    }
    return text;
}

constexpr const char* kUpperDigits = "0123456789ABCDEF";

}  // namespace

std::optional<MacAddress> MacAddress::Parse(std::string_view text, std::string_view separators) {
    Bytes bytes{};
    if (text.size() != bytes.size() * 3 - 1) {
        return std::nullopt;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto high = HexDigit(text[i * 3]);
        const auto low = HexDigit(text[i * 3 + 1]);
        if (!high || !low) {
            return std::nullopt;
        }
        if (i + 1 < bytes.size() && separators.find(text[i * 3 + 2]) == std::string_view::npos) {
            return std::nullopt;
        }
        bytes[i] = static_cast<uint8_t>(*high << 4 | *low);
    }
    return MacAddress(bytes);
}

std::optional<MacAddress> MacAddress::FromBytes(std::span<const uint8_t> bytes) {
    Bytes value{};
    if (bytes.size() != value.size()) {
        return std::nullopt;
    }
    std::copy(bytes.begin(), bytes.end(), value.begin());
    return MacAddress(value);
}

std::string MacAddress::Text() const {
    return Join(m_bytes, kUpperDigits, "-");
}

std::string MacAddress::ColonText() const {
    return Join(m_bytes, "0123456789abcdef", ":");
}

std::string MacAddress::PasswordText() const {
    return Join(m_bytes, kUpperDigits, "");
}
