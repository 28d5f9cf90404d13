#include "HelperChecks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// 10.213.7.2/24 and 10.213.7.130/25 on interface 2, 192.168.9.9/30 on interface 3, loopback.
const std::vector<HelperLocalAddress> kLocal = {
    {0x0AD50702, 24, 2}, {0x0AD50782, 25, 2}, {0xC0A80909, 30, 3}, {0x7F000001, 8, 1}};

TEST(HelperChecks, EchoGoesOnlyToOneUnicastHost) {
    struct Case {
        uint32_t address;
        std::string refusal;  // empty: allowed
    };
    const Case cases[] = {
        {0x0AD50732, ""},
        {0x08080808, ""},
        {0x0AD50702, ""},  // its own address: loopback routing, harmless
        {0x00000000, "address 0.0.0.0 is not a host address"},
        {0x00FFFFFF, "address 0.255.255.255 is not a host address"},
        {0x7F000002, "address 127.0.0.2 is loopback"},
        {0xE0000001, "address 224.0.0.1 is multicast"},
        {0xF0000001, "address 240.0.0.1 is reserved (240/4)"},
        {0xFFFFFFFF, "address 255.255.255.255 is the limited broadcast"},
        {0x0AD507FF, "address 10.213.7.255 is the broadcast address of the local subnet 10.213.7.0/24"},
        {0x0AD5077F, ""},  // inside the /24, below the /25
        {0x0AD50780, "address 10.213.7.128 is the network address of the local subnet 10.213.7.128/25"},
        {0xC0A8090B, "address 192.168.9.11 is the broadcast address of the local subnet 192.168.9.8/30"},
    };
    for (const Case& c : cases) {
        const auto refusal = CheckEchoDestination(c.address, kLocal);
        EXPECT_EQ(refusal.value_or(""), c.refusal) << HelperAddressText(c.address);
    }
}

TEST(HelperChecks, FramesLeaveFromTheInterfacesAddressInTheTargetsSubnetElseItsFirst) {
    struct Case {
        int index;
        uint32_t target;
        std::optional<uint32_t> source;
        bool sameSubnet;
    };
    const Case cases[] = {
        {2, 0x0AD50732, 0x0AD50702, true},  {2, 0x0AD507F0, 0x0AD50702, true},  // the first matching address wins
        {2, 0xAC140001, 0x0AD50702, false}, {3, 0x0AD50732, 0xC0A80909, false}, {4, 0x0AD50732, std::nullopt, false},
    };
    for (const Case& c : cases) {
        bool sameSubnet = true;
        EXPECT_EQ(SourceAddress(c.index, c.target, kLocal, sameSubnet), c.source) << c.index << " " << c.target;
        EXPECT_EQ(sameSubnet, c.sameSubnet) << c.index << " " << c.target;
    }
}

}  // namespace
