#include "LocalSubnet.h"

#include "DottedAddress.h"

bool IsOnLocalSubnet(uint32_t address, const std::vector<AdapterInfo>& adapters) {
    for (const AdapterInfo& adapter : adapters) {
        const auto local = ParseDottedAddress(adapter.address);
        const auto mask = ParseDottedAddress(adapter.mask);
        if (local && mask && (*local & *mask) == (address & *mask)) {
            return true;
        }
    }
    return false;
}
