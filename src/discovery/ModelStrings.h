#pragma once

#include <optional>
#include <string_view>

// The camera model names of the string table that the DHCP path writes into the "Model" column.
inline constexpr int kModelStringTavix10 = 102;
inline constexpr int kModelStringTavix11Plus = 104;
inline constexpr int kModelStringTavix30 = 109;
inline constexpr int kModelStringTavix30W = 110;

inline std::optional<std::string_view> ModelStringText(int id) {
    switch (id) {
        case kModelStringTavix10:
            return "Tavix-10";
        case kModelStringTavix11Plus:
            return "Tavix-11+";
        case kModelStringTavix30:
            return "Tavix-30";
        case kModelStringTavix30W:
            return "Tavix-30W";
        default:
            return std::nullopt;
    }
}
