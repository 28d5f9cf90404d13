#pragma once

#include <array>
#include <cstdint>
#include <string>

using HardwareAddress = std::array<uint8_t, 6>;

// True for hardware addresses inside the camera address ranges; everything else is ignored.
bool CameraAddressFilter(const HardwareAddress& mac);

// "%02X-%02X-%02X-%02X-%02X-%02X": the table's key.
std::string FormatHardwareAddress(const HardwareAddress& mac);
