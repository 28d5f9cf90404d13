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

InstallParams InstallParams::ForCamera(const CameraRecord& camera, const SegmentSettings& segment) {
    InstallParams params = ForCamera(camera);
    if (camera.mask == 0u && segment.mask) {
        params.m_subnetMask = *segment.mask;
    }
    if (camera.gateway == 0u && segment.gateway) {
        params.m_gateway = *segment.gateway;
    }
    if (camera.dns1 == 0u && camera.dns2 == 0u && !segment.nameServers.empty()) {
        params.m_primaryDns = segment.nameServers[0];
        params.m_secondaryDns = segment.nameServers.size() > 1 ? segment.nameServers[1] : 0;
    }
    return params;
}
