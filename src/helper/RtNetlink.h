#pragma once

#include <linux/netlink.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

// rtnetlink requests and the walk over the kernel's replies. Replies are read by offsets checked against what was
// received: a message or attribute whose length runs past its container ends the walk.

// One request message built attribute by attribute.
class NetlinkRequest {
  public:
    template <typename Body>
    Body* Start(uint16_t type, uint16_t flags) {
        nlmsghdr* header = Header();
        header->nlmsg_len = NLMSG_LENGTH(sizeof(Body));
        header->nlmsg_type = type;
        header->nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
        return reinterpret_cast<Body*>(NLMSG_DATA(header));
    }
    // False (nothing added) when the attribute would not fit.
    bool Attribute(uint16_t type, const void* data, size_t size);

    nlmsghdr* Header() { return reinterpret_cast<nlmsghdr*>(m_bytes); }
    std::span<const uint8_t> Bytes() const { return {m_bytes, reinterpret_cast<const nlmsghdr*>(m_bytes)->nlmsg_len}; }

  private:
    alignas(NLMSG_ALIGNTO) uint8_t m_bytes[256] = {};
};

// A NETLINK_ROUTE socket with a receive time-out; -1 (errno set) on failure. The kernel checks the capabilities of
// the socket's opener as well as of the sender, so a socket for changes is opened with CAP_NET_ADMIN raised.
int NetlinkOpen();
// From now on every exchange uses fd (never closed here) instead of a socket of its own.
void NetlinkKeepSocket(int fd);

// Sends a change request with NLM_F_ACK and waits for the acknowledgement. Returns 0 or the kernel's errno.
int NetlinkTransact(NetlinkRequest& request);

// Sends a dump request (NLM_F_DUMP is added) and calls visit with the type and payload (the bytes after the
// message header) of every message until the dump ends. Returns 0 or an errno value; EAGAIN when the kernel
// reports that the table changed during the dump.
int NetlinkDump(NetlinkRequest& request, const std::function<void(uint16_t type, std::span<const uint8_t>)>& visit);

// Calls visit with the type and data of each attribute in bytes (a run of rtattr).
void ForEachAttribute(std::span<const uint8_t> bytes,
                      const std::function<void(uint16_t type, std::span<const uint8_t> data)>& visit);
