#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "MacAddress.h"

// One entry of the kernel's IPv4 neighbour table.
struct NeighbourEntry {
    uint16_t state = 0;             // NUD_* bits
    std::optional<MacAddress> mac;  // none while unresolved
    int interfaceIndex = 0;
};

// Static neighbour (ARP) entries and temporary host routes, the way a camera is made to take a new address.
// Addresses are IPv4 in host order; interfaces are kernel interface indexes. Every call is synchronous: it
// returns once the kernel has acknowledged it, and on failure says why in error.
class NeighbourTable {
  public:
    virtual ~NeighbourTable() = default;

    // The interface with an IPv4 address whose subnet holds address.
    virtual std::optional<int> InterfaceForSubnet(uint32_t address) = 0;
    // Adds or replaces a permanent entry address -> mac on the interface.
    virtual bool AddPermanent(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) = 0;
    // Removes the entry that AddPermanent made for address; no such entry is not a failure.
    virtual bool Remove(uint32_t address, std::string& error) = 0;
    // Removes the kernel's own (not permanent) entries for address on every interface, so that a stale one
    // cannot answer for the address; permanent entries stay.
    virtual bool FlushDynamic(uint32_t address, std::string& error) = 0;
    // A /32 route to address straight out of the interface (scope link); an existing one of another owner is
    // a failure.
    virtual bool AddHostRoute(int interfaceIndex, uint32_t address, std::string& error) = 0;
    // Removes that route; an absent route is not a failure.
    virtual bool RemoveHostRoute(int interfaceIndex, uint32_t address, std::string& error) = 0;
    // The kernel's entry for address, read without privilege; none when there is none or the table cannot be read.
    virtual std::optional<NeighbourEntry> Lookup(uint32_t address) = 0;
};

// The interface with an IPv4 address (not loopback) whose subnet holds address; needs no privilege.
std::optional<int> LocalInterfaceForSubnet(uint32_t address);
