#pragma once

#include <optional>
#include <string_view>

#include "StringTable.h"

// The camera models that the DHCP path writes into the "Model" column: entries of the string table, which holds
// their names.
inline constexpr int kModelStringTavix10 = StringTable::kModelTavix10;
inline constexpr int kModelStringTavix11Plus = StringTable::kModelTavix11Plus;
inline constexpr int kModelStringTavix30 = StringTable::kModelTavix30;
inline constexpr int kModelStringTavix30W = StringTable::kModelTavix30W;

// The model's name; nothing for an id that names no model (0: none).
inline std::optional<std::string_view> ModelStringText(int id) {
    switch (id) {
        case kModelStringTavix10:
        case kModelStringTavix11Plus:
        case kModelStringTavix30:
        case kModelStringTavix30W:
            return StringTable::Find(id);
        default:
            return std::nullopt;
    }
}
