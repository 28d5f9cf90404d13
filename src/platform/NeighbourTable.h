#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// One entry of the kernel's IPv4 neighbour table.
struct NeighbourEntry {
    uint16_t state = 0;                         // NUD_* bits
    std::optional<std::array<uint8_t, 6>> mac;  // none while unresolved
    int interfaceIndex = 0;
};

// Static neighbour (ARP) entries and temporary host routes, the way a camera is made to take a new address.
// Addresses are IPv4 in host order; interfaces are kernel interface indexes. Every call is synchronous: it
// returns once the kernel has acknowledged it, and on failure says why in error.
class NeighbourTable {
  public:
    using MacAddress = std::array<uint8_t, 6>;

    virtual ~NeighbourTable() = default;

    // The interface with an IPv4 address whose subnet holds address.
    virtual std::optional<int> InterfaceForSubnet(uint32_t address) = 0;
    // Adds or replaces a permanent entry address -> mac on the interface.
    virtual bool AddPermanent(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) = 0;
    // Removes the entry for address on every interface that has one; no entry at all is not a failure.
    virtual bool Remove(uint32_t address, std::string& error) = 0;
    // A /32 route to address straight out of the interface (scope link), added or replaced.
    virtual bool AddHostRoute(int interfaceIndex, uint32_t address, std::string& error) = 0;
    // Removes that route; an absent route is not a failure.
    virtual bool RemoveHostRoute(int interfaceIndex, uint32_t address, std::string& error) = 0;
    // The kernel's entry for address, read without privilege; none when there is none or the table cannot be read.
    virtual std::optional<NeighbourEntry> Lookup(uint32_t address) = 0;
};

// rtnetlink. Needs CAP_NET_ADMIN for the changes; InterfaceForSubnet and Lookup need no privilege.
class NetlinkNeighbourTable : public NeighbourTable {
  public:
    std::optional<int> InterfaceForSubnet(uint32_t address) override;
    bool AddPermanent(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) override;
    bool Remove(uint32_t address, std::string& error) override;
    bool AddHostRoute(int interfaceIndex, uint32_t address, std::string& error) override;
    bool RemoveHostRoute(int interfaceIndex, uint32_t address, std::string& error) override;
    std::optional<NeighbourEntry> Lookup(uint32_t address) override;
};

// "AA-BB-CC-DD-EE-FF" (either case, "-" or ":" between the pairs).
std::optional<NeighbourTable::MacAddress> ParseMacText(const std::string& text);
