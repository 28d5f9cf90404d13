#pragma once

#include "NeighbourTable.h"
#include "PrivilegedHelper.h"

// The neighbour table and routes changed by camera-setup-helper, which checks each request and removes what
// it added when this process ends. Finding the interface for a subnet is done here, without privilege.
class HelperNeighbourTable : public NeighbourTable {
  public:
    explicit HelperNeighbourTable(PrivilegedHelper& helper) : m_helper(helper) {}

    std::optional<int> InterfaceForSubnet(uint32_t address) override;
    bool AddPermanent(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) override;
    bool Remove(uint32_t address, std::string& error) override;
    bool FlushDynamic(uint32_t address, std::string& error) override;
    bool AddHostRoute(int interfaceIndex, uint32_t address, std::string& error) override;
    bool RemoveHostRoute(int interfaceIndex, uint32_t address, std::string& error) override;

  private:
    bool Ask(const HelperRequest& request, const char* what, bool absentIsFine, std::string& error);

    PrivilegedHelper& m_helper;
};
