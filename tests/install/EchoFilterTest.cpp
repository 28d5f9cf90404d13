#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "EchoChannel.h"
#include "EchoRequest.h"

namespace {

// Needs a raw socket (root or CAP_NET_RAW); sends only to 127.0.0.1.
TEST(EchoFilter, RawSocketGetsOnlyItsOwnEchoReplies) {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        GTEST_SKIP() << "no raw ICMP socket for this user";
    }
    constexpr uint16_t kOwn = 0x12AB;
    ASSERT_TRUE(IcmpEchoChannel::PassOnlyEchoReplies(fd, kOwn));
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Another installation's request and reply, and our own request, all pass this socket on loopback.
    for (const uint16_t identifier : {uint16_t{0xAB12}, kOwn}) {
        EchoRequest request(identifier);
        request.Prepare(7, 0);
        ASSERT_EQ(sendto(fd, request.Bytes().data(), request.Bytes().size(), 0,
                         reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback),
                  static_cast<ssize_t>(EchoRequest::kSize));
    }
    std::vector<std::vector<uint8_t>> received;
    pollfd ready{fd, POLLIN, 0};
    while (poll(&ready, 1, 300) == 1) {
        std::vector<uint8_t> packet(1500);
        const ssize_t n = recv(fd, packet.data(), packet.size(), 0);
        ASSERT_GE(n, 0);
        packet.resize(static_cast<size_t>(n));
        received.push_back(packet);
    }
    close(fd);
    ASSERT_EQ(received.size(), 1u);
    const size_t header = (received[0][0] & 0x0F) * 4u;
    ASSERT_GE(received[0].size(), header + 8);
    EXPECT_EQ(received[0][header], 0);  // echo reply
    EXPECT_EQ(received[0][header + 4] | (received[0][header + 5] << 8), kOwn);
}

}  // namespace
