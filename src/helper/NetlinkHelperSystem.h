#pragma once

#include "HelperSystem.h"

// The real kernel: interface facts by ioctl, local addresses by getifaddrs, gateways, neighbour entries and
// changes by rtnetlink. Raises CAP_NET_ADMIN, CAP_NET_RAW and CAP_NET_BIND_SERVICE only around the calls that
// need them.
class NetlinkHelperSystem : public HelperSystem {
  public:
    explicit NetlinkHelperSystem(HelperPrivileges& privileges) : m_privileges(privileges) {}

    std::optional<HelperInterface> Interface(int index) override;
    std::optional<std::vector<HelperLocalAddress>> LocalAddresses() override;
    std::optional<std::vector<uint32_t>> Gateways() override;
    std::optional<std::vector<HelperNeighbour>> Neighbours(uint32_t address) override;
    int AddNeighbour(int index, uint32_t address, const MacAddress& mac) override;
    int DeleteNeighbour(int index, uint32_t address) override;
    int AddRoute(int index, uint32_t address) override;
    int DeleteRoute(int index, uint32_t address) override;
    int OpenDhcpSocket(uint16_t port, int& fd) override;
    int OpenIcmpSocket(int& fd) override;

  private:
    HelperPrivileges& m_privileges;
};
