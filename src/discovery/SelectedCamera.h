#pragma once

#include "DeviceTable.h"

#include <cstdint>
#include <string>

// The values of the clicked row that the install worker needs. Addresses are host order, converted with
// inet_addr (so an unparsable cell reads as 0xFFFFFFFF, an empty one as 0xFFFFFFFF too).
struct SelectedCamera {
    uint32_t address = 0;
    uint32_t mask = 0;
    uint32_t gateway = 0;
    uint32_t dns1 = 0;
    uint32_t dns2 = 0;
    std::string mac;
    bool wireless = false;
};

// From columns 1, 3, 4, 5, 6 (addresses), 0 (mac) and 7 (wireless when "YES"); each cell is read as at
// most 18 characters.
SelectedCamera SelectedCameraFromRow(const DeviceTable& table, size_t row);
