#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "MacAddress.h"

inline constexpr size_t kXrmMaxDatagram = 150;
inline constexpr size_t kXrmTextLength = 40;

enum XrmType : uint32_t {
    kXrmQuery = 1,
    kXrmRecord = 2,
    kXrmAcknowledgement = 3,
    kXrmRecordAlt1 = 17,
    kXrmRecordAlt2 = 18,
};

// One XRM datagram. Texts hold at most 40 characters.
struct XrmAnswer {
    uint32_t type = 0;
    uint32_t identifier = 0;
    std::string model;
    std::array<uint8_t, 6> mac{};
    std::array<uint8_t, 4> address{};  // wire order
    std::string secondText;
    uint32_t value = 0;  // copied unchanged
};

// Writes `record` into `buffer`; returns the length or nothing when the buffer is below 5 bytes, the type
// is not 1, 2, 3, 17 or 18, or the next option does not fit.
std::optional<size_t> BuildXrmDatagram(std::span<uint8_t> buffer, const XrmAnswer& record);

// Parses one datagram. Rejects: fewer than 5 bytes, an option code outside 1..5, an empty text, a fixed
// option (2, 3, 5) of the wrong length, a length past the end, and 1 or 2 bytes left after the last
// option. Tolerates texts over 40 bytes (cut to 40, all of it consumed). The type is not examined.
std::optional<XrmAnswer> ParseXrmDatagram(std::span<const uint8_t> datagram);

// What the XRM worker hands to the user-interface thread for one answer.
struct XrmDeviceMessage {
    std::string model;  // at most 40 characters
    MacAddress mac;
    std::string address;  // dotted
    std::string secondText;
};
