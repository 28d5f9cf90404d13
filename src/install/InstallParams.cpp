#include "InstallParams.h"

InstallParams InstallParams::ForCamera(const CameraRecord& camera) {
    constexpr uint32_t kUntold = 0xFFFFFFFF;
    InstallParams params;
    params.m_newAddress = camera.address;
    const uint32_t mask = camera.mask.value_or(kUntold);
    params.m_subnetMask = mask == 0 ? kDefaultSubnetMask : mask;
    params.m_gateway = camera.gateway.value_or(kUntold);
    params.m_primaryDns = camera.dns1.value_or(kUntold);
    params.m_secondaryDns = camera.dns2.value_or(kUntold);
    return params;
}
