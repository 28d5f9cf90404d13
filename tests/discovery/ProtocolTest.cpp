#include "CommandQueue.h"
#include "DhcpOptionWalk.h"
#include "DhcpPacket.h"
#include "XrmProtocol.h"
#include "XrmRequeryTimer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

std::vector<std::pair<uint8_t, std::vector<uint8_t>>> Walk(const std::vector<uint8_t>& bytes) {
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> options;
    DhcpOptionWalk walk(bytes);
    while (auto option = walk.Next()) {
        options.emplace_back(option->code, std::vector<uint8_t>(option->data.begin(), option->data.end()));
        if (options.size() > 600) {
            break;  // a walk that never ends
        }
    }
    return options;
}

}  // namespace

TEST(DhcpOptionWalk, FindsTheCookieAtEachPlaceAndSkipsPads) {
    const auto plain = DhcpPacket().Cookie().Raw({0, 0}).Option(53, {5}).Option(1, {255, 255, 0, 0}).End().Bytes();
    const auto options = Walk(plain);
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0].first, 53);
    EXPECT_EQ(options[1].second, (std::vector<uint8_t>{255, 255, 0, 0}));

    for (size_t offset : {44u, 108u}) {
        std::vector<uint8_t> bytes = DhcpPacket().Bytes();
        bytes.resize(offset);
        bytes.insert(bytes.end(), {99, 130, 83, 99, 12, 1, 'x', 255});
        const auto found = Walk(bytes);
        ASSERT_EQ(found.size(), 1u) << offset;
        EXPECT_EQ(found[0].first, 12);
    }

    DhcpOptionWalk walk(plain);
    EXPECT_TRUE(walk.Next());
    EXPECT_TRUE(walk.Next());
    EXPECT_FALSE(walk.Next());
    EXPECT_FALSE(walk.Next());
    walk.Reset();
    EXPECT_TRUE(walk.Next());
}

TEST(DhcpOptionWalk, MalformedPacketsEndTheWalkInsideTheDatagram) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t options;
    } cases[] = {
        {"no cookie", DhcpPacket().Raw({1, 2, 3, 4, 12, 1, 'x'}).Bytes(), 0},
        {"op without low bits", DhcpPacket(4).Cookie().HostName("x").Bytes(), 0},
        {"empty datagram", {}, 0},
        {"cookie cut short",
         [] {
             auto b = DhcpPacket().Bytes();
             b.insert(b.end(), {99, 130, 83});
             return b;
         }(),
         0},
        {"no end option", DhcpPacket().Cookie().HostName("abc").Bytes(), 1},
        {"length byte missing", DhcpPacket().Cookie().HostName("a").Raw({12}).Bytes(), 1},
        {"length past the end", DhcpPacket().Cookie().HostName("a").Raw({12, 9, 'a', 'b'}).Bytes(), 1},
        {"only pads", DhcpPacket().Cookie().Raw({0, 0, 0}).Bytes(), 0},
        {"548 bytes of options", DhcpPacket().Cookie().PadTo(546).Raw({3, 0}).Bytes(), 1},
        {"548 bytes, last option cut", DhcpPacket().Cookie().PadTo(545).Raw({3, 4, 1}).Bytes(), 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Walk(c.bytes).size(), c.options) << c.name;
    }
}

TEST(XrmProtocol, QueryIsFiveBytesWithTheIdentifierLeastSignificantFirst) {
    std::array<uint8_t, kXrmMaxDatagram> buffer{};
    XrmAnswer query;
    query.type = kXrmQuery;
    query.identifier = 0x11223344;
    ASSERT_EQ(BuildXrmDatagram(buffer, query), 5u);
    EXPECT_EQ((std::vector<uint8_t>(buffer.begin(), buffer.begin() + 5)),
              (std::vector<uint8_t>{1, 0x44, 0x33, 0x22, 0x11}));
    query.type = kXrmAcknowledgement;
    EXPECT_EQ(BuildXrmDatagram(buffer, query), 5u);
    EXPECT_EQ(buffer[0], 3);
    EXPECT_FALSE(BuildXrmDatagram(std::span<uint8_t>(buffer.data(), 4), query));
    query.type = 7;
    EXPECT_FALSE(BuildXrmDatagram(buffer, query));
}

TEST(XrmProtocol, RecordsRoundTripAndTextsAreCutTo40) {
    XrmAnswer record;
    record.type = kXrmRecordAlt1;
    record.identifier = 0xDEADBEEF;
    record.model = std::string(50, 'M');
    record.mac = {0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA};
    record.secondText = "v2";
    record.value = 0x01020304;
    std::array<uint8_t, kXrmMaxDatagram> buffer{};
    const auto length = BuildXrmDatagram(buffer, record);
    ASSERT_EQ(length, 5u + 52 + 8 + 4 + 6);
    const auto parsed = ParseXrmDatagram(std::span<const uint8_t>(buffer.data(), *length));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->identifier, 0xDEADBEEF);
    EXPECT_EQ(parsed->model, std::string(40, 'M'));
    EXPECT_EQ(parsed->mac, record.mac);
    EXPECT_EQ(parsed->secondText, "v2");
    EXPECT_EQ(parsed->value, 0x01020304u);

    // The next option must fit: a model text fills most of a small buffer.
    EXPECT_FALSE(BuildXrmDatagram(std::span<uint8_t>(buffer.data(), 60), record));
    // Texts of 255 bytes are left out, not cut.
    record.model = std::string(255, 'x');
    std::array<uint8_t, 400> big{};
    EXPECT_EQ(BuildXrmDatagram(big, record), 5u + 8 + 4 + 6);
}

TEST(XrmProtocol, ParserRejectsMalformedAnswers) {
    const std::vector<uint8_t> head{2, 1, 0, 0, 0};
    auto with = [&](std::vector<uint8_t> tail) {
        std::vector<uint8_t> bytes = head;
        bytes.insert(bytes.end(), tail.begin(), tail.end());
        return bytes;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool ok;
    } cases[] = {
        {"header only", head, true},
        {"four bytes", {2, 1, 0, 0}, false},
        {"address", with({3, 4, 10, 0, 0, 1}), true},
        {"two trailing bytes", with({3, 4, 10, 0, 0, 1, 9, 9}), false},
        {"one trailing byte", with({3, 4, 10, 0, 0, 1, 9}), false},
        {"unknown code", with({6, 1, 0}), false},
        {"code zero", with({0, 1, 0}), false},
        {"empty model", with({1, 0, 0}), false},
        {"empty second text", with({4, 0, 0}), false},
        {"short mac", with({2, 5, 1, 2, 3, 4, 5}), false},
        {"long address", with({3, 5, 1, 2, 3, 4, 5}), false},
        {"short value", with({5, 3, 1, 2, 3}), false},
        {"length past end", with({1, 10, 'a', 'b', 'c'}), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseXrmDatagram(c.bytes).has_value(), c.ok) << c.name;
    }
    const auto parsed = ParseXrmDatagram(with({3, 4, 10, 0, 0, 1}));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->address, (std::array<uint8_t, 4>{10, 0, 0, 1}));
    EXPECT_EQ(parsed->identifier, 1u);
}

TEST(CommandQueue, HoldsTenCommandsInOrder) {
    CommandQueue queue;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(queue.Put(static_cast<uint32_t>(i + 1)), 0);
    }
    EXPECT_EQ(queue.Put(CommandQueue::kBroadcast), -2);
    for (int round = 0; round < 3; ++round) {  // wraps the ring
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(queue.Take(std::chrono::milliseconds(0)), static_cast<uint32_t>(i + 1));
            EXPECT_EQ(queue.Put(static_cast<uint32_t>(i + 1)), 0);
        }
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(queue.Take(std::chrono::milliseconds(0)));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(queue.Take(std::chrono::milliseconds(20)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
}

namespace {
struct FakeTimer : RequeryTimerControl {
    void StartTimer(int periodMs) override {
        running = true;
        starts.push_back(periodMs);
    }
    void StopTimer() override { running = false; }
    bool running = false;
    std::vector<int> starts;
};
}  // namespace

TEST(XrmRequeryTimer, DoublesElevenTimesThenDisarms) {
    FakeTimer timer;
    std::mutex lock;
    XrmRequeryTimer requery(timer, lock);
    requery.Arm(1600);  // 1500 + 1600 % 1500
    EXPECT_TRUE(requery.Armed());
    EXPECT_EQ(requery.PeriodMs(), 1600);
    requery.Arm(0);  // already armed: the period changes, the timer is not restarted
    EXPECT_EQ(requery.PeriodMs(), 1500);
    EXPECT_EQ(timer.starts, std::vector<int>{1600});

    int broadcasts = 0;
    for (int i = 0; i < 11; ++i) {
        EXPECT_TRUE(requery.Armed()) << i;
        requery.Tick([&] { ++broadcasts; });
    }
    EXPECT_EQ(broadcasts, 11);
    EXPECT_FALSE(requery.Armed());
    EXPECT_FALSE(timer.running);
    EXPECT_EQ(requery.TickCount(), 0);
    ASSERT_EQ(timer.starts.size(), 12u);
    EXPECT_EQ(timer.starts[1], 3000);
    EXPECT_EQ(timer.starts[11], 1500 << 11);
    EXPECT_EQ(requery.PeriodMs(), 1500 << 11);  // the period is not reset; the next Arm sets it
}
