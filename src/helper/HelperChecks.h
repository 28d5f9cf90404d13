#pragma once

#include "HelperProtocol.h"
#include "HelperSystem.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <variant>

// The helper's checks on what the program asks for. Each returns nothing when the value is acceptable, otherwise
// the reason, as the text of the refusal. Addresses are IPv4 in host order.

// A unicast host address that may be installed: not 0/8, the limited broadcast,
// multicast (224/4), loopback (127/8) or 240/4; not the network or broadcast address of a local subnet whose
// prefix is shorter than 31; not an address of this PC; not the gateway of any route.
std::optional<std::string> CheckHostAddress(uint32_t address, std::span<const HelperLocalAddress> local,
                                            std::span<const uint32_t> gateways);

// A destination of an echo request: unicast (not 0/8, loopback, multicast, 240/4, the limited broadcast), not the
// network or broadcast address of a local subnet.
std::optional<std::string> CheckEchoDestination(uint32_t address, std::span<const HelperLocalAddress> local);

// The source address of a frame to address out of interface index: the interface's address in address's subnet
// (sameSubnet set), else its first IPv4 address; nothing when it has none.
std::optional<uint32_t> SourceAddress(int index, uint32_t address, std::span<const HelperLocalAddress> local,
                                      bool& sameSubnet);

// A non-zero unicast MAC (bit 0 of the first byte clear).
std::optional<std::string> CheckMac(const MacAddress& mac);

// The interface exists, is up and is Ethernet.
std::optional<std::string> CheckInterface(int index, const std::optional<HelperInterface>& facts);

// A refusal: a positive errno value and its reason.
struct HelperRefusal {
    int code = 0;
    std::string text;
};

// What install-begin decides on, read from the system; nothing where it could not be read.
struct InstallFacts {
    std::optional<HelperInterface> interface;
    std::optional<std::vector<HelperLocalAddress>> local;
    std::optional<std::vector<uint32_t>> gateways;
    // After the sweep of what helpers that no longer run left.
    std::optional<std::vector<HelperRegistration>> registered;
    bool begunHere = false;
    uint32_t uid = 0;
};

// What an accepted install-begin does: frames leave from source; another subnet's address needs a route.
struct InstallPlan {
    uint32_t source = 0;
    bool sameSubnet = false;
};

// Every check of install-begin, in order: the interface, the MAC, the address, then the register.
std::variant<HelperRefusal, InstallPlan> CheckInstallBegin(const HelperRequest& request, const InstallFacts& facts);

// The register's limits for address and uid: no other helper has the address, at most kHelperMaxInstalls
// addresses in all and kHelperUserShare for the user. includesOwn: registered already holds this helper's entry
// for address (the check after registering, which makes concurrent begins count exactly: each of two that
// overstep together gives way).
std::optional<HelperRefusal> CheckRegister(std::span<const HelperRegistration> registered, uint32_t address,
                                           uint32_t uid, bool includesOwn);

// The identifiers of the PC's ICMP datagram sockets and the uids that own them, from the text of /proc/net/icmp
// (local_address "ADDR:IDENT", hexadecimal, as the requests carry it on the wire; uid the eighth field). Lines that
// do not read so are skipped.
std::map<uint16_t, std::set<uint32_t>> IcmpSockets(std::string_view procNetIcmp);

// The first identifier from start on (wrapping, never 0) that is not taken; nothing when all are.
std::optional<uint16_t> PickEchoIdentifier(const std::set<uint16_t>& taken, uint16_t start);

// An entry the kernel learned by itself, which install-begin may delete: none that an administrator made
// (permanent, NOARP, a protocol set, externally learned, managed) and none that is reachable (confirmed by its
// host just now, or set so by hand).
bool KernelLearned(const HelperNeighbour& entry);
