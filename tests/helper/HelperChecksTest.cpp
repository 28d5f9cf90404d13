#include "HelperChecks.h"
#include "HelperLiveness.h"
#include "Ipv4Text.h"

#include <gtest/gtest.h>
#include <linux/neighbour.h>

#include <map>
#include <set>
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
        EXPECT_EQ(refusal.value_or(""), c.refusal) << FormatDottedAddress(c.address);
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

TEST(HelperChecks, TheRegisterHoldsEachAddressOnceWithinTheLimitAndEachUsersShare) {
    // n entries of uid, at 172.16.x.y, of other helpers unless mine.
    const auto entries = [](size_t n, uint64_t uid, bool mine = false) {
        std::vector<HelperRegistration> list;
        for (uint32_t i = 0; i < n; ++i) {
            list.push_back({0xAC100000 + i, 7, uid, mine});
        }
        return list;
    };
    const uint32_t address = 0x0A000005;
    const auto joined = [&](std::vector<HelperRegistration> a, const std::vector<HelperRegistration>& b) {
        for (HelperRegistration entry : b) {
            entry.address += entry.address == address ? 0 : 0x1000;
            a.push_back(entry);
        }
        return a;
    };
    auto mineThere = entries(1, 1000, true);
    mineThere[0].address = address;
    auto othersThere = entries(1, 2000);
    othersThere[0].address = address;
    struct Case {
        std::string name;
        std::vector<HelperRegistration> registered;
        bool includesOwn;
        std::string refusal;  // empty: allowed
    };
    const Case cases[] = {
        {"empty", {}, false, ""},
        {"another helper has it", othersThere, false, "10.0.0.5 is being installed by another helper"},
        {"both registered at once", joined(mineThere, othersThere), true,
         "10.0.0.5 is being installed by another helper"},
        {"one short of the limit", entries(kHelperMaxInstalls - 1, 2000), false, ""},
        {"the limit", entries(kHelperMaxInstalls, 2000), false, "already 512 addresses being installed on this PC"},
        {"two at the limit registered at once", joined(entries(kHelperMaxInstalls - 1, 2000), mineThere), true, ""},
        {"two past the limit registered at once", joined(entries(kHelperMaxInstalls, 2000), mineThere), true,
         "already 512 addresses being installed on this PC"},
        {"share less one", entries(kHelperUserShare - 1, 1000), false, ""},
        {"share full", entries(kHelperUserShare, 1000), false,
         "uid 1000 already installs 256 addresses, its share of the 512"},
        {"share full, other helpers of the user", joined(entries(kHelperUserShare - 1, 1000), mineThere), true, ""},
        {"share passed after registering", joined(entries(kHelperUserShare, 1000), mineThere), true,
         "uid 1000 already installs 256 addresses, its share of the 512"},
        {"another user's share full", entries(kHelperUserShare, 2000), false, ""},
        {"unrecorded users count apart", entries(kHelperUserShare, kHelperUnknownUid), false, ""},
    };
    for (const Case& c : cases) {
        const auto refusal = CheckRegister(c.registered, address, 1000, c.includesOwn);
        EXPECT_EQ(refusal ? refusal->text : "", c.refusal) << c.name;
        if (refusal) {
            EXPECT_EQ(refusal->code, c.refusal.ends_with("another helper") ? EBUSY : ENOSPC) << c.name;
        }
    }
}

TEST(HelperChecks, OnlyAHelpersProcessStatusShowsItAlive) {
    const std::string helper =
        "Name:\tcamera-setup-he\nUid:\t1000\t1000\t1000\t1000\nCapPrm:\t0000000000003000\n"
        "CapEff:\t0000000000000000\nNoNewPrivs:\t1\n";
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = helper;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    struct Case {
        std::string name;
        std::string status;
        bool helpers;
    };
    const Case cases[] = {
        {"a helper", helper, true},
        {"only CAP_NET_ADMIN", replaced("3000", "1000"), true},
        {"only CAP_NET_RAW", replaced("3000", "2000"), false},
        {"new privileges possible (a set-user-ID program)", replaced("NoNewPrivs:\t1", "NoNewPrivs:\t0"), false},
        {"another uid (a reused process id)", replaced("Uid:\t1000", "Uid:\t1001"), false},
        {"uid prefix", replaced("Uid:\t1000", "Uid:\t10000"), false},
        {"caps cut", replaced("0000000000003000", "3000"), false},
        {"caps not hex", replaced("0000000000003000", "000000000000300x"), false},
        {"no NoNewPrivs line", replaced("NoNewPrivs:\t1\n", ""), false},
        {"gone (empty)", "", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(StatusIsHelpers(c.status, 1000), c.helpers) << c.name;
    }
}

TEST(HelperChecks, EchoIdentifiersAvoidThePcsIcmpSocketsAndTheHelpersOwn) {
    const std::string procNetIcmp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer "
        "drops\n"
        "  12: 0100007F:1A2B 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 1 2 0 0\n"
        "  13: 00000000:FFFF 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 1 2 0 0\n"
        "  14: 0100007F:1A2B 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 1 2 0 0\n"
        "  15: 00000000:12G4 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 1 2 0 0\n"
        "  16: 0000:0001 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000        0 1 2 0 0\n"
        "  17: 00000000:0002 00000000:0000 07 00000000:00000000 00:00000000 00000000  10x0        0 1 2 0 0\n"
        "  18: 00000000:0003 00000000:0000 07\n";
    EXPECT_EQ(IcmpSockets(procNetIcmp),
              (std::map<uint16_t, std::set<uint32_t>>{{0x1A2B, {0, 1000}}, {0xFFFF, {1000}}}));
    struct Case {
        std::string name;
        std::set<uint16_t> taken;
        uint16_t start;
        std::optional<uint16_t> picked;
    };
    std::set<uint16_t> allButOne;
    for (uint32_t i = 1; i <= 0xFFFF; ++i) {
        allButOne.insert(static_cast<uint16_t>(i));
    }
    allButOne.erase(0x1234);
    std::set<uint16_t> all = allButOne;
    all.insert(0x1234);
    const Case cases[] = {
        {"free", {}, 0x1A2B, 0x1A2B},
        {"a ping socket's", {0x1A2B}, 0x1A2B, 0x1A2C},
        {"never 0, wrapping", {0xFFFF}, 0xFFFF, 1},
        {"the last free one", allButOne, 0x0001, 0x1234},
        {"none free", all, 7, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PickEchoIdentifier(c.taken, c.start), c.picked) << c.name;
    }
}

TEST(HelperChecks, OnlyEntriesTheKernelLearnedByItselfMayBeDeleted) {
    struct Case {
        std::string name;
        HelperNeighbour entry;
        bool learned;
    };
    const Case cases[] = {
        {"stale", {2, NUD_STALE, std::nullopt, 0, 0, 0}, true},
        {"failed", {2, NUD_FAILED, std::nullopt, 0, 0, 0}, true},
        {"incomplete", {2, NUD_INCOMPLETE, std::nullopt, 0, 0, 0}, true},
        {"delay", {2, NUD_DELAY, std::nullopt, 0, 0, 0}, true},
        {"reachable (just confirmed, or set so by hand)", {2, NUD_REACHABLE, std::nullopt, 0, 0, 0}, false},
        {"permanent", {2, NUD_PERMANENT, std::nullopt, 0, 0, 0}, false},
        {"noarp", {2, NUD_NOARP, std::nullopt, 0, 0, 0}, false},
        {"proto static", {2, NUD_STALE, std::nullopt, 0, 4, 0}, false},
        {"externally learned", {2, NUD_STALE, std::nullopt, NTF_EXT_LEARNED, 0, 0}, false},
        {"managed", {2, NUD_STALE, std::nullopt, 0, 0, NTF_EXT_MANAGED}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(KernelLearned(c.entry), c.learned) << c.name;
    }
}

}  // namespace
