#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One IPv4 address of a local adapter. Address and mask are dotted text (as the address check reads them);
// the interface name and index let the network code send out of that adapter.
struct AdapterInfo {
    std::string address;
    std::string mask;
    std::string interfaceName;
    int interfaceIndex = 0;
};

// One raw interface address as getifaddrs reports it, for the filtering rules below.
struct InterfaceAddress {
    std::string name;
    int index = 0;
    bool up = false;
    bool loopback = false;
    uint32_t address = 0;  // host order
    uint32_t mask = 0;     // host order
};

// Keeps the addresses a camera can sit behind: interfaces that are up, not loopback (127/8 never holds a
// camera, and an installer broadcasting there reaches nobody), and whose name does not contain "ppp" or
// "pptp" in any case (dial-up and tunnel links). Order is kept.
std::vector<AdapterInfo> SelectAdapters(const std::vector<InterfaceAddress>& interfaces);

// The PC's adapter list from getifaddrs; nothing when the enumeration itself fails.
std::optional<std::vector<AdapterInfo>> EnumerateAdapters();

// What the user is told when the enumeration fails.
inline constexpr const char* kAdapterEnumerationFailedText = "Get computer network info failed";
inline constexpr const char* kAdapterEnumerationFailedCaption = "Error";
