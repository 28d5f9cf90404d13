// The program's ends of the helper's channels, with the test as the helper's end of the socket pair.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "HelperEchoChannel.h"
#include "HelperProtocol.h"
#include "RelaySocket.h"
#include "StopSignal.h"

namespace {

struct Pair {
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0); }
    ~Pair() {
        if (fds[1] >= 0) {
            close(fds[1]);
        }
    }
    void Write(const std::vector<uint8_t>& packet) const {
        ASSERT_EQ(send(fds[1], packet.data(), packet.size(), 0), static_cast<ssize_t>(packet.size()));
    }
    void Write(const RelayRecord& record) const { Write(FormatRelayRecord(record)); }
    void CloseHelperEnd() {
        close(fds[1]);
        fds[1] = -1;
    }
    int fds[2] = {-1, -1};  // the program's end, the helper's end
};

RelayRecord Record(uint8_t kind, const std::vector<uint8_t>& payload) {
    RelayRecord record{};
    record.kind = kind;
    record.interfaceIndex = 5;
    record.address = 0xC0A80A32;
    record.sourcePort = 68;
    record.destinationPort = 67;
    record.payload = payload;
    return record;
}

TEST(RelaySocket, HandsOverOnlyWholeRecordsOfItsKind) {
    const std::vector<uint8_t> bootp(300, 0x01);
    const std::vector<uint8_t> arp(28, 0x02);
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> packets;  // written before the read
        size_t bufferSize;
        int result;
        size_t length;
        bool truncated;
    };
    std::vector<uint8_t> shortPacket = FormatRelayRecord(Record(1, bootp));
    shortPacket.resize(kRelayHeaderSize - 1);
    std::vector<uint8_t> unknownKind = FormatRelayRecord(Record(1, bootp));
    unknownKind[0] = 9;
    const std::vector<Case> cases{
        {"a record", {FormatRelayRecord(Record(1, bootp))}, 576, 0, 300, false},
        {"an empty payload", {FormatRelayRecord(Record(1, {}))}, 576, 0, 0, false},
        {"larger than the buffer", {FormatRelayRecord(Record(1, bootp))}, 100, 0, 100, true},
        {"shorter than a header, then a record",
         {shortPacket, FormatRelayRecord(Record(1, bootp))},
         576,
         0,
         300,
         false},
        {"unknown kind, other kind, then a record",
         {unknownKind, FormatRelayRecord(Record(2, arp)), FormatRelayRecord(Record(1, bootp))},
         576,
         0,
         300,
         false},
        {"nothing waiting", {}, 576, EAGAIN, 0, false},
        {"only records of other kinds", {unknownKind, FormatRelayRecord(Record(2, arp))}, 576, EAGAIN, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair;
        RelaySocket socket(pair.fds[0], 1);
        for (const auto& packet : c.packets) {
            pair.Write(packet);
        }
        std::vector<uint8_t> buffer(c.bufferSize, 0xEE);
        DatagramSource::Datagram datagram;
        ASSERT_EQ(socket.Receive(buffer, &datagram), c.result);
        if (c.result != 0) {
            continue;
        }
        EXPECT_EQ(datagram.length, c.length);
        EXPECT_EQ(datagram.truncated, c.truncated);
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(c.length)),
                  std::vector<uint8_t>(bootp.begin(), bootp.begin() + static_cast<long>(c.length)));
        EXPECT_EQ(datagram.sourceAddress, 0xC0A80A32u);
        EXPECT_EQ(datagram.sourcePort, 68);
        EXPECT_EQ(datagram.interface, 5);
        EXPECT_EQ(socket.Receive(buffer, &datagram), EAGAIN);  // one record, one datagram
    }
}

TEST(RelaySocket, EndsWhenTheHelperDoes) {
    Pair pair;
    RelaySocket socket(pair.fds[0], 2);
    const std::vector<uint8_t> arp(28, 0x02);
    pair.Write(Record(2, arp));
    pair.CloseHelperEnd();
    std::vector<uint8_t> buffer(64);
    DatagramSource::Datagram datagram;
    EXPECT_EQ(socket.Receive(buffer, &datagram), 0);  // what was relayed before still arrives
    EXPECT_EQ(datagram.length, arp.size());
    EXPECT_EQ(socket.Receive(buffer, &datagram), EPIPE);
}

TEST(HelperEchoChannel, RequestsGoAsRecordsThatKeepTheBytesOnTheWire) {
    Pair pair;
    HelperEchoChannel channel(pair.fds[0], 0x1234);
    EXPECT_FALSE(channel.DeliversIpHeader());
    EXPECT_EQ(channel.ReplyIdentifier(), 0x1234);
    EXPECT_EQ(HelperEchoChannel::WireIdentifier(0x1234), 0x3412);
    // Identifier and sequence little-endian, as the installation writes them.
    const std::vector<uint8_t> message{8, 0, 0xAB, 0xCD, 0x34, 0x12, 0x07, 0x00, 'p', 'a', 'y'};
    const EchoChannel::Result sent = channel.Send(0x0A000005, message);
    ASSERT_EQ(sent.status, EchoChannel::Status::Ok);
    EXPECT_EQ(sent.bytes, message.size());
    std::vector<uint8_t> packet(256);
    const ssize_t length = recv(pair.fds[1], packet.data(), packet.size(), 0);
    ASSERT_GT(length, 0);
    const std::optional<RelayRecord> record =
        ParseRelayRecord(std::span<const uint8_t>(packet.data(), static_cast<size_t>(length)));
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->kind, 4);
    EXPECT_EQ(record->sequence, 0x0700);  // sent in network order by the helper: the same two bytes
    EXPECT_EQ(record->address, 0x0A000005u);
    EXPECT_EQ(std::string(record->payload.begin(), record->payload.end()), "pay");

    pair.CloseHelperEnd();
    EXPECT_EQ(channel.Send(0x0A000005, message).status, EchoChannel::Status::Error);
}

TEST(HelperEchoChannel, ReceivesIcmpMessagesAndReportsErrors) {
    const std::vector<uint8_t> reply{0, 0, 0x11, 0x22, 0x34, 0x12, 0x07, 0x00, 'p', 'a', 'y'};
    struct Case {
        const char* name;
        std::vector<RelayRecord> records;
        EchoChannel::Status status;
        int error;
    };
    RelayRecord icmp = Record(3, reply);
    icmp.address = 0x0A000005;
    const std::vector<uint8_t> none;
    const std::vector<uint8_t> bootp{1, 2, 3};
    RelayRecord failure = Record(5, none);
    failure.interfaceIndex = EHOSTUNREACH;
    const std::vector<Case> cases{
        {"an echo reply", {icmp}, EchoChannel::Status::Ok, 0},
        {"a record of another kind first", {Record(1, bootp), icmp}, EchoChannel::Status::Ok, 0},
        {"a refused destination", {failure}, EchoChannel::Status::SendFailed, EHOSTUNREACH},
        {"nothing", {}, EchoChannel::Status::TimedOut, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair;
        HelperEchoChannel channel(pair.fds[0], 0x1234);
        for (const RelayRecord& record : c.records) {
            pair.Write(record);
        }
        std::vector<uint8_t> buffer(1024);
        uint32_t sender = 0;
        const EchoChannel::Result received = channel.Receive(buffer, sender, 50);
        EXPECT_EQ(received.status, c.status);
        if (c.status == EchoChannel::Status::SendFailed) {
            EXPECT_EQ(received.error, c.error);
        }
        if (c.status == EchoChannel::Status::Ok) {
            EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(received.bytes)), reply);
            EXPECT_EQ(sender, 0x0A000005u);
        }
    }
}

TEST(HelperEchoChannel, StopAndTheHelperEndingEndTheWait) {
    Pair pair;
    HelperEchoChannel channel(pair.fds[0], 1);
    StopSignal stop;
    channel.InterruptOn(stop);
    stop.Request();
    std::vector<uint8_t> buffer(64);
    uint32_t sender = 0;
    EXPECT_EQ(channel.Receive(buffer, sender, 60'000).status, EchoChannel::Status::TimedOut);

    Pair ended;
    HelperEchoChannel orphan(ended.fds[0], 1);
    ended.CloseHelperEnd();
    const EchoChannel::Result result = orphan.Receive(buffer, sender, 60'000);
    EXPECT_EQ(result.status, EchoChannel::Status::Error);
    EXPECT_EQ(result.error, EPIPE);
}

}  // namespace
