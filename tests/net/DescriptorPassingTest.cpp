#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "DescriptorPassing.h"

namespace {

TEST(DescriptorPassing, TheAttachedDescriptorArrivesWithItsPacketAndOnlyThen) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const std::vector<uint8_t> hello{'h', 'i'};
    for (const int attached : {pipeFds[0], -1}) {
        ASSERT_EQ(SendWithDescriptor(pair[0], hello, attached, MSG_NOSIGNAL), 2);
        uint8_t buffer[1];  // shorter than the packet: the truncation is reported
        const ReceivedPacket received = ReceiveWithDescriptors(pair[1], buffer, 0);
        EXPECT_EQ(received.length, 1);
        EXPECT_NE(received.flags & MSG_TRUNC, 0);
        EXPECT_EQ(received.control, attached >= 0);
        ASSERT_EQ(received.fds.size(), attached >= 0 ? 1u : 0u);
        for (const int fd : received.fds) {
            struct stat passed {
            }, original{};
            ASSERT_EQ(fstat(fd, &passed), 0);
            ASSERT_EQ(fstat(attached, &original), 0);
            EXPECT_EQ(passed.st_ino, original.st_ino);
            close(fd);
        }
    }
    for (const int fd : {pair[0], pair[1], pipeFds[0], pipeFds[1]}) {
        close(fd);
    }
}

}  // namespace
