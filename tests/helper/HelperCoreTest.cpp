#include "HelperCore.h"

#include <gtest/gtest.h>
#include <linux/neighbour.h>

#include <cerrno>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int kEth = 2;
constexpr int kDown = 3;
constexpr int kLoopback = 1;
constexpr int kBare = 4;  // Ethernet, up, no IPv4 address
constexpr int kStale = 5;
constexpr uint32_t kUid = 1000;
constexpr uint32_t kSelf = 4242;  // the helper's process id
const uint32_t kUidTable = kHelperUidTableBase + kUid;

struct Neighbour {
    int index;
    uint32_t address;
    uint16_t state;
    uint8_t flags;
    bool operator==(const Neighbour&) const = default;
};

using Route = std::tuple<uint32_t, int, uint32_t>;  // table, interface (0: blackhole), address

// A PC on 10.213.7.2/24 (gateway .1, a nexthop object's gateway .9) and 10.9.9.0/31.
class FakeSystem : public HelperSystem {
  public:
    std::optional<HelperInterface> Interface(int index) override {
        switch (index) {
            case kEth:
            case kBare:
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
        return routesReadable ? std::optional(gateways) : std::nullopt;
    }
    std::optional<std::vector<HelperNeighbour>> Neighbours(uint32_t address) override {
        std::vector<HelperNeighbour> found;
        for (const Neighbour& n : neighbours) {
            if (n.address == address) {
                found.push_back({n.index, n.state, std::nullopt, n.flags});
            }
        }
        return found;
    }
    int DeleteNeighbour(int index, uint32_t address) override {
        return std::erase_if(neighbours, [&](const Neighbour& n) { return n.index == index && n.address == address; })
                   ? 0
                   : ENOENT;
    }
    std::optional<size_t> TaggedRoutes(uint32_t table) override {
        if (!routesReadable) {
            return std::nullopt;
        }
        return std::count_if(routes.begin(), routes.end(), [&](const Route& r) { return std::get<0>(r) == table; });
    }
    std::optional<std::vector<HelperRegistration>> Registrations() override {
        return routesReadable ? std::optional(registrations) : std::nullopt;
    }
    int Register(uint32_t address) override {
        registrations.push_back({address, kSelf, uid, true});
        return 0;
    }
    int Unregister(uint32_t address) override {
        if (refuseRemovals) {
            return EPERM;
        }
        return std::erase_if(registrations, [&](const auto& r) { return r.address == address && r.mine; }) ? 0 : ESRCH;
    }
    // The owners in dead are gone: their entries, the routes to their addresses, and rules left without routes.
    size_t SweepDead(size_t& failed) override {
        failed = 0;
        const size_t before = registrations.size() + routes.size() + rules.size();
        for (const HelperRegistration& entry : registrations) {
            if (dead.contains(entry.owner)) {
                std::erase_if(routes, [&](const Route& r) { return std::get<2>(r) == entry.address; });
            }
        }
        std::erase_if(registrations, [&](const auto& r) { return dead.contains(r.owner); });
        std::erase_if(rules, [&](const auto& rule) { return TaggedRoutes(std::get<1>(rule)) == 0u; });
        return before - registrations.size() - routes.size() - rules.size();
    }
    int AddRoute(uint32_t table, int index, uint32_t address) override {
        for (const Route& route : routes) {
            if (std::get<0>(route) == table && std::get<2>(route) == address) {
                return EEXIST;
            }
        }
        routes.insert({table, index, address});
        return 0;
    }
    int DeleteRoute(uint32_t table, int index, uint32_t address) override {
        if (refuseRemovals) {
            return EPERM;
        }
        return routes.erase({table, index, address}) ? 0 : ESRCH;
    }
    int AddUidRule(uint32_t uid, uint32_t table) override {
        rules.insert({uid, table});
        return 0;
    }
    int DeleteUidRule(uint32_t uid, uint32_t table) override { return rules.erase({uid, table}) ? 0 : ENOENT; }
    int StartProbe(int, uint32_t address) override {
        probes[nextProbe] = address;
        return nextProbe++;
    }
    HelperProbe FinishProbe(int probe, int64_t waitMs) override {
        const uint32_t address = probes.at(probe);
        probes.erase(probe);
        waits.push_back(waitMs);
        return {0, claims[address]};
    }
    void AbandonProbe(int probe) override { probes.erase(probe); }
    int SendEchoFrame(const HelperEchoFrame& frame) override {
        frames.push_back({frame.interfaceIndex, frame.destinationMac, frame.source, frame.destination, frame.identifier,
                          frame.sequence});
        return 0;
    }

    std::vector<HelperLocalAddress> local{{0x0AD50702, 24, kEth}, {0x0A090900, 31, kEth}, {0x7F000001, 8, kLoopback}};
    std::vector<uint32_t> gateways{0x0AD50701, 0x0AD50709};
    uint32_t uid = kUid;
    std::set<uint32_t> dead;
    bool routesReadable = true;
    bool refuseRemovals = false;
    std::vector<Neighbour> neighbours;
    std::set<Route> routes;
    std::set<std::tuple<uint32_t, uint32_t>> rules;
    std::vector<HelperRegistration> registrations;
    std::map<uint32_t, std::vector<MacAddress>> claims;
    std::map<int, uint32_t> probes;  // the undecided ones
    int nextProbe = 0;
    std::vector<int64_t> waits;
    std::vector<std::tuple<int, MacAddress, uint32_t, uint32_t, uint16_t, uint16_t>> frames;
};

class FakeRelays : public HelperRelays {
  public:
    int StartDhcp(uint16_t port, int) override {
        dhcp.push_back(port);
        return 0;
    }
    int StartArp(int) override { return 0; }
    int OpenEcho(int, uint16_t& identifier) override {
        identifier = 4321;
        return echoError;
    }
    bool ExpectEchoFrom(uint16_t identifier, uint32_t address, uint16_t sequence, uint32_t) override {
        expected.insert({identifier, address, sequence});
        return identifier == 77;
    }

    std::vector<uint16_t> dhcp;
    int echoError = 0;
    std::set<std::tuple<uint16_t, uint32_t, uint16_t>> expected;
};

class FakePrivileges : public HelperPrivileges {
  public:
    bool Holds(HelperCapability capability) const override { return held.count(capability) != 0; }
    bool Raise(HelperCapability capability) override { return Holds(capability); }
    void Lower(HelperCapability) override {}
    std::set<HelperCapability> held{HelperCapability::NetRaw, HelperCapability::NetAdmin};
};

const MacAddress kCameraMac({0x02, 0x5e, 0xa1, 0xcc, 0x55, 0xc8});
const MacAddress kOtherMac({0x02, 0, 0, 0, 0, 9});
const std::string kCamera = " 02:5e:a1:cc:55:c8";

struct Helper {
    explicit Helper(uint32_t callerUid = kUid) : uid(callerUid) { system.uid = callerUid; }

    uint32_t uid;
    FakeSystem system;
    FakeRelays relays;
    FakePrivileges privileges;
    std::vector<std::string> log;
    int64_t now = 0;
    HelperCore core{system,
                    relays,
                    privileges,
                    [this](std::string_view line) { log.emplace_back(line); },
                    "3.01",
                    uid,
                    [this] { return now; }};

    HelperResponse Ask(const std::string& text, int channel = -1) {
        const auto parse = ParseHelperRequest(text);
        EXPECT_TRUE(parse.request) << text << ": " << parse.error;
        return parse.request ? core.Handle(*parse.request, channel) : HelperResponse{EINVAL, parse.error};
    }
};

TEST(HelperCore, RefusedInstallationsNameTheirCheckAndChangeNothing) {
    struct Case {
        std::string request;
        int code;
        std::string text;
        std::function<void(Helper&)> setUp;
    };
    const Case cases[] = {
        {"1 install-begin 9 10.213.7.50" + kCamera, ENODEV, "no interface 9", {}},
        {"1 install-begin 3 10.213.7.50" + kCamera, ENETDOWN, "interface 3 is down", {}},
        {"1 install-begin 1 10.213.7.50" + kCamera, EPROTOTYPE, "interface 1 is not Ethernet", {}},
        {"1 install-begin 4 10.213.7.50" + kCamera, EADDRNOTAVAIL, "interface 4 has no IPv4 address", {}},
        {"1 install-begin 2 10.213.7.50 00:00:00:00:00:00", EINVAL, "MAC 00:00:00:00:00:00 is zero", {}},
        {"1 install-begin 2 10.213.7.50 03:5e:a1:cc:55:c8", EINVAL, "MAC 03:5e:a1:cc:55:c8 is not unicast", {}},
        {"1 install-begin 2 10.213.7.50 02:00:00:00:00:09", EPERM, "MAC 02:00:00:00:00:09 is not a camera's", {}},
        {"1 install-begin 2 0.1.2.3" + kCamera, EINVAL, "address 0.1.2.3 is not a host address", {}},
        {"1 install-begin 2 255.255.255.255" + kCamera, EINVAL, "address 255.255.255.255 is the limited broadcast", {}},
        {"1 install-begin 2 224.0.0.1" + kCamera, EINVAL, "address 224.0.0.1 is multicast", {}},
        {"1 install-begin 2 127.0.0.2" + kCamera, EINVAL, "address 127.0.0.2 is loopback", {}},
        {"1 install-begin 2 240.0.0.1" + kCamera, EINVAL, "address 240.0.0.1 is reserved (240/4)", {}},
        {"1 install-begin 2 10.213.7.255" + kCamera,
         EINVAL,
         "address 10.213.7.255 is the broadcast address of the local subnet 10.213.7.0/24",
         {}},
        {"1 install-begin 2 10.213.7.0" + kCamera,
         EINVAL,
         "address 10.213.7.0 is the network address of the local subnet 10.213.7.0/24",
         {}},
        {"1 install-begin 2 10.9.9.0" + kCamera, EINVAL, "address 10.9.9.0 is an address of this PC", {}},
        {"1 install-begin 2 10.213.7.1" + kCamera, EPERM, "address 10.213.7.1 is the gateway of a route", {}},
        {"1 install-begin 2 10.213.7.9" + kCamera, EPERM, "address 10.213.7.9 is the gateway of a route", {}},
        {"1 install-begin 2 10.213.7.50" + kCamera, EBUSY, "10.213.7.50 is being installed by another helper",
         [](Helper& h) {
             h.system.registrations.push_back({0x0AD50732, 77, 5, false});
         }},
        {"1 install-begin 2 10.213.7.50" + kCamera, ENOSPC, "already 512 addresses being installed on this PC",
         [](Helper& h) {
             for (uint32_t i = 0; i < kHelperMaxInstalls; ++i) {
                 h.system.registrations.push_back({0xAC100000 + i, 77, 5, false});
             }
         }},
        {"1 install-begin 2 10.213.7.50" + kCamera, EIO, "cannot read the routes",
         [](Helper& h) { h.system.routesReadable = false; }},
        {"1 install-begin 2 10.213.7.50" + kCamera, EPERM, "camera-setup-helper lacks CAP_NET_ADMIN",
         [](Helper& h) { h.privileges.held.erase(HelperCapability::NetAdmin); }},
        {"1 install-begin 2 10.213.7.50" + kCamera, EPERM, "camera-setup-helper lacks CAP_NET_RAW",
         [](Helper& h) { h.privileges.held.erase(HelperCapability::NetRaw); }},
        {"1 assign-echo 10.213.7.50 1 1", ENOENT, "10.213.7.50 is not being installed by this helper", {}},
        {"1 install-end 10.213.7.50", ENOENT, "10.213.7.50 is not being installed by this helper", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        Helper helper;
        // A dynamic entry that a passing install-begin would remove.
        helper.system.neighbours.push_back({kEth, 0x0AD50732, NUD_STALE, 0});
        if (c.setUp) {
            c.setUp(helper);
        }
        const auto neighbours = helper.system.neighbours;
        const auto routes = helper.system.routes;
        const HelperResponse response = helper.Ask(c.request);
        EXPECT_EQ(response.code, c.code);
        EXPECT_EQ(response.text, c.text);
        EXPECT_EQ(helper.system.neighbours, neighbours);
        EXPECT_EQ(helper.system.routes, routes);
        EXPECT_TRUE(helper.system.rules.empty());
        EXPECT_EQ(helper.core.Installs(), 0u);
        EXPECT_TRUE(helper.system.probes.empty());
        ASSERT_FALSE(helper.log.empty());
        EXPECT_EQ(helper.log.back(), "refused \"" + c.request + "\": " + c.text);
    }
}

TEST(HelperCore, InstallationFlushesOnlyDynamicEntriesAndRoutesOtherSubnetsForTheUidAlone) {
    Helper helper;
    auto& kernel = helper.system;
    const Neighbour administrators[] = {{kEth, 0x0AD50732, NUD_PERMANENT, 0},
                                        {kBare, 0x0AD50732, NUD_NOARP, 0},
                                        {kDown, 0x0AD50732, NUD_REACHABLE, NTF_EXT_LEARNED}};
    const Neighbour elsewhere{kEth, 0x0AD50733, NUD_REACHABLE, 0};
    kernel.neighbours = {
        administrators[0], administrators[1], administrators[2], elsewhere, {kStale, 0x0AD50732, NUD_STALE, 0}};
    kernel.claims[0x0AD50732] = {kCameraMac};  // the camera itself may already hold it
    const HelperResponse begun = helper.Ask("1 install-begin 2 10.213.7.50" + kCamera);
    EXPECT_EQ(begun.text, "begun 10.213.7.50 for 02:5e:a1:cc:55:c8 on interface 2; removed 1 dynamic entries; probing");
    EXPECT_EQ(kernel.neighbours,
              (std::vector<Neighbour>{administrators[0], administrators[1], administrators[2], elsewhere}));
    ASSERT_EQ(kernel.registrations.size(), 1u);
    EXPECT_TRUE(kernel.registrations[0].mine);
    EXPECT_TRUE(kernel.routes.empty());
    EXPECT_TRUE(kernel.rules.empty());

    EXPECT_EQ(helper.Ask("2 install-begin 2 172.20.0.1" + kCamera).code, 0);
    EXPECT_EQ(helper.Ask("3 install-begin 2 172.20.0.2" + kCamera).code, 0);
    EXPECT_TRUE(kernel.routes.contains({kUidTable, kEth, 0xAC140001}));
    EXPECT_EQ(kernel.rules, (std::set<std::tuple<uint32_t, uint32_t>>{{kUid, kUidTable}}));
    EXPECT_EQ(helper.Ask("4 install-begin 2 172.20.0.1" + kCamera).code, EALREADY);
    // The rule stays while the table holds a route of an installation still going on.
    EXPECT_EQ(helper.Ask("5 install-end 172.20.0.1").text, "ended 172.20.0.1");
    EXPECT_FALSE(kernel.rules.empty());
    EXPECT_EQ(helper.Ask("6 cleanup").text, "removed 2");
    EXPECT_TRUE(kernel.routes.empty());
    EXPECT_TRUE(kernel.rules.empty());
    EXPECT_TRUE(kernel.registrations.empty());

    // Whatever a killed helper (of another uid) left goes with the next install-begin; live helpers' entries stay.
    const uint32_t otherTable = kHelperUidTableBase + 5;
    kernel.registrations = {{0xAC140001, 77, 5, false}, {0xAC140002, 77, 5, false}, {0xAC140003, 78, 6, false}};
    kernel.routes = {{otherTable, kEth, 0xAC140001}, {otherTable, kEth, 0xAC140002}};
    kernel.rules = {{5, otherTable}};
    kernel.dead = {77};
    EXPECT_EQ(helper.Ask("7 install-begin 2 172.20.0.1" + kCamera).code, 0);
    EXPECT_EQ(helper.log[helper.log.size() - 2], "removed 5 routes and rules that helpers no longer running left");
    EXPECT_EQ(kernel.registrations.size(), 2u);
    EXPECT_EQ(kernel.routes, (std::set<Route>{{kUidTable, kEth, 0xAC140001}}));
    EXPECT_EQ(kernel.rules, (std::set<std::tuple<uint32_t, uint32_t>>{{kUid, kUidTable}}));

    Helper other(kHelperMaxUid + 1);
    EXPECT_EQ(other.Ask("1 install-begin 2 172.20.0.1" + kCamera).text, "uid 805306368 has no private routing table");
    EXPECT_EQ(other.Ask("1 install-begin 2 10.213.7.50" + kCamera).code, 0);

    Helper stuck;
    EXPECT_EQ(stuck.Ask("1 install-begin 2 172.20.0.1" + kCamera).code, 0);
    stuck.system.refuseRemovals = true;
    const HelperResponse refused = stuck.Ask("2 cleanup");
    EXPECT_EQ(refused.code, EBUSY);
    EXPECT_EQ(refused.text, "removed 0, 1 could not be removed");
}

TEST(HelperCore, AssignmentFramesGoToTheCameraFromTheInterfacesAddressWithinARate) {
    Helper helper;
    ASSERT_EQ(helper.Ask("1 install-begin 2 10.213.7.50" + kCamera).code, 0);
    ASSERT_EQ(helper.Ask("1 install-begin 2 172.20.0.1" + kCamera).code, 0);
    EXPECT_EQ(helper.Ask("2 assign-echo 10.213.7.50 77 3 abcd").code, 0);
    EXPECT_EQ(helper.Ask("2 assign-echo 172.20.0.1 77 4").code, 0);
    using Frame = std::tuple<int, MacAddress, uint32_t, uint32_t, uint16_t, uint16_t>;
    EXPECT_EQ(helper.system.frames, (std::vector<Frame>{{kEth, kCameraMac, 0x0AD50702, 0x0AD50732, 77, 3},
                                                        {kEth, kCameraMac, 0x0AD50702, 0xAC140001, 77, 4}}));
    EXPECT_TRUE(helper.relays.expected.contains({77, 0x0AD50732, 3}));
    // Replies to an identifier no channel here holds would reach another user's socket.
    const HelperResponse stolen = helper.Ask("2 assign-echo 10.213.7.50 78 3");
    EXPECT_EQ(stolen.code, EACCES);
    EXPECT_EQ(stolen.text, "identifier 78 is not one of uid 1000's echo channels or ICMP sockets");
    for (int i = 3; i <= 20; ++i) {
        ASSERT_EQ(helper.Ask("3 assign-echo 10.213.7.50 77 5").code, 0) << i;
    }
    EXPECT_EQ(helper.Ask("4 assign-echo 10.213.7.50 77 6").code, EBUSY);
    EXPECT_EQ(helper.Ask("4 assign-echo 172.20.0.1 77 6").code, 0);
    helper.now += 50;
    EXPECT_EQ(helper.Ask("5 assign-echo 10.213.7.50 77 7").code, 0);
    EXPECT_EQ(helper.Ask("5 assign-echo 10.213.7.50 77 8").code, EBUSY);
}

TEST(HelperCore, TheFirstAssignEchoDecidesTheProbeAndAClaimByAnotherMacRefusesEveryOne) {
    Helper helper;
    auto& kernel = helper.system;
    kernel.claims[0x0AD50732] = {kCameraMac, kOtherMac};
    kernel.claims[0x0AD50733] = {kCameraMac};
    ASSERT_EQ(helper.Ask("1 install-begin 2 10.213.7.50" + kCamera).code, 0);
    ASSERT_EQ(helper.Ask("1 install-begin 2 10.213.7.51" + kCamera).code, 0);
    EXPECT_EQ(kernel.probes.size(), 2u);
    EXPECT_TRUE(kernel.waits.empty());

    helper.now += 30;
    const std::string inUse = "10.213.7.50 is in use by 02:00:00:00:00:09";
    for (const char* sequence : {"1", "2"}) {
        const HelperResponse refused = helper.Ask(std::string("2 assign-echo 10.213.7.50 77 ") + sequence);
        EXPECT_EQ(refused.code, EADDRINUSE);
        EXPECT_EQ(refused.text, inUse);
        EXPECT_EQ(helper.log.back(),
                  "refused \"2 assign-echo 10.213.7.50 77 " + std::string(sequence) + "\": " + inUse);
    }
    helper.now += 2000;
    EXPECT_EQ(helper.Ask("3 assign-echo 10.213.7.51 77 1").code, 0);
    EXPECT_EQ(helper.Ask("3 assign-echo 10.213.7.51 77 2").code, 0);
    // Waited the rest of the first probe's time, not at all for the second's, and decided each once.
    EXPECT_EQ(kernel.waits, (std::vector<int64_t>{kHelperProbeDecideMs - 30, kHelperProbeDecideMs - 2030}));
    EXPECT_EQ(kernel.frames.size(), 2u);
    EXPECT_TRUE(kernel.probes.empty());

    // An undecided probe ends with its installation.
    ASSERT_EQ(helper.Ask("4 install-begin 2 10.213.7.52" + kCamera).code, 0);
    ASSERT_EQ(helper.Ask("4 install-begin 2 10.213.7.53" + kCamera).code, 0);
    EXPECT_EQ(helper.Ask("5 install-end 10.213.7.52").code, 0);
    EXPECT_EQ(kernel.probes.size(), 1u);
    EXPECT_EQ(helper.Ask("6 cleanup").code, 0);
    EXPECT_TRUE(kernel.probes.empty());
    EXPECT_EQ(kernel.waits.size(), 2u);
}

TEST(HelperCore, RelaysNeedTheirDescriptorAndCapNetRaw) {
    Helper helper;
    EXPECT_EQ(helper.Ask("1 dhcp-relay 67").code, EBADF);
    EXPECT_EQ(helper.Ask("2 hello", 5).code, EBADF);
    EXPECT_EQ(helper.Ask("3 dhcp-relay 67", 5).code, 0);
    EXPECT_EQ(helper.Ask("4 dhcp-relay 67", 5).code, EALREADY);
    EXPECT_EQ(helper.Ask("5 dhcp-relay 68", 5).code, 0);
    EXPECT_EQ(helper.relays.dhcp, (std::vector<uint16_t>{67, 68}));
    EXPECT_EQ(helper.Ask("6 hello").text, "camera-setup-helper 3.01 caps=net_raw,net_admin");
    Helper bare;
    bare.privileges.held.erase(HelperCapability::NetRaw);
    EXPECT_EQ(bare.Ask("1 dhcp-relay 67", 5).text, "camera-setup-helper lacks CAP_NET_RAW");
    EXPECT_EQ(helper.Ask("7 echo-open", 5).text, "identifier 4321");
    helper.relays.echoError = EMFILE;
    EXPECT_EQ(helper.Ask("8 echo-open", 5).text, "too many echo channels");
}

}  // namespace
