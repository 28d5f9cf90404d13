#pragma once

#include "CameraAssignment.h"
#include "PrivilegedHelper.h"

// The assignment through camera-setup-helper, which checks each request and removes what it prepared when this
// process ends.
class HelperCameraAssignment : public CameraAssignment {
  public:
    explicit HelperCameraAssignment(PrivilegedHelper& helper) : m_helper(helper) {}

    std::optional<int> InterfaceForSubnet(uint32_t address) override;
    std::optional<NeighbourEntry> Lookup(uint32_t address) override;
    int Begin(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) override;
    int SendAssignEcho(uint32_t address, uint16_t identifier, uint16_t sequence, std::span<const uint8_t> payload,
                       std::string& error) override;
    bool End(uint32_t address, std::string& error) override;

  private:
    int Ask(const HelperRequest& request, const char* what, std::string& error);

    PrivilegedHelper& m_helper;
};
