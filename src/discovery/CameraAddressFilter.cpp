#include "CameraAddressFilter.h"

#include <cstdio>

bool CameraAddressFilter(const HardwareAddress& mac) {
    if (mac[0] != 0x02 || mac[1] != 0x5E) {
        return false;
    }
    const uint32_t low = (uint32_t{mac[3]} << 16) | (uint32_t{mac[4]} << 8) | mac[5];
    if (mac[2] == 0xA1) {
        return (low >= 0xCC55C7 && low <= 0xCC55CA) || (low >= 0xCDDB78 && low <= 0xCDDD6B) ||
               (low >= 0xCDE08C && low <= 0xCE55BB) || low == 0xCC55BA;
    }
    if (mac[2] == 0xA3) {
        return low >= 0x7CE333 && low <= 0x7E69D2;
    }
    return false;
}

std::string FormatHardwareAddress(const HardwareAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}
