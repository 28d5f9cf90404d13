#include "AdapterInfo.h"
#include "DottedAddress.h"
#include "LocalSubnet.h"
#include "SegmentSettings.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

TEST(ParseDottedAddress, FollowsAtoiRulesWithCarryAndFailsOnLongParts) {
    struct Case {
        const char* text;
        std::optional<uint32_t> expected;
    } cases[] = {
        {"192.168.0.1", 0xC0A80001u},
        {"1234.0.0.1", std::nullopt},
        {"1.2.3", 0x01020300u},
        {"1.300.0.1", 0x022C0001u},
        {"0.0.0.0", 0u},
        {"", 0u},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"10.0.0.1x", 0x0A000001u},  // non-digits end a part's number
        {"a.b.c.d", 0u},
        {"1..2.3", 0x01000203u},     // empty part is 0
        {"1.2.3.4.5", 0x01020304u},  // text after the fourth part is not read
        {"1.2.3.4567", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseDottedAddress(c.text), c.expected) << c.text;
    }
}

TEST(SelectAdapters, LeavesOutDialUpLoopbackAndDownInterfaces) {
    const std::vector<InterfaceAddress> interfaces = {
        {"eth0", 2, true, false, 0xC0A80002u, 0xFFFFFF00u},
        {"lo", 1, true, true, 0x7F000001u, 0xFF000000u},
        {"PPP0", 3, true, false, 0x0A000001u, 0xFFFFFFFFu},
        {"myPptpLink", 4, true, false, 0x0A000002u, 0xFFFFFFFFu},
        {"eth1", 5, false, false, 0x0A010101u, 0xFFFF0000u},
        {"eth0", 2, true, false, 0xAC100001u, 0xFFF00000u},  // second address of eth0
    };
    const auto adapters = SelectAdapters(interfaces);
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].address, "192.168.0.2");
    EXPECT_EQ(adapters[0].mask, "255.255.255.0");
    EXPECT_EQ(adapters[0].interfaceIndex, 2);
    EXPECT_EQ(adapters[1].address, "172.16.0.1");
    EXPECT_EQ(adapters[1].mask, "255.240.0.0");
}

TEST(EnumerateAdapters, NeverReportsLoopback) {
    const auto adapters = EnumerateAdapters();
    ASSERT_TRUE(adapters.has_value());
    for (const AdapterInfo& adapter : *adapters) {
        EXPECT_NE(adapter.address.rfind("127.", 0), 0u) << adapter.interfaceName;
        EXPECT_GT(adapter.interfaceIndex, 0);
    }
}

TEST(IsOnLocalSubnet, MatchesAnyAdapterNetworkAndNothingWithoutAdapters) {
    const std::vector<AdapterInfo> adapters = {
        {"192.168.0.2", "255.255.255.0", "eth0", 2},
        {"10.1.2.3", "255.0.0.0", "eth1", 3},
        {"bad", "255.255.255.0", "eth2", 4},          // mask parses, address reads as 0
        {"172.16.0.1", "255.255.2555.0", "eth3", 5},  // mask does not parse: never matches
    };
    EXPECT_TRUE(IsOnLocalSubnet(0xC0A800FEu, adapters));
    EXPECT_TRUE(IsOnLocalSubnet(0x0AFFFFFFu, adapters));
    EXPECT_FALSE(IsOnLocalSubnet(0xC0A80101u, adapters));
    EXPECT_FALSE(IsOnLocalSubnet(0xAC100005u, adapters));
    EXPECT_TRUE(IsOnLocalSubnet(0x00000005u, adapters));  // "bad" parses as 0.0.0.0 in 255.255.255.0
    for (uint32_t address : {0u, 0xC0A80001u, 0xFFFFFFFFu}) {
        EXPECT_FALSE(IsOnLocalSubnet(address, {}));
    }
}

TEST(SettingsForSegment, TheAdapterOnTheCamerasSegmentGivesMaskGatewayAndNameServers) {
    // eth0 holds two subnets; eth1 another one; the default route leaves through eth1.
    SegmentFacts facts;
    facts.adapters = {{"192.168.213.1", "255.255.255.0", "eth0", 2},
                      {"10.99.0.1", "255.255.0.0", "eth0", 2},
                      {"172.16.0.5", "255.255.255.0", "eth1", 3}};
    facts.routes = {{0, 0, 0xAC100001u, 3},             // default via 172.16.0.1 on eth1
                    {0x0A630000u, 16, 0, 2},            // on-link
                    {0x0A000000u, 8, 0xC0A8D5FEu, 2},   // 10/8 via 192.168.213.254
                    {0x0B000000u, 8, 0xC0A8D5FDu, 2}};  // a later gateway in the same subnet
    facts.nameServers = [](int index) { return std::vector<uint32_t>(3, static_cast<uint32_t>(index)); };
    struct Case {
        const char* name;
        std::optional<int> arrival;
        uint32_t address;
        std::optional<uint32_t> mask, gateway;
        std::vector<uint32_t> nameServers;
    } cases[] = {
        {"second subnet of the port: no gateway there", 2, 0x0A630032u, 0xFFFF0000u, std::nullopt, {2, 2}},
        {"first subnet: the first route naming a gateway in it", 2, 0xC0A8D532u, 0xFFFFFF00u, 0xC0A8D5FEu, {2, 2}},
        {"default route out of this adapter", std::nullopt, 0xAC100009u, 0xFFFFFF00u, 0xAC100001u, {3, 3}},
        {"no address: the arrival interface's first", 2, 0, 0xFFFFFF00u, 0xC0A8D5FEu, {2, 2}},
        {"no address and no arrival interface", std::nullopt, 0, std::nullopt, std::nullopt, {}},
        {"off every subnet", 2, 0x08080808u, std::nullopt, std::nullopt, {}},
    };
    for (const Case& c : cases) {
        const SegmentSettings settings = SettingsForSegment({.arrivalInterface = c.arrival}, c.address, facts);
        EXPECT_EQ(settings.mask, c.mask) << c.name;
        EXPECT_EQ(settings.gateway, c.gateway) << c.name;
        EXPECT_EQ(settings.nameServers, c.nameServers) << c.name;
    }
}

TEST(LinkNameServers, TheLinksOwnThenResolvConfWithoutLocalStubs) {
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("netinfo-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "run/systemd/resolve/netif");
    std::filesystem::create_directories(root / "etc");
    std::ofstream(root / "run/systemd/resolve/netif/2")
        << "# comment\nDNS=fe80::1%2 127.0.0.53 192.168.213.53#dns.example\nDNS=1.1.1.1:53 9.9.9.9\n";
    std::ofstream(root / "run/systemd/resolve/netif/4") << "DNS=::1\n";
    std::ofstream(root / "etc/resolv.conf") << "nameserver 127.0.0.53\nnameserver ::1\nnameserver 10.0.0.53\n";
    EXPECT_EQ(LinkNameServers(2, root), (std::vector<uint32_t>{0xC0A8D535u, 0x01010101u}));
    EXPECT_EQ(LinkNameServers(3, root), (std::vector<uint32_t>{0x0A000035u}));  // no file of the link's own
    EXPECT_EQ(LinkNameServers(4, root), (std::vector<uint32_t>{0x0A000035u}));  // the link's are all stubs
    std::filesystem::remove(root / "etc/resolv.conf");
    EXPECT_TRUE(LinkNameServers(3, root).empty());
    std::filesystem::remove_all(root);
}
