#include "HelperCore.h"

#include <gtest/gtest.h>
#include <linux/neighbour.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int kEth = 2;
constexpr int kDown = 3;
constexpr int kLoopback = 1;
constexpr int kEth2 = 4;

struct Neighbour {
    int index;
    uint32_t address;
    uint16_t state;
    MacAddress mac;
    bool operator==(const Neighbour&) const = default;
};

// A PC on 10.213.7.2/24 (gateway .1) and 10.9.9.0/31, with a second Ethernet interface.
class FakeSystem : public HelperSystem {
  public:
    std::optional<HelperInterface> Interface(int index) override {
        switch (index) {
            case kEth:
            case kEth2:
                return HelperInterface{true, true};
            case kDown:
                return HelperInterface{false, true};
            case kLoopback:
                return HelperInterface{true, false};
        }
        return std::nullopt;
    }
    std::optional<std::vector<HelperLocalAddress>> LocalAddresses() override { return local; }
    std::optional<std::vector<uint32_t>> Gateways() override {
        if (!routesReadable) {
            return std::nullopt;
        }
        return gateways;
    }
    std::optional<std::vector<HelperNeighbour>> Neighbours(uint32_t address) override {
        std::vector<HelperNeighbour> found;
        for (const Neighbour& n : neighbours) {
            if (n.address == address) {
                found.push_back({n.index, n.state, n.mac});
            }
        }
        return found;
    }
    int AddNeighbour(int index, uint32_t address, const MacAddress& mac) override {
        std::erase_if(neighbours, [&](const Neighbour& n) { return n.index == index && n.address == address; });
        neighbours.push_back({index, address, NUD_PERMANENT, mac});
        return 0;
    }
    int DeleteNeighbour(int index, uint32_t address) override {
        return std::erase_if(neighbours, [&](const Neighbour& n) { return n.index == index && n.address == address; })
                   ? 0
                   : ENOENT;
    }
    int AddRoute(int index, uint32_t address) override {
        for (const auto& route : routes) {
            if (std::get<1>(route) == address) {
                return EEXIST;
            }
        }
        routes.insert({index, address});
        return 0;
    }
    int DeleteRoute(int index, uint32_t address) override { return routes.erase({index, address}) ? 0 : ESRCH; }
    int OpenDhcpSocket(uint16_t port, int& fd) override {
        fd = 1000 + port;
        return 0;
    }
    int OpenIcmpSocket(int& fd) override {
        fd = 1001;
        return 0;
    }

    std::vector<HelperLocalAddress> local{{0x0AD50702, 24}, {0x0A090900, 31}, {0x7F000001, 8}};
    std::vector<uint32_t> gateways{0x0AD50701};
    bool routesReadable = true;
    std::vector<Neighbour> neighbours;
    std::set<std::tuple<int, uint32_t>> routes;
};

class FakePrivileges : public HelperPrivileges {
  public:
    bool Holds(HelperCapability capability) const override { return held.count(capability) != 0; }
    bool Raise(HelperCapability capability) override { return Holds(capability); }
    void Lower(HelperCapability) override {}
    void Drop(HelperCapability capability) override { held.erase(capability); }
    std::set<HelperCapability> held{HelperCapability::NetBindService, HelperCapability::NetRaw,
                                    HelperCapability::NetAdmin};
};

const MacAddress kCameraMac({0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef});
const MacAddress kOtherMac({0x02, 0, 0, 0, 0, 9});

struct Helper {
    FakeSystem system;
    FakePrivileges privileges;
    std::vector<std::string> log;
    HelperCore core{system, privileges, [this](std::string_view line) { log.emplace_back(line); }, "3.01"};

    HelperResponse Ask(const std::string& text) {
        const auto parse = ParseHelperRequest(text);
        EXPECT_TRUE(parse.request) << text << ": " << parse.error;
        return parse.request ? core.Handle(*parse.request) : HelperResponse{EINVAL, parse.error, -1};
    }
};

TEST(HelperCore, RefusedRequestsNameTheirCheckAndChangeNothing) {
    struct Case {
        std::string request;
        int code;
        std::string text;
        std::function<void(Helper&)> setUp;
    };
    const auto lacks = [](HelperCapability capability) {
        return [capability](Helper& helper) { helper.privileges.held.erase(capability); };
    };
    const std::string add = " 00:1a:2b:c3:d4:ef";
    const Case cases[] = {
        {"1 neigh-add 9 10.213.7.50" + add, EINVAL, "no interface 9", {}},
        {"1 neigh-add 3 10.213.7.50" + add, EINVAL, "interface 3 is down", {}},
        {"1 route-add 1 10.213.7.50", EINVAL, "interface 1 is not Ethernet", {}},
        {"1 neigh-add 2 0.0.0.0" + add, EINVAL, "address 0.0.0.0 is not a host address", {}},
        {"1 neigh-add 2 255.255.255.255" + add, EINVAL, "address 255.255.255.255 is the limited broadcast", {}},
        {"1 route-add 2 224.0.0.1", EINVAL, "address 224.0.0.1 is multicast", {}},
        {"1 neigh-add 2 239.255.255.250" + add, EINVAL, "address 239.255.255.250 is multicast", {}},
        {"1 neigh-add 2 127.0.0.2" + add, EINVAL, "address 127.0.0.2 is loopback", {}},
        {"1 neigh-add 2 240.0.0.1" + add, EINVAL, "address 240.0.0.1 is reserved (240/4)", {}},
        {"1 neigh-add 2 10.213.7.255" + add,
         EINVAL,
         "address 10.213.7.255 is the broadcast address of the local subnet 10.213.7.0/24",
         {}},
        {"1 route-add 2 10.213.7.0",
         EINVAL,
         "address 10.213.7.0 is the network address of the local subnet 10.213.7.0/24",
         {}},
        {"1 neigh-add 2 10.213.7.2" + add, EINVAL, "address 10.213.7.2 is an address of this PC", {}},
        {"1 neigh-flush 10.9.9.0", EINVAL, "address 10.9.9.0 is an address of this PC", {}},
        {"1 neigh-add 2 10.213.7.1" + add, EINVAL, "address 10.213.7.1 is the gateway of a route", {}},
        {"1 route-add 4 172.16.5.5", EINVAL, "address 172.16.5.5 is the gateway of a route",
         [](Helper& h) { h.system.gateways.push_back(0xAC100505); }},
        {"1 neigh-add 2 10.213.7.50 00:00:00:00:00:00", EINVAL, "MAC 00:00:00:00:00:00 is zero", {}},
        {"1 neigh-add 2 10.213.7.50 01:00:5e:00:00:01", EINVAL, "MAC 01:00:5e:00:00:01 is not unicast", {}},
        {"1 neigh-add 2 10.213.7.50 ff:ff:ff:ff:ff:ff", EINVAL, "MAC ff:ff:ff:ff:ff:ff is not unicast", {}},
        {"1 neigh-add 2 10.213.7.50" + add, EEXIST,
         "a permanent entry for 10.213.7.50 exists that camera-setup-helper did not add",
         [](Helper& h) {
             h.system.neighbours.push_back({kEth2, 0x0AD50732, NUD_PERMANENT, kOtherMac});
         }},
        {"1 route-add 2 192.168.5.9", EEXIST, "a route to 192.168.5.9/32 exists that camera-setup-helper did not add",
         [](Helper& h) {
             h.system.routes.insert({kEth2, 0xC0A80509});
         }},
        {"1 neigh-del 10.213.7.50", ENOENT, "no entry of camera-setup-helper for 10.213.7.50",
         [](Helper& h) {
             h.system.neighbours.push_back({kEth, 0x0AD50732, NUD_PERMANENT, kOtherMac});
         }},
        {"1 route-del 2 192.168.5.9", ENOENT, "no route of camera-setup-helper to 192.168.5.9/32 dev 2",
         [](Helper& h) {
             h.system.routes.insert({kEth, 0xC0A80509});
         }},
        {"1 route-add 2 192.168.5.9", EIO, "cannot read the routes",
         [](Helper& h) { h.system.routesReadable = false; }},
        {"1 neigh-add 2 10.213.7.50" + add, EPERM, "camera-setup-helper lacks CAP_NET_ADMIN",
         lacks(HelperCapability::NetAdmin)},
        {"1 neigh-flush 10.213.7.50", EPERM, "camera-setup-helper lacks CAP_NET_ADMIN",
         lacks(HelperCapability::NetAdmin)},
        {"1 route-add 2 192.168.5.9", EPERM, "camera-setup-helper lacks CAP_NET_ADMIN",
         lacks(HelperCapability::NetAdmin)},
        {"1 icmp-socket", EPERM, "camera-setup-helper lacks CAP_NET_RAW", lacks(HelperCapability::NetRaw)},
        {"1 dhcp-socket 67", EPERM, "camera-setup-helper lacks CAP_NET_BIND_SERVICE",
         lacks(HelperCapability::NetBindService)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        Helper helper;
        // A dynamic entry that a passing neigh-add or neigh-flush would remove.
        helper.system.neighbours.push_back({kEth, 0x0AD50732, NUD_REACHABLE, kCameraMac});
        if (c.setUp) {
            c.setUp(helper);
        }
        const auto neighbours = helper.system.neighbours;
        const auto routes = helper.system.routes;
        const HelperResponse response = helper.Ask(c.request);
        EXPECT_EQ(response.code, c.code);
        EXPECT_EQ(response.text, c.text);
        EXPECT_EQ(response.fd, -1);
        EXPECT_EQ(helper.system.neighbours, neighbours);
        EXPECT_EQ(helper.system.routes, routes);
        EXPECT_TRUE(helper.core.Record().Entries().empty());
        ASSERT_EQ(helper.log.size(), 1u);
        EXPECT_EQ(helper.log[0], "refused \"" + c.request + "\": " + c.text);
    }
}

TEST(HelperCore, OnlyWhatItAddedIsRemovedAndAtMost256AreRecorded) {
    Helper helper;
    auto& kernel = helper.system;
    // Someone else's permanent entry and route, and the kernel's own entries, on addresses it never asked for.
    const Neighbour foreign{kEth, 0x0AD50733, NUD_PERMANENT, kOtherMac};
    const Neighbour dynamic{kEth, 0x0AD50734, NUD_STALE, kOtherMac};
    kernel.neighbours = {
        foreign, dynamic, {kEth, 0x0AD50732, NUD_STALE, kOtherMac}, {kEth2, 0x0AD50732, NUD_REACHABLE, kOtherMac}};
    kernel.routes.insert({kEth, 0xC0A80101});

    // neigh-add drops the kernel's entry on its interface only; neigh-flush drops the rest, never a permanent one.
    EXPECT_EQ(helper.Ask("1 neigh-add 2 10.213.7.50 00:1a:2b:c3:d4:ef").code, 0);
    EXPECT_EQ(std::count(kernel.neighbours.begin(), kernel.neighbours.end(),
                         Neighbour{kEth, 0x0AD50732, NUD_PERMANENT, kCameraMac}),
              1);
    EXPECT_EQ(kernel.neighbours.size(), 4u);
    EXPECT_EQ(helper.Ask("2 neigh-flush 10.213.7.50").text, "flushed 1");
    EXPECT_EQ(helper.Ask("3 neigh-flush 10.213.7.51").text, "flushed 0");
    EXPECT_EQ(helper.Ask("4 neigh-add 2 10.213.7.50 00:1a:2b:c3:d4:ef").code, 0);  // its own: replaced

    // Up to 256 entries and routes together, then ENOSPC until one is removed; its own ones can still be renewed.
    for (uint32_t i = 1; i < 128; ++i) {
        ASSERT_EQ(helper.Ask("5 neigh-add 2 10.100.0." + std::to_string(i) + " 00:1a:2b:c3:d4:ef").code, 0) << i;
    }
    for (uint32_t i = 1; i <= 128; ++i) {
        ASSERT_EQ(helper.Ask("6 route-add 4 172.20.0." + std::to_string(i)).code, 0) << i;
    }
    EXPECT_EQ(helper.core.Record().Entries().size(), kHelperMaxRecords);
    for (const std::string full : {"7 neigh-add 2 10.100.1.1 00:1a:2b:c3:d4:ef", "7 route-add 2 172.20.1.1"}) {
        const HelperResponse response = helper.Ask(full);
        EXPECT_EQ(response.code, ENOSPC);
        EXPECT_EQ(response.text, "too many entries");
    }
    EXPECT_EQ(helper.Ask("8 route-add 4 172.20.0.1").text, "route to 172.20.0.1/32 exists");
    EXPECT_EQ(helper.Ask("9 neigh-add 2 10.100.0.1 02:00:00:00:00:01").code, 0);
    EXPECT_EQ(helper.Ask("10 route-del 4 172.20.0.128").code, 0);
    EXPECT_EQ(helper.Ask("10 route-del 4 172.20.0.128").code, ENOENT);
    EXPECT_EQ(helper.Ask("11 route-add 2 172.20.1.1").code, 0);

    // An entry of its own that someone else has since replaced is left alone.
    for (Neighbour& n : kernel.neighbours) {
        if (n.address == 0x0A640002) {
            n.mac = kOtherMac;
        }
    }
    const HelperResponse cleanup = helper.Ask("12 cleanup");
    EXPECT_EQ(cleanup.code, 0);
    EXPECT_EQ(cleanup.text, "removed 256");
    EXPECT_TRUE(helper.core.Record().Entries().empty());
    const std::vector<Neighbour> left{foreign, dynamic, {kEth, 0x0A640002, NUD_PERMANENT, kOtherMac}};
    EXPECT_EQ(kernel.neighbours, left);
    EXPECT_EQ(kernel.routes, (std::set<std::tuple<int, uint32_t>>{{kEth, 0xC0A80101}}));
    EXPECT_EQ(helper.Ask("13 cleanup").text, "removed 0");
}

TEST(HelperCore, SocketsAndHelloFollowTheCapabilities) {
    Helper helper;
    EXPECT_EQ(helper.Ask("1 hello").text, "camera-setup-helper 3.01 caps=net_bind_service,net_raw,net_admin");
    const HelperResponse icmp = helper.Ask("2 icmp-socket");
    EXPECT_EQ(icmp.text, "raw icmp");
    EXPECT_EQ(icmp.fd, 1001);
    EXPECT_EQ(helper.Ask("3 dhcp-socket 67").fd, 1067);
    EXPECT_EQ(helper.Ask("4 dhcp-socket 67").fd, 1067);
    EXPECT_TRUE(helper.privileges.Holds(HelperCapability::NetBindService));
    const HelperResponse dhcp = helper.Ask("5 dhcp-socket 68");
    EXPECT_EQ(dhcp.text, "bound 68");
    EXPECT_EQ(dhcp.fd, 1068);
    EXPECT_EQ(helper.Ask("6 hello").text, "camera-setup-helper 3.01 caps=net_raw,net_admin");
    EXPECT_EQ(helper.Ask("7 dhcp-socket 68").code, EPERM);
}

}  // namespace
