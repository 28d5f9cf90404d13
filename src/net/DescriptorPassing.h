#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Descriptors passed with a packet over an AF_UNIX socket (SCM_RIGHTS), the way the program and its helper hand
// each other channel ends.

// Sends `bytes` as one packet, with `fd` attached unless it is negative; sendmsg's result, errno as it left it.
ssize_t SendWithDescriptor(int socket, std::span<const uint8_t> bytes, int fd, int flags);

// The most descriptors one received packet keeps; the kernel discards any beyond the control buffer.
inline constexpr size_t kMaxPassedDescriptors = 8;

struct ReceivedPacket {
    ssize_t length = -1;   // recvmsg's result; errno as it left it when negative
    int flags = 0;         // msg_flags: MSG_TRUNC, MSG_CTRUNC
    bool control = false;  // some control message came, descriptors or not
    std::vector<int> fds;  // close-on-exec; they belong to the caller
};

// Receives one packet into `buffer`; EINTR is retried.
ReceivedPacket ReceiveWithDescriptors(int socket, std::span<uint8_t> buffer, int flags);
