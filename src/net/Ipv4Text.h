#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The one text form of an IPv4 address that files, the command line and the helper's requests use. Host order,
// first octet most significant.

// "a.b.c.d".
std::string FormatDottedAddress(uint32_t hostOrder);

// Exactly four decimal numbers 0..255 joined by dots, no leading zeros, nothing around them; anything else
// (short forms, octal, blanks, a fifth part) is refused.
std::optional<uint32_t> ParseStrictDottedAddress(std::string_view text);
