#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// Parses dotted IPv4 text the way the camera tools always have: four parts split at ".", each of at most
// three characters read with atoi rules (non-digits end the number, an empty part is 0), missing parts are 0.
// There is no range check: a part above 255 carries into the next octet ("1.300.0.1" is 0x022C0001).
// A part longer than three characters fails the parse. Result: host order, first octet most significant.
std::optional<uint32_t> ParseDottedAddress(std::string_view text);

// A decimal whole number from low to high, nothing else (no sign for positive numbers, no blanks).
std::optional<int> ParseWholeNumber(std::string_view text, int low, int high);
