#pragma once

#include <cstdint>
#include <optional>

#include "MacAddress.h"

// Whether the camera holds a usable address: No (it needs one), Pending (it answers XRM and its answer is
// awaited), Yes.
enum class Assignment { No, Pending, Yes };

// One found camera. Discovery fills it from packets; it travels unchanged from the list (or the headless
// lookup) to the wizard's first display and to the install worker. Addresses are IPv4 in host order; an
// absent value is one that no packet has told.
struct CameraRecord {
    MacAddress mac{};
    uint32_t address = 0;
    Assignment assigned = Assignment::No;
    std::optional<uint32_t> mask{};
    std::optional<uint32_t> gateway{};
    std::optional<uint32_t> dns1{};
    std::optional<uint32_t> dns2{};
    std::optional<bool> wireless{};
    int model = 0;  // model string id, 0 when the camera has not named a known model
    std::optional<bool> xrmSupport{};
    // The interface its DHCP packets last arrived on: reaches a camera without a usable address.
    std::optional<int> arrivalInterface{};

    friend bool operator==(const CameraRecord&, const CameraRecord&) = default;
};
