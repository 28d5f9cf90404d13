#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// One camera: ten text cells. Column 0 (the hardware address text) is the row's key.
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

// Values of the "Assigned" column.
inline constexpr std::string_view kAssignedNo = "No";
inline constexpr std::string_view kAssignedPending = "------";
inline constexpr std::string_view kAssignedYes = "Yes";

inline constexpr std::string_view kYes = "YES";
inline constexpr std::string_view kNo = "NO";
inline constexpr std::string_view kNoAddress = "0.0.0.0";

struct DeviceInfo {
    std::array<std::string, kDeviceColumnCount> cells;
};
