#include "DottedAddress.h"

#include <charconv>

std::optional<uint32_t> ParseDottedAddress(std::string_view text) {
    uint32_t accumulator = 0;
    size_t position = 0;
    for (int step = 0; step < 4; ++step) {
        const size_t dot = text.find('.', position);
        const size_t end = dot == std::string_view::npos ? text.size() : dot;
        const std::string_view part =
            position < text.size() ? text.substr(position, end - position) : std::string_view{};
        if (part.size() > 3) {
            return std::nullopt;
        }
        // atoi: optional leading blanks and sign, digits until the first non-digit.
        size_t i = 0;
        while (i < part.size() && (part[i] == ' ' || (part[i] >= '\t' && part[i] <= '\r'))) {
            ++i;
        }
        bool negative = false;
        if (i < part.size() && (part[i] == '+' || part[i] == '-')) {
            negative = part[i] == '-';
            ++i;
        }
        uint32_t number = 0;
        while (i < part.size() && part[i] >= '0' && part[i] <= '9') {
            number = number * 10 + static_cast<uint32_t>(part[i] - '0');
            ++i;
        }
        accumulator += negative ? 0u - number : number;
        if (step < 3) {
            accumulator <<= 8;
        }
        position = dot == std::string_view::npos ? text.size() : dot + 1;
    }
    return accumulator;
}

std::optional<int> ParseWholeNumber(std::string_view text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}
