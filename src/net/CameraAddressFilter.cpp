#include "CameraAddressFilter.h"

bool CameraAddressFilter(const MacAddress& address) {
    const MacAddress::Bytes& mac = address.Octets();
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
