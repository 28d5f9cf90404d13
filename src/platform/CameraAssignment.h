#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "MacAddress.h"
#include "NeighbourTable.h"

// How a camera is given a new address: the helper prepares the way to the address (its checks, an ARP probe, a
// route for an address of another site), sends the echo requests that the camera takes its address from as
// frames straight to the camera's MAC, and removes what it prepared at the end. Addresses are IPv4 in host
// order; interfaces are kernel interface indexes. Every call is synchronous.
class CameraAssignment {
  public:
    virtual ~CameraAssignment() = default;

    // The interface with an IPv4 address whose subnet holds address; needs no privilege.
    virtual std::optional<int> InterfaceForSubnet(uint32_t address) = 0;
    // The kernel's neighbour entry for address, read without privilege.
    virtual std::optional<NeighbourEntry> Lookup(uint32_t address) = 0;

    // Starts installing address for the camera mac on the interface. 0, or the errno of the refusal with the
    // reason in error (EADDRINUSE from helpers that wait for their ARP probe here).
    virtual int Begin(int interfaceIndex, uint32_t address, const MacAddress& mac, std::string& error) = 0;
    // One echo request to the camera begun for address. identifier and sequence: the values of the two bytes
    // each on the wire, read in network order. 0 or the errno; EADDRINUSE: another host answered the ARP probe
    // for the address, nothing was sent and nothing will be.
    virtual int SendAssignEcho(uint32_t address, uint16_t identifier, uint16_t sequence,
                               std::span<const uint8_t> payload, std::string& error) = 0;
    // Removes what Begin prepared; nothing left to remove is not a failure.
    virtual bool End(uint32_t address, std::string& error) = 0;
};
