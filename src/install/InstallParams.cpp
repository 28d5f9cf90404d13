#include "InstallParams.h"

InstallParams InstallParams::ForCamera(uint32_t address, uint32_t mask, uint32_t gateway, uint32_t dns1,
                                       uint32_t dns2) {
    InstallParams params;
    params.m_newAddress = address;
    params.m_subnetMask = mask == 0 ? kDefaultSubnetMask : mask;
    params.m_gateway = gateway;
    params.m_primaryDns = dns1;
    params.m_secondaryDns = dns2;
    return params;
}
