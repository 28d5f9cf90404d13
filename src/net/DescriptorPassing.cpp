#include "DescriptorPassing.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

ssize_t SendWithDescriptor(int socket, std::span<const uint8_t> bytes, int fd, int flags) {
    iovec outgoing{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr message{};
    message.msg_iov = &outgoing;
    message.msg_iovlen = 1;
    alignas(cmsghdr) uint8_t attached[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        message.msg_control = attached;
        message.msg_controllen = sizeof attached;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    return sendmsg(socket, &message, flags);
}

ReceivedPacket ReceiveWithDescriptors(int socket, std::span<uint8_t> buffer, int flags) {
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(int) * kMaxPassedDescriptors)];
    iovec vector{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ReceivedPacket received;
    do {
        received.length = recvmsg(socket, &message, flags | MSG_CMSG_CLOEXEC);
    } while (received.length < 0 && errno == EINTR);
    if (received.length < 0) {
        return received;
    }
    received.flags = message.msg_flags;
    received.control = message.msg_controllen > 0 || (message.msg_flags & MSG_CTRUNC) != 0;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS || header->cmsg_len < CMSG_LEN(0)) {
            continue;
        }
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(header) + i * sizeof(int), sizeof passed);
            received.fds.push_back(passed);
        }
    }
    return received;
}
