#include "DhcpPacket.h"
#include "DiscoveryCore.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>

namespace {

struct FakeUi : DiscoveryUi {
    void ShowMessage(std::string_view text, std::string_view caption) override {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    }
    std::vector<std::string> messages;
};

struct FakeTimer : RequeryTimerControl {
    void StartTimer(int periodMs) override {
        running = true;
        lastPeriod = periodMs;
    }
    void StopTimer() override { running = false; }
    bool running = false;
    int lastPeriod = 0;
};

constexpr uint32_t kLocal = 0xC0A80064;  // 192.168.0.100, on the adapter's subnet

class HandlersTest : public testing::Test {
  protected:
    HandlersTest() : core(DiscoveryCore::Hooks{&ui, [this] { ++broadcasts; }, &timer, [this] { return nextRandom; }}) {
        core.SetAdapters({{"192.168.0.2", "255.255.255.0", "eth0", 2}});
    }

    std::vector<std::string> RowOf(const std::array<uint8_t, 6>& mac) {
        const auto row = core.Table().Find(MacAddress(mac));
        if (!row) {
            return {};
        }
        const auto& cells = core.Table().Cells(*row);
        return std::vector<std::string>(cells.begin(), cells.end());
    }
    void SetAssigned(Assignment assigned) {
        CameraRecord camera = core.Table().Record(0);
        camera.assigned = assigned;
        core.Table().Update(0, camera);
    }
    int Client(const DhcpPacket& packet, std::optional<int> interface = {}) {
        return core.HandleClientPacket(packet.Bytes(), interface);
    }
    int Server(const DhcpPacket& packet, std::optional<int> interface = {}) {
        return core.HandleServerPacket(packet.Bytes(), interface);
    }
    static DhcpPacket Discover(const std::string& hostName, uint32_t ciaddr = 0) {
        return DhcpPacket(1).Mac(kCameraMac).Ciaddr(ciaddr).Cookie().MessageType(1).HostName(hostName).End();
    }
    static DhcpPacket Reply(uint8_t type, uint32_t yiaddr = kLocal) {
        return DhcpPacket(2)
            .Mac(kCameraMac)
            .Yiaddr(yiaddr)
            .Cookie()
            .MessageType(type)
            .Option(1, {255, 255, 255, 0})
            .Option(3, {192, 168, 0, 1, 192, 168, 0, 254})
            .Option(6, {192, 168, 0, 53, 8, 8, 4, 4})
            .End();
    }

    FakeUi ui;
    FakeTimer timer;
    int broadcasts = 0;
    uint32_t nextRandom = 100;
    DiscoveryCore core;
};

using Cells = std::vector<std::string>;
const std::string kKey = "02-5E-A1-CC-55-BA";

}  // namespace

TEST_F(HandlersTest, ClientPacketRowsFollowTheHostName) {
    struct Case {
        std::string hostName;
        Cells row;
    } cases[] = {
        {"NV4413-0101", {kKey, "0.0.0.0", "No", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "YES", "Tavix-11+", "NO"}},
        {"NV4413-0102",
         {kKey, "0.0.0.0", "------", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "YES", "Tavix-11+", "YES"}},
        {"QM52X2-0200",
         {kKey, "0.0.0.0", "------", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "NO", "Tavix-30", "YES"}},
        {"QM52x3-0001",
         {kKey, "0.0.0.0", "------", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "YES", "Tavix-30W", "YES"}},
        {"NV4412-0104", {kKey, "0.0.0.0", "No", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "NO", "Tavix-10", "NO"}},
        {"NV4412-X-0105",
         {kKey, "0.0.0.0", "------", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "NO", "Tavix-10", "YES"}},
        {"Other-1", {kKey, "0.0.0.0", "------", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "", "", "YES"}},
        {"", {kKey, "0.0.0.0", "------", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "", "", "YES"}},
        {"NV4413", {kKey, "0.0.0.0", "No", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "YES", "Tavix-11+", "NO"}},
        {std::string(200, 'A') + "-" + std::string(40, '9'),
         {kKey, "0.0.0.0", "------", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "", "", "YES"}},
    };
    int32_t pending = 0;
    for (const Case& c : cases) {
        core.Table().Clear();
        broadcasts = 0;
        EXPECT_EQ(Client(Discover(c.hostName)), 0);
        EXPECT_EQ(RowOf(kCameraMac), c.row) << c.hostName;
        EXPECT_EQ(broadcasts, 1) << c.hostName;
        pending += c.row[2] == "------" ? 1 : 0;
        EXPECT_EQ(core.PendingXrmCount(), pending) << c.hostName;
    }
    EXPECT_TRUE(ui.messages.empty());
}

TEST_F(HandlersTest, ClientPacketWithoutHostNameLeavesCellsUnset) {
    Client(DhcpPacket(1).Mac(kCameraMac).Ciaddr(kLocal).Cookie().MessageType(3).End());
    EXPECT_EQ(RowOf(kCameraMac),
              (Cells{kKey, "192.168.0.100", "No", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "", "", ""}));
    // The later host name wins.
    core.Table().Clear();
    Client(DhcpPacket(1).Mac(kCameraMac).Cookie().HostName("NV4413-0101").HostName("QM52X2-1").End());
    EXPECT_EQ(RowOf(kCameraMac)[8], "Tavix-30");
    EXPECT_EQ(RowOf(kCameraMac)[2], "------");
}

TEST_F(HandlersTest, ClientPacketsThatChangeNothing) {
    std::vector<uint8_t> truncated = Discover("NV4413-0102").Bytes();
    truncated.resize(20);  // ends before chaddr, which reads as zeros and fails the filter
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"foreign hardware address", DhcpPacket(1).Mac(kForeignMac).Cookie().HostName("NV4413-0102").End().Bytes()},
        {"address off every local subnet", Discover("NV4413-0102", 0x0A000005).Bytes()},
        {"truncated before chaddr", truncated},
        {"empty datagram", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(core.HandleClientPacket(c.bytes), 0) << c.name;
        EXPECT_EQ(core.Table().RowCount(), 0u) << c.name;
    }
    EXPECT_EQ(broadcasts, 0);
    EXPECT_EQ(core.PendingXrmCount(), 0);
}

TEST_F(HandlersTest, MalformedClientPacketsStillGiveTheFixedFields) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"no magic cookie", DhcpPacket(1).Mac(kCameraMac).Raw({12, 4, 'N', 'V', '4', '4'}).Bytes()},
        {"length byte past the end", DhcpPacket(1).Mac(kCameraMac).Cookie().Raw({12, 200, 'N', 'V'}).Bytes()},
        {"host name cut by the datagram",
         DhcpPacket(1).Mac(kCameraMac).Cookie().Raw({12, 11, 'N', 'V', '4', '4', '1', '3'}).Bytes()},
        {"only the fixed header", DhcpPacket(1).Mac(kCameraMac).Bytes()},
    };
    for (const Case& c : cases) {
        core.Table().Clear();
        EXPECT_EQ(core.HandleClientPacket(c.bytes), 0) << c.name;
        EXPECT_EQ(RowOf(kCameraMac),
                  (Cells{kKey, "0.0.0.0", "No", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "", "", ""}))
            << c.name;
    }
    // Bytes past 548 are not read: a host name beyond them is never seen.
    auto oversized = DhcpPacket(1).Mac(kCameraMac).Cookie().PadTo(548).HostName("NV4413-0102").End();
    core.Table().Clear();
    core.HandleClientPacket(oversized.Bytes());
    EXPECT_EQ(RowOf(kCameraMac)[2], "No");
}

TEST_F(HandlersTest, ClientPacketForAKnownRowChangesOnlyAYesRow) {
    Client(Discover("NV4413-0101"));  // "No"
    Client(Discover("NV4413-0102"));
    EXPECT_EQ(RowOf(kCameraMac)[2], "No");
    EXPECT_EQ(RowOf(kCameraMac)[9], "NO");
    EXPECT_EQ(core.Table().RowCount(), 1u);
    EXPECT_EQ(broadcasts, 1);

    SetAssigned(Assignment::Pending);
    Client(Discover("NV4413-0101"));
    EXPECT_EQ(RowOf(kCameraMac)[2], "------");

    SetAssigned(Assignment::Yes);
    Client(Discover("NV4413-0102"));
    EXPECT_EQ(RowOf(kCameraMac)[2], "------");
    EXPECT_EQ(RowOf(kCameraMac)[9], "YES");
    EXPECT_EQ(core.PendingXrmCount(), 1);
    SetAssigned(Assignment::Yes);
    Client(Discover("NV4413-0101"));
    EXPECT_EQ(RowOf(kCameraMac)[2], "No");
    EXPECT_EQ(RowOf(kCameraMac)[9], "NO");
    EXPECT_EQ(core.PendingXrmCount(), 1);
    EXPECT_EQ(broadcasts, 1);
    EXPECT_EQ(core.Table().RowCount(), 1u);
}

TEST_F(HandlersTest, ServerOfferAddsARowAndAcknowledgementFillsTheAddresses) {
    Server(Reply(2));
    EXPECT_EQ(RowOf(kCameraMac),
              (Cells{kKey, "192.168.0.100", "No", "0.0.0.0", "0.0.0.0", "0.0.0.0", "0.0.0.0", "", "", ""}));
    Server(Reply(5));
    EXPECT_EQ(RowOf(kCameraMac), (Cells{kKey, "192.168.0.100", "No", "255.255.255.0", "192.168.0.1", "192.168.0.53",
                                        "8.8.4.4", "", "", ""}));
    EXPECT_FALSE(timer.running);  // column 9 is not "YES"
    EXPECT_EQ(broadcasts, 0);
    // A later offer writes the four cells back to 0.0.0.0.
    Server(Reply(2));
    EXPECT_EQ(RowOf(kCameraMac)[3], "0.0.0.0");
}

TEST_F(HandlersTest, ServerPacketsThatAreDropped) {
    auto renewing = Reply(5);
    std::vector<uint8_t> bytes = renewing.Bytes();
    bytes[12] = 192;  // ciaddr set: a reply to a renewing client
    EXPECT_EQ(core.HandleServerPacket(bytes), 0);
    EXPECT_EQ(Server(Reply(5, 0x0A000001)), 0);  // off-subnet
    EXPECT_EQ(Server(Reply(5, 0)), 0);           // 0.0.0.0 gets no exception here
    auto foreign = DhcpPacket(2).Mac(kForeignMac).Yiaddr(kLocal).Cookie().MessageType(5).End();
    EXPECT_EQ(Server(foreign), 0);
    EXPECT_EQ(core.Table().RowCount(), 0u);
}

TEST_F(HandlersTest, ServerOptionsShorterThanAnAddressAreIgnored) {
    Server(DhcpPacket(2)
               .Mac(kCameraMac)
               .Yiaddr(kLocal)
               .Cookie()
               .Option(1, {255, 255})
               .Option(3, {})
               .Option(6, {1, 2, 3, 4, 5, 6, 7})  // one address and three stray bytes
               .Option(53, {})
               .MessageType(5)
               .End());
    EXPECT_EQ(RowOf(kCameraMac),
              (Cells{kKey, "192.168.0.100", "No", "0.0.0.0", "0.0.0.0", "1.2.3.4", "0.0.0.0", "", "", ""}));
    // The later message type wins.
    core.Table().Clear();
    Server(DhcpPacket(2)
               .Mac(kCameraMac)
               .Yiaddr(kLocal)
               .Cookie()
               .MessageType(5)
               .Option(1, {255, 0, 0, 0})
               .MessageType(2)
               .End());
    EXPECT_EQ(RowOf(kCameraMac)[3], "0.0.0.0");
    // A packet of 548 bytes whose last option runs past the end.
    core.Table().Clear();
    auto full = DhcpPacket(2).Mac(kCameraMac).Yiaddr(kLocal).Cookie().MessageType(5).PadTo(544).Raw({1, 4, 255, 255});
    ASSERT_EQ(full.Bytes().size(), 548u);
    Server(full);
    EXPECT_EQ(RowOf(kCameraMac)[3], "0.0.0.0");
    EXPECT_EQ(RowOf(kCameraMac)[2], "No");
}

TEST_F(HandlersTest, AcknowledgementOfAnXrmCameraArmsTheRequeryTimer) {
    Client(Discover("NV4413-0102"));
    EXPECT_EQ(core.PendingXrmCount(), 1);
    SetAssigned(Assignment::No);
    nextRandom = 1600;
    Server(Reply(5), 7);
    EXPECT_EQ(RowOf(kCameraMac)[2], "------");
    EXPECT_EQ(RowOf(kCameraMac)[1], "192.168.0.100");
    EXPECT_TRUE(timer.running);
    EXPECT_EQ(timer.lastPeriod, 1600);
    EXPECT_EQ(core.PendingXrmCount(), 1);  // this path does not count
    EXPECT_EQ(core.Table().Record(0).arrivalInterface, 7);

    broadcasts = 0;
    core.HandleRequeryTick();
    EXPECT_EQ(broadcasts, 1);
    EXPECT_EQ(timer.lastPeriod, 3200);
}

TEST_F(HandlersTest, XrmAnswersMarkRowsYesAndSettleTheCount) {
    XrmDeviceMessage message;
    message.mac = MacAddress(kCameraMac);
    message.model = "QM52X3";
    message.address = "192.168.0.77";
    core.HandleXrmDevice(message);
    EXPECT_EQ(RowOf(kCameraMac), (Cells{kKey, "192.168.0.77", "Yes", "", "", "", "", "YES", "", "YES"}));

    // A pending row: the count goes down, the timer keeps running while others are pending.
    core.Table().Clear();
    Client(Discover("NV4413-0102"));
    DhcpPacket other = DhcpPacket(1).Mac(kOtherCameraMac).Cookie().HostName("QM52X2-1").End();
    Client(other);
    EXPECT_EQ(core.PendingXrmCount(), 2);
    Server(Reply(5));
    ASSERT_TRUE(timer.running);
    message.model = "QM52X2";
    core.HandleXrmDevice(message);
    EXPECT_EQ(RowOf(kCameraMac), (Cells{kKey, "192.168.0.77", "Yes", "255.255.255.0", "192.168.0.1", "192.168.0.53",
                                        "8.8.4.4", "NO", "Tavix-11+", "YES"}));
    EXPECT_EQ(core.PendingXrmCount(), 1);
    EXPECT_TRUE(timer.running);
    // The same camera answering again: nothing pending is left for it, so the count stays.
    core.HandleXrmDevice(message);
    EXPECT_EQ(core.PendingXrmCount(), 1);

    message.mac = MacAddress(kOtherCameraMac);
    core.HandleXrmDevice(message);
    EXPECT_EQ(core.PendingXrmCount(), 0);
    EXPECT_TRUE(timer.running);  // checked before the decrement, as the window did
    message.mac = MacAddress(kCameraMac);
    core.HandleXrmDevice(message);
    EXPECT_FALSE(timer.running);
    EXPECT_FALSE(core.RequeryTimer().Armed());

    message.mac = MacAddress(kForeignMac);
    core.HandleXrmDevice(message);
    EXPECT_EQ(core.Table().RowCount(), 2u);
    // A camera heard off the subnet has no row, but the row its answer makes knows where it was heard.
    Client(DhcpPacket(1).Mac({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC7}).Ciaddr(0x0A000001).End(), 4);
    EXPECT_EQ(core.Table().RowCount(), 2u);
    // A model text shorter than six characters is not wireless.
    message.mac = MacAddress({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC7});
    message.model = "QM5";
    core.HandleXrmDevice(message);
    EXPECT_EQ(core.Table().Cell(2, kColumnWireless), "NO");
    EXPECT_EQ(core.Table().Record(2).arrivalInterface, 4);
}

TEST_F(HandlersTest, XrmAnswerWithoutAnAddressLeavesTheRowInstallable) {
    XrmDeviceMessage message;
    message.mac = MacAddress(kCameraMac);
    message.model = "QM52X2";
    message.address = "0.0.0.0";
    core.HandleXrmDevice(message);  // a new row
    EXPECT_EQ(RowOf(kCameraMac), (Cells{kKey, "0.0.0.0", "No", "", "", "", "", "NO", "", "YES"}));

    core.Table().Clear();
    Client(Discover("NV4413-0102"));  // a pending row, then a "Yes" row
    ASSERT_EQ(core.PendingXrmCount(), 1);
    core.HandleXrmDevice(message);
    EXPECT_EQ(core.Table().Cell(0, kColumnAssigned), "No");
    EXPECT_EQ(core.PendingXrmCount(), 0);  // it did answer
    message.address = "192.168.0.77";
    core.HandleXrmDevice(message);
    message.address = "0.0.0.0";
    core.HandleXrmDevice(message);
    EXPECT_EQ(core.Table().Cell(0, kColumnAddress), "0.0.0.0");
    EXPECT_EQ(core.Table().Cell(0, kColumnAssigned), "No");
}

TEST_F(HandlersTest, SearchKeepsThePendingCount) {
    Client(Discover("NV4413-0102"));
    core.Table().Clear();
    EXPECT_EQ(core.PendingXrmCount(), 1);
    // An answer for a row that is no longer listed is a new "Yes" row; the count stays.
    XrmDeviceMessage message;
    message.mac = MacAddress(kCameraMac);
    message.address = "192.168.0.5";
    core.HandleXrmDevice(message);
    EXPECT_EQ(core.PendingXrmCount(), 1);
}

TEST_F(HandlersTest, AddressLearnedFromTheCamerasOwnBroadcasts) {
    constexpr uint32_t kOther = 0xC0A80065;  // 192.168.0.101
    const auto request = [](uint32_t address, std::array<uint8_t, 6> mac = kCameraMac) {
        return DhcpPacket(1)
            .Mac(mac)
            .Cookie()
            .MessageType(3)
            .Option(50, {192, 168, 0, static_cast<uint8_t>(address)})
            .End();
    };
    const auto nak = DhcpPacket(2).Mac(kCameraMac).Cookie().MessageType(6).End();
    // ARP over Ethernet, from its header: operation, sender MAC and address, target MAC (zero) and address.
    const auto arp = [](uint8_t operation, uint32_t sender, uint32_t target, std::array<uint8_t, 6> mac = kCameraMac) {
        std::array<uint8_t, 28> bytes{0, 1, 8, 0, 6, 4, 0, operation};
        std::copy(mac.begin(), mac.end(), bytes.begin() + 8);
        for (int i = 0; i < 4; ++i) {
            bytes[14 + static_cast<size_t>(i)] = static_cast<uint8_t>(sender >> (24 - 8 * i));
            bytes[24 + static_cast<size_t>(i)] = static_cast<uint8_t>(target >> (24 - 8 * i));
        }
        return bytes;
    };
    using Step = std::function<void()>;
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::string address;  // the row's address cell
        std::string mask = "0.0.0.0";
    };
    const Case cases[] = {
        {"request", {[&] { Client(request(100)); }}, "192.168.0.100"},
        {"request then NAK", {[&] { Client(request(100)); }, [&] { Server(nak); }}, "0.0.0.0"},
        {"two requests", {[&] { Client(request(100)); }, [&] { Client(request(101)); }}, "192.168.0.101"},
        {"two requests then NAK",
         {[&] { Client(request(100)); }, [&] { Client(request(101)); }, [&] { Server(nak); }},
         "0.0.0.0"},
        {"request off the subnet",
         {[&] {
             Client(DhcpPacket(1).Mac(kCameraMac).Cookie().MessageType(3).Option(50, {10, 0, 0, 9}).End());
         }},
         "0.0.0.0"},
        {"later ACK overrides",
         {[&] { Client(request(101)); }, [&] { Server(Reply(5)); }},
         "192.168.0.100",
         "255.255.255.0"},
        {"ACK then request and ARP ignored",
         {[&] { Server(Reply(5)); }, [&] { Client(request(101)); }, [&] { core.HandleArp(arp(1, kOther, kOther), 2); }},
         "192.168.0.100",
         "255.255.255.0"},
        {"DISCOVER after an ACK learns again",
         {[&] { Server(Reply(5)); }, [&] { Client(Discover("")); }, [&] { Client(request(101)); }},
         "192.168.0.101",
         "255.255.255.0"},
        {"ARP announcement", {[&] { core.HandleArp(arp(1, kOther, kOther), 2); }}, "192.168.0.101"},
        {"ARP reply announcement", {[&] { core.HandleArp(arp(2, kOther, kOther), 2); }}, "192.168.0.101"},
        {"ARP probe", {[&] { core.HandleArp(arp(1, 0, kOther), 2); }}, "192.168.0.101"},
        {"ARP request for another host", {[&] { core.HandleArp(arp(1, kOther, kLocal), 2); }}, "0.0.0.0"},
        {"ARP announcement survives a NAK",
         {[&] { Client(request(100)); }, [&] { core.HandleArp(arp(1, kOther, kOther), 2); }, [&] { Server(nak); }},
         "192.168.0.101"},
        {"ARP cut short",
         {[&] {
             const auto bytes = arp(1, kOther, kOther);
             core.HandleArp(std::span(bytes).first(27), 2);
         }},
         "0.0.0.0"},
        {"ARP of another protocol",
         {[&] {
             auto bytes = arp(1, kOther, kOther);
             bytes[3] = 6;
             core.HandleArp(bytes, 2);
         }},
         "0.0.0.0"},
        {"camera outside the ranges",
         {[&] { Client(request(100, kForeignMac)); }, [&] { core.HandleArp(arp(1, kOther, kOther, kForeignMac), 2); }},
         "0.0.0.0"},
    };
    for (const Case& c : cases) {
        core.Table().Clear();
        Client(Discover(""));  // the row, and a new exchange
        for (const Step& step : c.steps) {
            step();
        }
        EXPECT_EQ(core.Table().RowCount(), 1u) << c.name;
        const Cells row = RowOf(kCameraMac);
        ASSERT_FALSE(row.empty()) << c.name;
        EXPECT_EQ(row[kColumnAddress], c.address) << c.name;
        EXPECT_EQ(row[kColumnSubnet], c.mask) << c.name;  // only an acknowledgement fills the settings
    }
}
