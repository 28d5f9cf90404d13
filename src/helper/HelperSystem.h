#pragma once

#include "HelperProtocol.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// What the helper reads from and does to the kernel, behind one interface so that its checks and its record are
// tested against a fake. Addresses are IPv4 in host order; interfaces are kernel interface indexes. Operations
// return 0 or a positive errno value.

struct HelperInterface {
    bool up = false;
    bool ethernet = false;
};

struct HelperLocalAddress {
    uint32_t address = 0;
    int prefixLength = 32;
};

// One neighbour entry for an address; state holds the kernel's NUD_* bits.
struct HelperNeighbour {
    int interfaceIndex = 0;
    uint16_t state = 0;
    std::optional<MacAddress> lladdr;
};

class HelperSystem {
  public:
    virtual ~HelperSystem() = default;

    // Nothing when no interface has this index.
    virtual std::optional<HelperInterface> Interface(int index) = 0;
    // The IPv4 addresses of every interface; nothing when they cannot be read.
    virtual std::optional<std::vector<HelperLocalAddress>> LocalAddresses() = 0;
    // The gateway of every IPv4 route in every table (multipath next hops included); nothing when unreadable.
    virtual std::optional<std::vector<uint32_t>> Gateways() = 0;
    // Every neighbour entry for address, on any interface; nothing when the table cannot be read.
    virtual std::optional<std::vector<HelperNeighbour>> Neighbours(uint32_t address) = 0;

    // Adds or replaces a permanent entry.
    virtual int AddNeighbour(int index, uint32_t address, const MacAddress& mac) = 0;
    virtual int DeleteNeighbour(int index, uint32_t address) = 0;
    // A /32 scope-link route in the main table; EEXIST when a route to address/32 is already there.
    virtual int AddRoute(int index, uint32_t address) = 0;
    virtual int DeleteRoute(int index, uint32_t address) = 0;

    // Bound, configured sockets; fd is set on success and owned by the caller.
    virtual int OpenDhcpSocket(uint16_t port, int& fd) = 0;
    virtual int OpenIcmpSocket(int& fd) = 0;
};

enum class HelperCapability { NetBindService, NetRaw, NetAdmin };

// "CAP_NET_ADMIN" and so on.
std::string_view HelperCapabilityName(HelperCapability capability);

// The helper's capabilities: kept in the permitted set, raised into the effective set only around a call.
class HelperPrivileges {
  public:
    virtual ~HelperPrivileges() = default;

    virtual bool Holds(HelperCapability capability) const = 0;
    // Into the effective set; false when not permitted.
    virtual bool Raise(HelperCapability capability) = 0;
    virtual void Lower(HelperCapability capability) = 0;
    // Out of the permitted set for good.
    virtual void Drop(HelperCapability capability) = 0;
};

// Holds a capability in the effective set for one scope.
class RaisedCapability {
  public:
    RaisedCapability(HelperPrivileges& privileges, HelperCapability capability)
        : m_privileges(privileges), m_capability(capability), m_raised(privileges.Raise(capability)) {}
    ~RaisedCapability() {
        if (m_raised) {
            m_privileges.Lower(m_capability);
        }
    }
    RaisedCapability(const RaisedCapability&) = delete;
    RaisedCapability& operator=(const RaisedCapability&) = delete;

  private:
    HelperPrivileges& m_privileges;
    HelperCapability m_capability;
    bool m_raised;
};
