#pragma once

#include "AdapterInfo.h"
#include "CameraRecord.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the PC's own adapter on a camera's segment offers for the settings the camera never told: its mask,
// a gateway in its subnet and the link's name servers. Values the PC does not know stay empty.
struct SegmentSettings {
    std::optional<uint32_t> mask;
    std::optional<uint32_t> gateway;
    std::vector<uint32_t> nameServers;  // at most two, in the system's order
};

// One IPv4 route of the main table (host order).
struct Ipv4Route {
    uint32_t destination = 0;
    int prefixLength = 0;
    uint32_t gateway = 0;  // 0: on-link
    int interfaceIndex = 0;
};

// The facts the settings are drawn from, so that tests and the lab can give their own.
struct SegmentFacts {
    std::vector<AdapterInfo> adapters;
    std::vector<Ipv4Route> routes;
    std::function<std::vector<uint32_t>(int interfaceIndex)> nameServers;  // the link's, stubs already left out
};

// The segment of `address` (the address the settings are for; 0: the camera has none): the adapter address
// whose subnet holds it, preferring the camera's arrival interface; for 0 the first address of that interface.
// The gateway: the default route's, when it leaves through that interface and lies in the subnet, else the
// first route's gateway that lies in the subnet.
SegmentSettings SettingsForSegment(const CameraRecord& camera, uint32_t address, const SegmentFacts& facts);

// The main table's IPv4 routes through rtnetlink (no privilege needed); nothing when the dump fails.
std::vector<Ipv4Route> ReadIpv4Routes();

// The IPv4 name servers the system reports for a link: the "DNS=" lines of systemd-resolved's
// run/systemd/resolve/netif/INDEX, else the "nameserver" lines of etc/resolv.conf, both under `root` ("/"
// normally). Local stubs (127.0.0.0/8, and every IPv6 address such as ::1) are left out.
std::vector<uint32_t> LinkNameServers(int interfaceIndex, const std::string& root);

// The running system's facts: getifaddrs, the routing table, and name servers under "/" or under the
// directory in CAMERA_SETUP_RESOLVER_ROOT (the lab's own files).
SegmentFacts SystemSegmentFacts();
