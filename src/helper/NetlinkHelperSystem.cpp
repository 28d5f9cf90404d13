#include "NetlinkHelperSystem.h"

#include "HelperLiveness.h"
#include "HelperPackets.h"
#include "RtNetlink.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/fib_rules.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/neighbour.h>
#include <linux/nexthop.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <set>

namespace {

std::optional<uint32_t> AddressOf(std::span<const uint8_t> data) {
    if (data.size() != 4) {
        return std::nullopt;
    }
    uint32_t networkOrder;
    std::memcpy(&networkOrder, data.data(), sizeof networkOrder);
    return ntohl(networkOrder);
}

// An IPv4 RTA_VIA (struct rtvia: a 16-bit family, then the address).
std::optional<uint32_t> ViaAddress(std::span<const uint8_t> data) {
    if (data.size() != 2 + 4) {
        return std::nullopt;
    }
    uint16_t family;
    std::memcpy(&family, data.data(), sizeof family);
    return family == AF_INET ? AddressOf(data.subspan(2)) : std::nullopt;
}

// The gateways among one route's or next hop's attributes.
void GatewayOf(uint16_t type, std::span<const uint8_t> data, std::vector<uint32_t>& gateways) {
    std::optional<uint32_t> gateway;
    if (type == RTA_GATEWAY) {
        gateway = AddressOf(data);
    } else if (type == RTA_VIA) {
        gateway = ViaAddress(data);
    }
    if (gateway) {
        gateways.push_back(*gateway);
    }
}

// The payload's fixed header and the attributes after it; nothing when the payload is too short.
template <typename Body>
std::optional<Body> Split(std::span<const uint8_t> payload, std::span<const uint8_t>& attributes) {
    if (payload.size() < NLMSG_ALIGN(sizeof(Body))) {
        return std::nullopt;
    }
    Body body;
    std::memcpy(&body, payload.data(), sizeof body);
    attributes = payload.subspan(NLMSG_ALIGN(sizeof(Body)));
    return body;
}

// The gateways of the next hops of a multipath route (a run of rtnexthop, each followed by its attributes).
void MultipathGateways(std::span<const uint8_t> bytes, std::vector<uint32_t>& gateways) {
    for (size_t offset = 0; offset + sizeof(rtnexthop) <= bytes.size();) {
        rtnexthop hop;
        std::memcpy(&hop, bytes.data() + offset, sizeof hop);
        if (hop.rtnh_len < sizeof(rtnexthop) || hop.rtnh_len > bytes.size() - offset) {
            return;
        }
        const size_t header = RTNH_ALIGN(sizeof(rtnexthop));
        if (hop.rtnh_len > header) {
            ForEachAttribute(bytes.subspan(offset + header, hop.rtnh_len - header),
                             [&](uint16_t type, std::span<const uint8_t> data) { GatewayOf(type, data, gateways); });
        }
        offset += RTNH_ALIGN(hop.rtnh_len);
    }
}

uint32_t TableOf(const rtmsg& route, std::span<const uint8_t> attributes) {
    uint32_t table = route.rtm_table;
    ForEachAttribute(attributes, [&](uint16_t type, std::span<const uint8_t> data) {
        if (type == RTA_TABLE && data.size() == 4) {
            std::memcpy(&table, data.data(), sizeof table);
        }
    });
    return table;
}

int Route(uint16_t type, uint16_t flags, uint32_t table, int index, uint32_t address, uint8_t dstLength = 32,
          uint32_t metric = 0) {
    NetlinkRequest request;
    auto* body = request.Start<rtmsg>(type, flags);
    body->rtm_family = AF_INET;
    body->rtm_dst_len = dstLength;
    body->rtm_table = table < 256 ? static_cast<uint8_t>(table) : static_cast<uint8_t>(RT_TABLE_UNSPEC);
    body->rtm_protocol = kHelperProtocolTag;
    if (type == RTM_DELROUTE) {
        body->rtm_scope = RT_SCOPE_NOWHERE;
    } else {
        body->rtm_scope = index != 0 ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
        body->rtm_type = index != 0 ? RTN_UNICAST : RTN_BLACKHOLE;
    }
    request.Attribute(RTA_TABLE, &table, sizeof table);
    const uint32_t destination = htonl(address);
    if (dstLength > 0) {
        request.Attribute(RTA_DST, &destination, sizeof destination);
    }
    if (index != 0) {
        const uint32_t oif = static_cast<uint32_t>(index);
        request.Attribute(RTA_OIF, &oif, sizeof oif);
    }
    if (metric != 0) {
        request.Attribute(RTA_PRIORITY, &metric, sizeof metric);
    }
    return NetlinkTransact(request);
}

int UidRule(uint16_t type, uint16_t flags, uint32_t uid, uint32_t table, uint32_t priority) {
    NetlinkRequest request;
    auto* body = request.Start<fib_rule_hdr>(type, flags);
    body->family = AF_INET;
    body->action = FR_ACT_TO_TBL;
    request.Attribute(FRA_TABLE, &table, sizeof table);
    request.Attribute(FRA_PRIORITY, &priority, sizeof priority);
    const fib_rule_uid_range range{uid, uid};
    request.Attribute(FRA_UID_RANGE, &range, sizeof range);
    const uint8_t protocol = kHelperProtocolTag;
    request.Attribute(FRA_PROTOCOL, &protocol, sizeof protocol);
    return NetlinkTransact(request);
}

struct TaggedRoute {
    uint32_t table = 0;
    uint32_t address = 0;
    uint8_t length = 0;
    int index = 0;
    uint32_t metric = 0;
};

std::optional<std::vector<TaggedRoute>> DumpTaggedRoutes() {
    NetlinkRequest request;
    request.Start<rtmsg>(RTM_GETROUTE, 0)->rtm_family = AF_INET;
    std::vector<TaggedRoute> found;
    const int error = NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto route = Split<rtmsg>(payload, attributes);
        if (type != RTM_NEWROUTE || !route || route->rtm_family != AF_INET ||
            route->rtm_protocol != kHelperProtocolTag) {
            return;
        }
        TaggedRoute tagged;
        tagged.table = TableOf(*route, attributes);
        tagged.length = route->rtm_dst_len;
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == RTA_DST) {
                tagged.address = AddressOf(data).value_or(0);
            } else if (attribute == RTA_OIF && data.size() == 4) {
                std::memcpy(&tagged.index, data.data(), sizeof tagged.index);
            } else if (attribute == RTA_PRIORITY && data.size() == 4) {
                std::memcpy(&tagged.metric, data.data(), sizeof tagged.metric);
            }
        });
        found.push_back(tagged);
    });
    if (error != 0) {
        return std::nullopt;
    }
    return found;
}

struct TaggedRule {
    uint32_t table = 0;
    uint32_t priority = 0;
    std::optional<uint32_t> uid;  // of a rule for one uid
};

std::optional<std::vector<TaggedRule>> DumpTaggedRules() {
    NetlinkRequest request;
    request.Start<fib_rule_hdr>(RTM_GETRULE, 0)->family = AF_INET;
    std::vector<TaggedRule> rules;
    const int error = NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto header = Split<fib_rule_hdr>(payload, attributes);
        if (type != RTM_NEWRULE || !header) {
            return;
        }
        TaggedRule rule;
        rule.table = header->table;
        bool tagged = false;
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == FRA_PROTOCOL && data.size() == 1) {
                tagged = data[0] == kHelperProtocolTag;
            } else if (attribute == FRA_TABLE && data.size() == 4) {
                std::memcpy(&rule.table, data.data(), 4);
            } else if (attribute == FRA_PRIORITY && data.size() == 4) {
                std::memcpy(&rule.priority, data.data(), 4);
            } else if (attribute == FRA_UID_RANGE && data.size() == sizeof(fib_rule_uid_range)) {
                fib_rule_uid_range range;
                std::memcpy(&range, data.data(), sizeof range);
                if (range.start == range.end) {
                    rule.uid = range.start;
                }
            }
        });
        if (tagged) {
            rules.push_back(rule);
        }
    });
    if (error != 0) {
        return std::nullopt;
    }
    return rules;
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

NetlinkHelperSystem::~NetlinkHelperSystem() {
    for (const auto& [fd, probe] : m_probes) {
        close(fd);
    }
    if (m_frames >= 0) {
        close(m_frames);
    }
}

std::optional<HelperInterface> NetlinkHelperSystem::Interface(int index) {
    ifreq request{};
    if (index <= 0 || if_indextoname(static_cast<unsigned>(index), request.ifr_name) == nullptr) {
        return std::nullopt;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<HelperInterface> facts;
    ifreq hardware = request;
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0 && ioctl(fd, SIOCGIFHWADDR, &hardware) == 0) {
        facts = HelperInterface{(request.ifr_flags & IFF_UP) != 0, hardware.ifr_hwaddr.sa_family == ARPHRD_ETHER};
    }
    close(fd);
    return facts;
}

std::set<int> NetlinkHelperSystem::Ports() {
    NetlinkRequest request;
    request.Start<ifinfomsg>(RTM_GETLINK, 0)->ifi_family = AF_UNSPEC;
    std::set<int> ports;
    NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto link = Split<ifinfomsg>(payload, attributes);
        if (type != RTM_NEWLINK || !link) {
            return;
        }
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == IFLA_MASTER && data.size() == 4) {
                ports.insert(link->ifi_index);
            }
        });
    });
    return ports;
}

std::optional<std::vector<HelperLocalAddress>> NetlinkHelperSystem::LocalAddresses() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return std::nullopt;
    }
    std::vector<HelperLocalAddress> addresses;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        HelperLocalAddress local;
        local.address = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
        if (entry->ifa_netmask != nullptr) {
            local.prefixLength =
                std::popcount(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
        }
        local.interfaceIndex = static_cast<int>(if_nametoindex(entry->ifa_name));
        addresses.push_back(local);
    }
    freeifaddrs(list);
    return addresses;
}

std::optional<std::vector<uint32_t>> NetlinkHelperSystem::Gateways() {
    NetlinkRequest request;
    request.Start<rtmsg>(RTM_GETROUTE, 0)->rtm_family = AF_INET;
    std::vector<uint32_t> gateways;
    int error = NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto route = Split<rtmsg>(payload, attributes);
        if (type != RTM_NEWROUTE || !route || route->rtm_family != AF_INET) {
            return;
        }
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == RTA_MULTIPATH) {
                MultipathGateways(data, gateways);
            } else {
                GatewayOf(attribute, data, gateways);
            }
        });
    });
    if (error != 0) {
        return std::nullopt;
    }
    // Routes that name a nexthop object (RTA_NH_ID) carry no gateway of their own: the objects hold them.
    NetlinkRequest objects;
    objects.Start<nhmsg>(RTM_GETNEXTHOP, 0)->nh_family = AF_UNSPEC;
    error = NetlinkDump(objects, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto object = Split<nhmsg>(payload, attributes);
        if (type != RTM_NEWNEXTHOP || !object || object->nh_family != AF_INET) {
            return;
        }
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == NHA_GATEWAY) {
                if (const auto gateway = AddressOf(data)) {
                    gateways.push_back(*gateway);
                }
            }
        });
    });
    // Kernels without nexthop objects refuse the dump; they have none to read.
    if (error != 0 && error != EOPNOTSUPP && error != EINVAL) {
        return std::nullopt;
    }
    return gateways;
}

std::optional<std::vector<HelperNeighbour>> NetlinkHelperSystem::Neighbours(uint32_t address) {
    NetlinkRequest request;
    request.Start<ndmsg>(RTM_GETNEIGH, 0)->ndm_family = AF_INET;
    std::vector<HelperNeighbour> found;
    const int error = NetlinkDump(request, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto body = Split<ndmsg>(payload, attributes);
        if (type != RTM_NEWNEIGH || !body || body->ndm_family != AF_INET) {
            return;
        }
        HelperNeighbour entry;
        entry.interfaceIndex = body->ndm_ifindex;
        entry.state = body->ndm_state;
        entry.flags = body->ndm_flags;
        bool matches = false;
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == NDA_DST) {
                matches = AddressOf(data) == address;
            } else if (attribute == NDA_LLADDR) {
                entry.lladdr = MacAddress::FromBytes(data);
            } else if (attribute == NDA_PROTOCOL && data.size() == 1) {
                entry.protocol = data[0];
            } else if (attribute == NDA_FLAGS_EXT && data.size() == 4) {
                std::memcpy(&entry.extFlags, data.data(), 4);
            }
        });
        if (matches) {
            found.push_back(entry);
        }
    });
    if (error != 0) {
        return std::nullopt;
    }
    return found;
}

int NetlinkHelperSystem::DeleteNeighbour(int index, uint32_t address) {
    NetlinkRequest request;
    auto* body = request.Start<ndmsg>(RTM_DELNEIGH, 0);
    body->ndm_family = AF_INET;
    body->ndm_ifindex = index;
    const uint32_t destination = htonl(address);
    request.Attribute(NDA_DST, &destination, sizeof destination);
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    return NetlinkTransact(request);
}

std::optional<size_t> NetlinkHelperSystem::TaggedRoutes(uint32_t table) {
    const auto routes = DumpTaggedRoutes();
    if (!routes) {
        return std::nullopt;
    }
    return static_cast<size_t>(
        std::count_if(routes->begin(), routes->end(), [table](const TaggedRoute& r) { return r.table == table; }));
}

std::optional<std::vector<HelperRegistration>> NetlinkHelperSystem::Registrations() {
    const auto routes = DumpTaggedRoutes();
    if (!routes) {
        return std::nullopt;
    }
    std::map<uint32_t, uint32_t> users;  // token -> uid
    for (const TaggedRoute& route : *routes) {
        if (route.table == kHelperOwnerTable) {
            users[route.metric] = route.address;
        }
    }
    std::vector<HelperRegistration> entries;
    for (const TaggedRoute& route : *routes) {
        if (route.table != kHelperRegisterTable) {
            continue;
        }
        HelperRegistration entry;
        entry.address = route.address;
        entry.owner = route.metric;
        entry.mine = route.metric == m_token;
        if (const auto user = users.find(route.metric); user != users.end()) {
            entry.uid = user->second;
        }
        entries.push_back(entry);
    }
    return entries;
}

int NetlinkHelperSystem::Register(uint32_t address) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    if (m_registered.empty()) {
        // Before the entry, so that nobody counts the entry without its user.
        const int error =
            Route(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_REPLACE, kHelperOwnerTable, 0, getuid(), 32, m_token);
        if (error != 0) {
            return error;
        }
    }
    const int error = Route(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, kHelperRegisterTable, 0, address, 32, m_token);
    if (error == 0) {
        m_registered.insert(address);
    } else if (m_registered.empty()) {
        Route(RTM_DELROUTE, 0, kHelperOwnerTable, 0, getuid(), 32, m_token);
    }
    return error;
}

int NetlinkHelperSystem::Unregister(uint32_t address) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    const int error = Route(RTM_DELROUTE, 0, kHelperRegisterTable, 0, address, 32, m_token);
    if ((error == 0 || error == ESRCH) && m_registered.erase(address) > 0 && m_registered.empty()) {
        Route(RTM_DELROUTE, 0, kHelperOwnerTable, 0, getuid(), 32, m_token);
    }
    return error;
}

size_t NetlinkHelperSystem::SweepDead(size_t& failed) {
    failed = 0;
    // Rules before routes: a helper adds its route before its rule, so a rule read here has its route below.
    const auto rules = DumpTaggedRules();
    const auto routes = DumpTaggedRoutes();
    if (!rules || !routes) {
        ++failed;
        return 0;
    }
    std::map<uint32_t, bool> alive = {{m_token, true}};
    for (const TaggedRoute& route : *routes) {
        if (!alive.contains(route.metric)) {
            alive[route.metric] = HelperLiveness::IsAlive(route.metric);
        }
    }
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    size_t removed = 0;
    const auto count = [&](int error) {
        if (error == 0) {
            ++removed;
        } else if (error != ENOENT && error != ESRCH) {
            ++failed;
        }
    };
    std::set<uint32_t> used;  // tables that keep a live helper's route
    for (const TaggedRoute& route : *routes) {
        if (alive[route.metric]) {
            used.insert(route.table);
        } else {
            count(Route(RTM_DELROUTE, 0, route.table, route.index, route.address, route.length, route.metric));
        }
    }
    for (const TaggedRule& rule : *rules) {
        if (!used.contains(rule.table) && rule.uid && rule.table == kHelperUidTableBase + *rule.uid) {
            count(UidRule(RTM_DELRULE, 0, *rule.uid, rule.table, rule.priority));
        }
    }
    return removed;
}

int NetlinkHelperSystem::AddRoute(uint32_t table, int index, uint32_t address) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    return Route(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, table, index, address, 32, m_token);
}

int NetlinkHelperSystem::DeleteRoute(uint32_t table, int index, uint32_t address) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    return Route(RTM_DELROUTE, 0, table, index, address, 32, m_token);
}

int NetlinkHelperSystem::AddUidRule(uint32_t uid, uint32_t table) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    const int error = UidRule(RTM_NEWRULE, NLM_F_CREATE | NLM_F_EXCL, uid, table, kHelperRulePriority);
    return error == EEXIST ? 0 : error;
}

int NetlinkHelperSystem::DeleteUidRule(uint32_t uid, uint32_t table) {
    RaisedCapability raised(m_privileges, HelperCapability::NetAdmin);
    return UidRule(RTM_DELRULE, 0, uid, table, kHelperRulePriority);
}

int NetlinkHelperSystem::StartProbe(int index, uint32_t address) {
    ifreq hardware{};
    if (if_indextoname(static_cast<unsigned>(index), hardware.ifr_name) == nullptr) {
        return -ENODEV;
    }
    int fd;
    {
        RaisedCapability raised(m_privileges, HelperCapability::NetRaw);
        fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ARP));
    }
    if (fd < 0) {
        return -errno;
    }
    // Only answers for this address are queued, so that a busy link cannot crowd a claim out of the buffer
    // while the probe waits for the installation's first echo request.
    std::array<sock_filter, 4> code = {{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 14),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, address, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFF),
        BPF_STMT(BPF_RET | BPF_K, 0),
    }};
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    Probe probe;
    probe.address = address;
    probe.link.sll_family = AF_PACKET;
    probe.link.sll_protocol = htons(ETH_P_ARP);
    probe.link.sll_ifindex = index;
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
        bind(fd, reinterpret_cast<const sockaddr*>(&probe.link), sizeof probe.link) != 0 ||
        ioctl(fd, SIOCGIFHWADDR, &hardware) != 0) {
        const int error = errno;
        close(fd);
        return -error;
    }
    std::array<uint8_t, 6> own;
    std::memcpy(own.data(), hardware.ifr_hwaddr.sa_data, own.size());
    probe.request = BuildArpProbe(own, address);
    probe.link.sll_halen = 6;
    std::memset(probe.link.sll_addr, 0xff, 6);
    if (const int error = SendProbe(fd, probe); error != 0) {
        close(fd);
        return -error;
    }
    m_probes[fd] = std::move(probe);
    return fd;
}

int NetlinkHelperSystem::SendProbe(int fd, Probe& probe) {
    if (sendto(fd, probe.request.data(), probe.request.size(), 0, reinterpret_cast<const sockaddr*>(&probe.link),
               sizeof probe.link) < 0) {
        return errno;
    }
    ++probe.sent;
    probe.nextAt = NowMs() + kHelperProbeSpacingMs;
    return 0;
}

void NetlinkHelperSystem::ReadAnswers(int fd, Probe& probe) {
    std::array<uint8_t, 128> packet;
    ssize_t received;
    while ((received = recv(fd, packet.data(), packet.size(), MSG_DONTWAIT)) > 0) {
        const std::span<const uint8_t> arp(packet.data(), static_cast<size_t>(received));
        if (ArpSenderAddress(arp) != probe.address) {
            continue;
        }
        const auto sender = MacAddress::FromBytes(arp.subspan(8, 6));
        if (sender && std::find(probe.claimedBy.begin(), probe.claimedBy.end(), *sender) == probe.claimedBy.end()) {
            probe.claimedBy.push_back(*sender);
        }
    }
}

std::vector<pollfd> NetlinkHelperSystem::PollSet() const {
    std::vector<pollfd> set;
    for (const auto& [fd, probe] : m_probes) {
        set.push_back({fd, POLLIN, 0});
    }
    return set;
}

void NetlinkHelperSystem::Ready(const pollfd& ready) {
    if (const auto found = m_probes.find(ready.fd); found != m_probes.end()) {
        ReadAnswers(found->first, found->second);
    }
}

int NetlinkHelperSystem::TimeoutMs() const {
    int64_t soonest = -1;
    const int64_t now = NowMs();
    for (const auto& [fd, probe] : m_probes) {
        if (probe.sent < kHelperProbeCount) {
            const int64_t left = std::max<int64_t>(probe.nextAt - now, 0);
            soonest = soonest < 0 ? left : std::min(soonest, left);
        }
    }
    return static_cast<int>(soonest);
}

void NetlinkHelperSystem::SendDueProbes() {
    const int64_t now = NowMs();
    for (auto& [fd, probe] : m_probes) {
        if (probe.sent < kHelperProbeCount && probe.nextAt <= now) {
            // A failed send leaves fewer probes; the answers to those sent still decide.
            if (SendProbe(fd, probe) != 0) {
                probe.sent = kHelperProbeCount;
            }
        }
    }
}

HelperProbe NetlinkHelperSystem::FinishProbe(int probe, int64_t waitMs) {
    HelperProbe result;
    if (!m_probes.contains(probe)) {
        result.error = ENOENT;
        return result;
    }
    // Until the deadline the relays, and every probe's answers and schedule, are served as by the loop.
    const int64_t deadline = NowMs() + std::max<int64_t>(waitMs, 0);
    for (int64_t left = deadline - NowMs(); left > 0; left = deadline - NowMs()) {
        std::vector<pollfd> set = PollSet();
        if (m_waitingSet) {
            const std::vector<pollfd> others = m_waitingSet();
            set.insert(set.end(), others.begin(), others.end());
        }
        const int due = TimeoutMs();
        const int timeout = due >= 0 ? std::min<int>(due, static_cast<int>(left)) : static_cast<int>(left);
        if (poll(set.data(), set.size(), timeout) < 0 && errno != EINTR) {
            break;
        }
        for (const pollfd& ready : set) {
            if (ready.revents == 0) {
                continue;
            }
            if (m_probes.contains(ready.fd)) {
                Ready(ready);
            } else if (m_waitingReady) {
                m_waitingReady(ready);
            }
        }
        SendDueProbes();
    }
    const auto found = m_probes.find(probe);
    ReadAnswers(found->first, found->second);
    result.claimedBy = std::move(found->second.claimedBy);
    close(found->first);
    m_probes.erase(found);
    return result;
}

void NetlinkHelperSystem::AbandonProbe(int probe) {
    if (m_probes.erase(probe) > 0) {
        close(probe);
    }
}

int NetlinkHelperSystem::SendEchoFrame(const HelperEchoFrame& frame) {
    if (m_frames < 0) {
        RaisedCapability raised(m_privileges, HelperCapability::NetRaw);
        // Protocol 0: the socket only sends, nothing is queued to it.
        m_frames = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_frames < 0) {
            return errno;
        }
    }
    const auto icmp = BuildEchoRequest(frame.identifier, frame.sequence, frame.payload);
    const auto packet = BuildIpv4Icmp(frame.source, frame.destination, m_ipId++, icmp);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IP);
    link.sll_ifindex = frame.interfaceIndex;
    link.sll_halen = 6;
    std::memcpy(link.sll_addr, frame.destinationMac.Octets().data(), 6);
    if (sendto(m_frames, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&link), sizeof link) < 0) {
        return errno;
    }
    return 0;
}

size_t NetlinkHelperSystem::SweepTaggedNeighbours(size_t& failed) {
    // The helper adds no neighbour entries; any that carry its tag are an older helper's.
    std::vector<std::pair<int, uint32_t>> entries;
    NetlinkRequest neighbours;
    neighbours.Start<ndmsg>(RTM_GETNEIGH, 0)->ndm_family = AF_INET;
    const int error = NetlinkDump(neighbours, [&](uint16_t type, std::span<const uint8_t> payload) {
        std::span<const uint8_t> attributes;
        const auto body = Split<ndmsg>(payload, attributes);
        if (type != RTM_NEWNEIGH || !body) {
            return;
        }
        bool tagged = false;
        std::optional<uint32_t> destination;
        ForEachAttribute(attributes, [&](uint16_t attribute, std::span<const uint8_t> data) {
            if (attribute == NDA_PROTOCOL && data.size() == 1) {
                tagged = data[0] == kHelperProtocolTag;
            } else if (attribute == NDA_DST) {
                destination = AddressOf(data);
            }
        });
        if (tagged && destination) {
            entries.emplace_back(body->ndm_ifindex, *destination);
        }
    });
    failed = error != 0 ? 1 : 0;
    size_t removed = 0;
    for (const auto& [index, address] : entries) {
        const int deleted = DeleteNeighbour(index, address);
        if (deleted == 0) {
            ++removed;
        } else if (deleted != ENOENT) {
            ++failed;
        }
    }
    return removed;
}
