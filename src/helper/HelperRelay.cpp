#include "HelperRelay.h"

#include "HelperChecks.h"
#include "HelperPackets.h"
#include "HelperProtocol.h"
#include "Ipv4Text.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/icmp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <utility>

namespace {

// Datagrams per recvmmsg: a storm's packets are taken in batches rather than one poll round each.
constexpr unsigned kBatch = 64;
constexpr size_t kDatagramMax = 2048;
constexpr int kSocketBuffer = 4 << 20;
constexpr size_t kMaxEchoChannels = 256;
// Echo requests through channels: an installation sends one a second; 250 at once fit the helper's rate.
constexpr double kChannelBurst = 5;
constexpr double kChannelPerSecond = 2;
constexpr double kHelperEchoBurst = 500;
constexpr double kHelperEchoPerSecond = 300;
// How long a reply is awaited: beyond the program's own 2 s wait.
constexpr int64_t kAwaitMs = 3000;
// Requests awaited per channel at most; at its rate a channel has far fewer.
constexpr size_t kMaxAwaited = 64;

int SetOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : errno;
}

// A batch of receive buffers for recvmmsg, with room for the source address and IP_PKTINFO.
struct Batch {
    std::array<std::array<uint8_t, kDatagramMax>, kBatch> data;
    std::array<sockaddr_storage, kBatch> from;
    std::array<std::array<uint8_t, CMSG_SPACE(sizeof(in_pktinfo))>, kBatch> control;
    std::array<iovec, kBatch> vectors;
    std::array<mmsghdr, kBatch> messages;

    int Receive(int fd) {
        for (unsigned i = 0; i < kBatch; ++i) {
            vectors[i] = {data[i].data(), data[i].size()};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &from[i];
            messages[i].msg_hdr.msg_namelen = sizeof from[i];
            messages[i].msg_hdr.msg_iov = &vectors[i];
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = control[i].data();
            messages[i].msg_hdr.msg_controllen = control[i].size();
        }
        return recvmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
    }
    std::span<const uint8_t> Bytes(int i) const {
        const auto& header = messages[static_cast<size_t>(i)].msg_hdr;
        if ((header.msg_flags & MSG_TRUNC) != 0) {
            return {};
        }
        return {data[static_cast<size_t>(i)].data(), messages[static_cast<size_t>(i)].msg_len};
    }
};

Batch& SharedBatch() {
    static Batch batch;
    return batch;
}

// IPv4 UDP to port, not a fragment, from a client hardware address in the camera ranges (the exact BOOTP checks
// follow in IsCameraDhcp), arriving for this host: never a copy of what the PC sends, nor another host's frame
// seen in promiscuous mode. The packet socket hands over the packet from its IP header on.
std::vector<sock_filter> DhcpFilter(uint16_t port) {
    constexpr uint32_t kPacketType = SKF_AD_OFF + SKF_AD_PKTTYPE;
    constexpr uint32_t kVlanTagged = SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT;
    // chaddr: UDP payload offset 28, after the 8-byte UDP header; bytes 2-5 compared as one word per range.
    constexpr uint32_t kChaddr = 8 + 28;
    constexpr std::array<std::pair<uint32_t, uint32_t>, 5> kRanges = {{{0xA1CC55BA, 0xA1CC55BA},
                                                                       {0xA1CC55C7, 0xA1CC55CA},
                                                                       {0xA1CDDB78, 0xA1CDDD6B},
                                                                       {0xA1CDE08C, 0xA1CE55BB},
                                                                       {0xA37CE333, 0xA37E69D2}}};
    std::vector<sock_filter> code = {
        // A VLAN frame the card untagged shows on the parent too; its copy on the VLAN's own interface counts.
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kVlanTagged),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kPacketType),
        BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, PACKET_MULTICAST, 0, 1),  // HOST 0, BROADCAST 1, MULTICAST 2
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xF0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_UDP, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x3FFF, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 2),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, port, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, kChaddr),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x025E, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, 0),
        BPF_STMT(BPF_LD | BPF_W | BPF_IND, kChaddr + 2),
    };
    // Per range, two jumps: below or above it, on to the next range (after the last, the refusal); inside, to
    // the accept at the very end.
    for (size_t i = 0; i < kRanges.size(); ++i) {
        const auto left = static_cast<uint8_t>((kRanges.size() - 1 - i) * 2);
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, kRanges[i].first, 0, 1));
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JGT | BPF_K, kRanges[i].second, 0, static_cast<uint8_t>(left + 1)));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, kDatagramMax));
    return code;
}
std::string ReadFile(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

HelperRelay::HelperRelay(HelperPrivileges& privileges, Log log, LocalAddresses local, Clock clock, Ports ports)
    : m_privileges(privileges),
      m_log(std::move(log)),
      m_local(std::move(local)),
      m_clock(std::move(clock)),
      m_readPorts(std::move(ports)),
      m_echoRate(kHelperEchoBurst, kHelperEchoPerSecond, m_clock()) {}

HelperRelay::~HelperRelay() {
    for (const Relay& relay : {m_dhcp[0], m_dhcp[1], m_arp}) {
        if (relay.socket >= 0) {
            close(relay.socket);
            close(relay.channel);
        }
    }
    for (const auto& [identifier, echo] : m_echo) {
        close(echo.channel);
    }
    if (m_icmp >= 0) {
        close(m_icmp);
    }
}

void HelperRelay::EnlargeSendBuffer(int channel) {
    // Within net.core.wmem_max (the kernel caps it): the member made this socket and may hold a copy of this end,
    // so it gets no more kernel memory than any socket of its own could have.
    SetOption(channel, SOL_SOCKET, SO_SNDBUF, kSocketBuffer);
}

int HelperRelay::StartDhcp(uint16_t port, int channel) {
    // A packet socket reads a copy of what arrives and binds no port, so that a DHCP server on this PC keeps
    // every datagram; the filter runs in the kernel, so a busy link queues nothing else.
    const std::vector<sock_filter> code = DhcpFilter(port);
    const sock_fprog program{static_cast<unsigned short>(code.size()), const_cast<sock_filter*>(code.data())};
    int fd;
    {
        RaisedCapability raised(m_privileges, HelperCapability::NetRaw);
        // Protocol 0 first: nothing is queued before the filter is attached.
        fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    }
    if (fd < 0) {
        return errno;
    }
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IP);
    int error = setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0 ? 0 : errno;
    if (error == 0) {
        int forced = EPERM;
        if (m_privileges.Holds(HelperCapability::NetAdmin)) {
            RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
            forced = SetOption(fd, SOL_SOCKET, SO_RCVBUFFORCE, kSocketBuffer);
        }
        if (forced != 0) {
            error = SetOption(fd, SOL_SOCKET, SO_RCVBUF, kSocketBuffer);
        }
    }
    if (error == 0 && bind(fd, reinterpret_cast<const sockaddr*>(&link), sizeof link) != 0) {
        error = errno;
    }
    if (error != 0) {
        close(fd);
        return error;
    }
    // The program only reads: anything it writes would fill our receive queue, so that direction is closed.
    shutdown(channel, SHUT_RD);
    EnlargeSendBuffer(channel);
    m_dhcp[port == 67 ? 0 : 1] = {fd, channel, port};
    return 0;
}

int HelperRelay::StartArp(int channel) {
    RaisedCapability raised(m_privileges, HelperCapability::NetRaw);
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ARP));
    if (fd < 0) {
        return errno;
    }
    SetOption(fd, SOL_SOCKET, SO_RCVBUF, kSocketBuffer);
    shutdown(channel, SHUT_RD);
    EnlargeSendBuffer(channel);
    m_arp = {fd, channel, 0};
    return 0;
}

int HelperRelay::OpenIcmp() {
    if (m_icmp >= 0) {
        return 0;
    }
    RaisedCapability raised(m_privileges, HelperCapability::NetRaw);
    m_icmp = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (m_icmp < 0) {
        return errno;
    }
    SetOption(m_icmp, SOL_SOCKET, SO_RCVBUF, kSocketBuffer);
    // Only echo replies and the errors that can quote an echo request reach the socket.
    const icmp_filter wanted{
        ~(1u << ICMP_ECHOREPLY | 1u << ICMP_DEST_UNREACH | 1u << ICMP_TIME_EXCEEDED | 1u << ICMP_PARAMETERPROB)};
    setsockopt(m_icmp, SOL_RAW, ICMP_FILTER, &wanted, sizeof wanted);
    return 0;
}

int HelperRelay::OpenEcho(int channel, uint16_t& identifier) {
    if (m_echo.size() >= kMaxEchoChannels) {
        return EMFILE;
    }
    if (const int error = OpenIcmp(); error != 0) {
        return error;
    }
    std::set<uint16_t> taken;
    for (const auto& [used, uids] : IcmpSockets(ReadFile("/proc/net/icmp"))) {
        taken.insert(used);
    }
    for (const auto& [open, echo] : m_echo) {
        taken.insert(open);
    }
    uint16_t start = 0;
    if (getrandom(&start, sizeof start, 0) != sizeof start) {
        return errno;
    }
    const auto picked = PickEchoIdentifier(taken, start);
    if (!picked) {
        return EMFILE;
    }
    identifier = *picked;
    EnlargeSendBuffer(channel);
    m_echo.emplace(identifier, EchoChannel{channel, RateLimit(kChannelBurst, kChannelPerSecond, m_clock()), {}});
    m_echoByChannel[channel] = identifier;
    return 0;
}

bool HelperRelay::ExpectEchoFrom(uint16_t identifier, uint32_t address, uint16_t sequence, uint32_t uid) {
    const auto found = m_echo.find(identifier);
    if (found == m_echo.end()) {
        const auto sockets = IcmpSockets(ReadFile("/proc/net/icmp"));
        const auto socket = sockets.find(identifier);
        return socket != sockets.end() && socket->second.contains(uid);
    }
    Await(found->second, address, sequence);
    return true;
}

void HelperRelay::Await(EchoChannel& echo, uint32_t address, uint16_t sequence) {
    const int64_t now = m_clock();
    std::erase_if(echo.awaited, [now](const auto& entry) { return entry.second <= now; });
    if (echo.awaited.size() >= kMaxAwaited) {
        echo.awaited.erase(std::min_element(echo.awaited.begin(), echo.awaited.end(),
                                            [](const auto& a, const auto& b) { return a.second < b.second; }));
    }
    echo.awaited[{address, sequence}] = now + kAwaitMs;
}

bool HelperRelay::TakeAwaited(EchoChannel& echo, uint32_t address, uint16_t sequence) {
    const auto found = echo.awaited.find({address, sequence});
    if (found == echo.awaited.end()) {
        return false;
    }
    const bool inTime = found->second > m_clock();
    echo.awaited.erase(found);
    return inTime;
}

std::vector<pollfd> HelperRelay::PollSet() const {
    std::vector<pollfd> set;
    for (const Relay& relay : {m_dhcp[0], m_dhcp[1], m_arp}) {
        if (relay.socket >= 0) {
            set.push_back({relay.socket, POLLIN, 0});
        }
    }
    if (m_icmp >= 0 && !m_echo.empty()) {
        set.push_back({m_icmp, POLLIN, 0});
    }
    for (const auto& [identifier, echo] : m_echo) {
        set.push_back({echo.channel, POLLIN, 0});
    }
    return set;
}

void HelperRelay::Ready(const pollfd& ready) {
    for (Relay& relay : m_dhcp) {
        if (ready.fd == relay.socket && relay.socket >= 0) {
            return ServeDhcp(relay);
        }
    }
    if (ready.fd == m_arp.socket && m_arp.socket >= 0) {
        return ServeArp();
    }
    if (ready.fd == m_icmp && m_icmp >= 0) {
        return ServeIcmp();
    }
    if (const auto found = m_echoByChannel.find(ready.fd); found != m_echoByChannel.end()) {
        ServeEchoChannel(found->second);
    }
}

bool HelperRelay::Write(int channel, std::span<const uint8_t> record) {
    while (send(channel, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
        if (errno != EINTR) {
            ++m_dropped;
            return false;
        }
    }
    return true;
}

void HelperRelay::ReportDrops() {
    if (m_dropped > 0) {
        m_log("dropped " + std::to_string(m_dropped) + " relayed packets that camera-setup did not read in time");
        m_dropped = 0;
    }
    if (m_overRate > 0) {
        // A summary itself: not worded as a refusal, so that the log never holds it back.
        m_log(std::to_string(m_overRate) + " echo requests beyond the rate were refused");
        m_overRate = 0;
    }
}

void HelperRelay::ServeDhcp(Relay& relay) {
    Batch& batch = SharedBatch();
    const int count = batch.Receive(relay.socket);
    for (int i = 0; i < count; ++i) {
        const auto udp = ReadIpv4Udp(batch.Bytes(i));
        sockaddr_ll from;
        std::memcpy(&from, &batch.from[static_cast<size_t>(i)], sizeof from);
        // The kernel's filter decided the rest; these are the checks that need the whole datagram. A bridge's or
        // bond's port sees what its master sees: only the master's copy, as a bound socket would have it.
        if (!udp || udp->destinationPort != relay.port || !IsCameraDhcp(udp->payload) ||
            from.sll_pkttype == PACKET_OUTGOING || from.sll_pkttype == PACKET_OTHERHOST || IsPort(from.sll_ifindex)) {
            continue;
        }
        RelayRecord record;
        record.kind = kRelayDhcp;
        record.interfaceIndex = static_cast<uint32_t>(from.sll_ifindex);
        record.address = udp->source;
        record.sourcePort = udp->sourcePort;
        record.destinationPort = relay.port;
        record.payload = udp->payload;
        Write(relay.channel, FormatRelayRecord(record));
    }
}

bool HelperRelay::IsPort(int index) {
    const int64_t now = m_clock();
    if (m_portsRead == 0 || now - m_portsRead >= 2000) {
        m_ports = m_readPorts ? m_readPorts() : std::set<int>{};
        m_portsRead = std::max<int64_t>(now, 1);
    }
    return m_ports.contains(index);
}

void HelperRelay::ServeArp() {
    Batch& batch = SharedBatch();
    const int count = batch.Receive(m_arp.socket);
    for (int i = 0; i < count; ++i) {
        const auto bytes = batch.Bytes(i);
        if (!IsCameraArp(bytes)) {
            continue;
        }
        sockaddr_ll from;
        std::memcpy(&from, &batch.from[static_cast<size_t>(i)], sizeof from);
        RelayRecord record;
        record.kind = kRelayArp;
        record.interfaceIndex = static_cast<uint32_t>(from.sll_ifindex);
        record.payload = bytes;
        Write(m_arp.channel, FormatRelayRecord(record));
    }
}

void HelperRelay::ServeIcmp() {
    Batch& batch = SharedBatch();
    const int count = batch.Receive(m_icmp);
    for (int i = 0; i < count; ++i) {
        const auto bytes = batch.Bytes(i);
        const auto about = ReadIcmpAbout(bytes);
        if (!about) {
            continue;
        }
        const auto found = m_echo.find(about->identifier);
        if (found == m_echo.end() || !TakeAwaited(found->second, about->peer, about->sequence)) {
            continue;
        }
        RelayRecord record;
        record.kind = kRelayIcmp;
        record.address = uint32_t{bytes[12]} << 24 | uint32_t{bytes[13]} << 16 | uint32_t{bytes[14]} << 8 | bytes[15];
        record.payload = bytes.subspan(about->icmpOffset);
        Write(found->second.channel, FormatRelayRecord(record));
    }
}

void HelperRelay::ServeEchoChannel(uint16_t identifier) {
    EchoChannel& echo = m_echo[identifier];
    std::array<uint8_t, kRelayHeaderSize + kRelayMaxEchoPayload + 1> packet;
    for (int round = 0; round < static_cast<int>(kBatch); ++round) {
        const ssize_t received = recv(echo.channel, packet.data(), packet.size(), MSG_DONTWAIT);
        if (received < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (received == 0) {
            // An empty packet reads as 0 too; only a hang-up ends the channel.
            pollfd hangUp{echo.channel, POLLIN | POLLRDHUP, 0};
            if (poll(&hangUp, 1, 0) > 0 && (hangUp.revents & (POLLHUP | POLLRDHUP)) != 0) {
                return CloseEcho(identifier);
            }
            continue;
        }
        if (received < 0) {
            return CloseEcho(identifier);
        }
        const auto record = ParseRelayRecord(std::span(packet.data(), static_cast<size_t>(received)));
        if (!record || record->kind != kRelayEchoRequest) {
            continue;
        }
        const int error = CheckEchoRequest(echo, *record);
        if (error == 0) {
            const auto icmp = BuildEchoRequest(identifier, record->sequence, record->payload);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(record->address);
            if (sendto(m_icmp, icmp.data(), icmp.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                       sizeof to) >= 0) {
                Await(echo, record->address, record->sequence);
                continue;
            }
        }
        RelayRecord refusal;
        refusal.kind = kRelayError;
        refusal.interfaceIndex = static_cast<uint32_t>(error != 0 ? error : errno);
        refusal.address = record->address;
        if (error != EBUSY) {  // those beyond the rate are counted and summed up once a second
            m_log("refused an echo request of channel " + std::to_string(identifier) + " to " +
                  FormatDottedAddress(record->address) + ": " +
                  std::strerror(static_cast<int>(refusal.interfaceIndex)));
        }
        Write(echo.channel, FormatRelayRecord(refusal));
    }
}

int HelperRelay::CheckEchoRequest(EchoChannel& echo, const RelayRecord& request) {
    if (request.payload.size() > kRelayMaxEchoPayload) {
        return EMSGSIZE;
    }
    const auto local = m_local();
    if (!local) {
        return EIO;
    }
    if (CheckEchoDestination(request.address, *local)) {
        return EACCES;
    }
    // Both buckets must have room; the channel's is asked first, so that one flooding channel does not use up
    // the helper's.
    const int64_t now = m_clock();
    if (!echo.rate.Take(now) || !m_echoRate.Take(now)) {
        ++m_overRate;
        return EBUSY;
    }
    return 0;
}

void HelperRelay::CloseEcho(uint16_t identifier) {
    const auto found = m_echo.find(identifier);
    if (found == m_echo.end()) {
        return;
    }
    m_echoByChannel.erase(found->second.channel);
    close(found->second.channel);
    m_echo.erase(found);
    m_log("echo channel " + std::to_string(identifier) + " closed");
}
