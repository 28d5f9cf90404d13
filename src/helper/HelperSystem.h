#pragma once

#include "HelperProtocol.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// What the helper reads from and does to the kernel, behind one interface so that its checks and its bookkeeping
// are tested against a fake. Addresses are IPv4 in host order; interfaces are kernel interface indexes; tables are
// routing table ids. Operations return 0 or a positive errno value.

// The netlink protocol tag (rtm_protocol, FRA_PROTOCOL, NDA_PROTOCOL) of everything the helper adds. Every route
// also carries its helper's token (HelperLiveness) as its metric, so that the sweep of a starting helper and of
// install-begin removes exactly what helpers that no longer run left.
constexpr uint8_t kHelperProtocolTag = 0xC3;
// One blackhole /32 route per address being installed, by any helper on the PC. No rule looks this table up, so it
// changes nobody's traffic; it is the shared, kernel-kept register that the limits and the "already being
// installed" check read.
constexpr uint32_t kHelperRegisterTable = 0x43530000;
// One blackhole route per helper with entries in the register: the uid it serves as a /32 "address", so that the
// register's entries count per user.
constexpr uint32_t kHelperOwnerTable = 0x43530001;
// The private table of uid U is kHelperUidTableBase + U, looked up through a rule for uidrange U-U only.
constexpr uint32_t kHelperUidTableBase = 0x10000000;
constexpr uint32_t kHelperMaxUid = 0x2FFFFFFF;
// Ahead of the main table and of the rules VPN clients add, so that the member's own camera route is found first.
constexpr uint32_t kHelperRulePriority = 100;
// At most this many addresses are being installed at once, by all helpers on the PC together, and at most the
// share by one user: a whole segment for one batch (its most jobs), as much again for everybody else.
constexpr size_t kHelperUserShare = 256;
constexpr size_t kHelperMaxInstalls = 2 * kHelperUserShare;
// Conflict detection as RFC 5227 lays it out, shortened to fit before an installation's first echo request:
// kHelperProbeCount ARP probes kHelperProbeSpacingMs apart from install-begin on, and answers heard until
// kHelperProbeDecideMs after it (a second after the last probe), so that a host slow to answer (a wireless client
// in power save, a busy device) is still heard. The installer's own address check takes longer, so its first
// assign-echo normally finds the probe decided.
constexpr int kHelperProbeCount = 3;
constexpr int64_t kHelperProbeSpacingMs = 400;
constexpr int64_t kHelperProbeDecideMs = 1800;

struct HelperInterface {
    bool up = false;
    bool ethernet = false;
};

struct HelperLocalAddress {
    uint32_t address = 0;
    int prefixLength = 32;
    int interfaceIndex = 0;
};

// One neighbour entry for an address; state holds the kernel's NUD_* bits, flags its NTF_* bits, extFlags its
// NTF_EXT_* bits (NDA_FLAGS_EXT), protocol its NDA_PROTOCOL (0: none, as the kernel's own entries have).
struct HelperNeighbour {
    int interfaceIndex = 0;
    uint16_t state = 0;
    std::optional<MacAddress> lladdr;
    uint8_t flags = 0;
    uint8_t protocol = 0;
    uint32_t extFlags = 0;
};

// The uid of a register entry whose helper has not recorded one (yet): counted as a user of its own.
constexpr uint64_t kHelperUnknownUid = uint64_t{1} << 32;

// One entry of the register: an address being installed, the token of the helper installing it and its user.
struct HelperRegistration {
    uint32_t address = 0;
    uint32_t owner = 0;
    uint64_t uid = kHelperUnknownUid;
    bool mine = false;
};

// What an ARP probe for an address heard: the hardware addresses that claimed it.
struct HelperProbe {
    int error = 0;
    std::vector<MacAddress> claimedBy;
};

// One echo request the helper builds; addresses in host order.
struct HelperEchoFrame {
    int interfaceIndex = 0;
    MacAddress destinationMac;
    uint32_t source = 0;
    uint32_t destination = 0;
    uint16_t identifier = 0;
    uint16_t sequence = 0;
    std::span<const uint8_t> payload;
};

class HelperSystem {
  public:
    virtual ~HelperSystem() = default;

    // Nothing when no interface has this index.
    virtual std::optional<HelperInterface> Interface(int index) = 0;
    // The IPv4 addresses of every interface; nothing when they cannot be read.
    virtual std::optional<std::vector<HelperLocalAddress>> LocalAddresses() = 0;
    // Every IPv4 gateway the kernel knows: of routes in every table (RTA_GATEWAY, RTA_VIA, multipath next hops)
    // and of nexthop objects; nothing when unreadable.
    virtual std::optional<std::vector<uint32_t>> Gateways() = 0;
    // Every neighbour entry for address, on any interface; nothing when the table cannot be read.
    virtual std::optional<std::vector<HelperNeighbour>> Neighbours(uint32_t address) = 0;
    virtual int DeleteNeighbour(int index, uint32_t address) = 0;

    // How many tagged routes table holds; nothing when unreadable.
    virtual std::optional<size_t> TaggedRoutes(uint32_t table) = 0;
    // The register; nothing when unreadable.
    virtual std::optional<std::vector<HelperRegistration>> Registrations() = 0;
    // Adds or removes this helper's register entry for address (and the record of its uid with the first one
    // and the last).
    virtual int Register(uint32_t address) = 0;
    virtual int Unregister(uint32_t address) = 0;
    // Removes every route of helpers that no longer run, and the uid rules whose tables that leaves empty; returns
    // how many were removed, and in failed how many the kernel refused.
    virtual size_t SweepDead(size_t& failed) = 0;
    // A tagged /32 route in table: scope link via index, or, with index 0, a blackhole. EEXIST when table already
    // has a route to address/32.
    virtual int AddRoute(uint32_t table, int index, uint32_t address) = 0;
    virtual int DeleteRoute(uint32_t table, int index, uint32_t address) = 0;
    // The tagged rule "uidrange uid-uid lookup table" at kHelperRulePriority; adding succeeds when it is there.
    virtual int AddUidRule(uint32_t uid, uint32_t table) = 0;
    virtual int DeleteUidRule(uint32_t uid, uint32_t table) = 0;

    // Asks on index who holds address (ARP probes from 0.0.0.0, the first now, the others on schedule) and keeps
    // listening for the answers without waiting; returns the probe's id (>= 0) or a negative errno value.
    virtual int StartProbe(int index, uint32_t address) = 0;
    // Waits up to waitMs more (serving the relays and the other probes meanwhile), then returns who claimed the
    // address since the probe began, and ends it.
    virtual HelperProbe FinishProbe(int probe, int64_t waitMs) = 0;
    // Ends a probe nobody asks about any more.
    virtual void AbandonProbe(int probe) = 0;
    // One echo request as an Ethernet frame to frame.destinationMac; no neighbour entry is involved.
    virtual int SendEchoFrame(const HelperEchoFrame& frame) = 0;
};

// The relays and echo channels, driven by the helper's loop. channel is the program's descriptor (an AF_UNIX
// SOCK_SEQPACKET socket); on success the relay owns it, on failure the caller closes it.
class HelperRelays {
  public:
    virtual ~HelperRelays() = default;

    virtual int StartDhcp(uint16_t port, int channel) = 0;
    virtual int StartArp(int channel) = 0;
    // Picks the channel's identifier (one no ICMP socket of the PC uses) into identifier; EMFILE beyond the
    // channel limit.
    virtual int OpenEcho(int channel, uint16_t& identifier) = 0;
    // Lets the echo channel of identifier receive the reply to (or an error about) the request sent to address
    // with sequence. False when neither a channel here nor an ICMP datagram socket of uid has that identifier:
    // the camera's reply would go to another user's socket.
    virtual bool ExpectEchoFrom(uint16_t identifier, uint32_t address, uint16_t sequence, uint32_t uid) = 0;
};

enum class HelperCapability { NetRaw, NetAdmin };

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
