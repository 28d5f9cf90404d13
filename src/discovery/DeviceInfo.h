#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "CameraRecord.h"

// The list's ten columns. Column 0 (the hardware address text) is the row's key.
enum DeviceColumn : size_t {
    kColumnMac = 0,
    kColumnAddress = 1,
    kColumnAssigned = 2,
    kColumnSubnet = 3,
    kColumnGateway = 4,
    kColumnDns1 = 5,
    kColumnDns2 = 6,
    kColumnWireless = 7,
    kColumnModel = 8,
    kColumnXrmSupport = 9,
};
inline constexpr size_t kDeviceColumnCount = 10;

struct DeviceColumnInfo {
    std::string_view header;
    int width;  // pixels; 0 = hidden data column
};

inline constexpr std::array<DeviceColumnInfo, kDeviceColumnCount> kDeviceColumns{{
    {"Mac Address", 105},
    {"Current IP Address", 108},
    {"Assigned", 58},
    {"Subnet", 0},
    {"Gateway", 0},
    {"Dns1", 0},
    {"Dns2", 0},
    {"Wireless", 0},
    {"Model", 0},
    {"XRM Support", 0},
}};

// The texts of the cells that hold a state.
inline constexpr std::string_view kAssignedNo = "No";
inline constexpr std::string_view kAssignedPending = "------";
inline constexpr std::string_view kAssignedYes = "Yes";
inline constexpr std::string_view kYes = "YES";
inline constexpr std::string_view kNo = "NO";

using DeviceCells = std::array<std::string, kDeviceColumnCount>;

// The ten texts of a camera, the only place they are made (the list, `list --format` and any export read
// them): the hardware address as "AA-BB-CC-DD-EE-FF"; addresses dotted; "Assigned" as "No", "------" or
// "Yes"; wireless and XRM support as "YES" or "NO"; the model's name; and an empty cell for any value no
// packet has told.
DeviceCells DeviceTexts(const CameraRecord& camera);
