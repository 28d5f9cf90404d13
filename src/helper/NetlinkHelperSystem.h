#pragma once

#include "HelperSystem.h"

#include <linux/if_packet.h>
#include <poll.h>

#include <functional>
#include <map>
#include <set>
#include <vector>

// The real kernel: interface facts by ioctl, local addresses by getifaddrs, routes, rules, nexthop objects and
// neighbour entries by rtnetlink (on the socket kept since start), ARP probes and echo frames by AF_PACKET. Raises
// CAP_NET_ADMIN and CAP_NET_RAW only around the calls that need them.
class NetlinkHelperSystem : public HelperSystem {
  public:
    // token: this helper's (HelperLiveness), the metric of every route it adds.
    NetlinkHelperSystem(HelperPrivileges& privileges, uint32_t token) : m_privileges(privileges), m_token(token) {}
    ~NetlinkHelperSystem() override;
    NetlinkHelperSystem(const NetlinkHelperSystem&) = delete;
    NetlinkHelperSystem& operator=(const NetlinkHelperSystem&) = delete;

    std::optional<HelperInterface> Interface(int index) override;
    std::optional<std::vector<HelperLocalAddress>> LocalAddresses() override;
    std::optional<std::vector<uint32_t>> Gateways() override;
    std::optional<std::vector<HelperNeighbour>> Neighbours(uint32_t address) override;
    int DeleteNeighbour(int index, uint32_t address) override;
    std::optional<size_t> TaggedRoutes(uint32_t table) override;
    std::optional<std::vector<HelperRegistration>> Registrations() override;
    int Register(uint32_t address) override;
    int Unregister(uint32_t address) override;
    size_t SweepDead(size_t& failed) override;
    int AddRoute(uint32_t table, int index, uint32_t address) override;
    int DeleteRoute(uint32_t table, int index, uint32_t address) override;
    int AddUidRule(uint32_t uid, uint32_t table) override;
    int DeleteUidRule(uint32_t uid, uint32_t table) override;
    int StartProbe(int index, uint32_t address) override;
    HelperProbe FinishProbe(int probe, int64_t waitMs) override;
    void AbandonProbe(int probe) override;
    int SendEchoFrame(const HelperEchoFrame& frame) override;

    // Descriptors to keep serving while a probe's answers are awaited (the relays), so that a storm's datagrams are
    // not left to pile up behind an installation's ARP probe.
    void ServeWhileWaiting(std::function<std::vector<pollfd>()> set, std::function<void(const pollfd&)> ready) {
        m_waitingSet = std::move(set);
        m_waitingReady = std::move(ready);
    }

    // The interfaces with a master (bridge and bond ports); empty when unreadable.
    std::set<int> Ports();

    // The probes' answers and schedule, served by the helper's loop: their descriptors, one that poll reported,
    // milliseconds until the next probe is due (-1: none), and the sending of those due.
    std::vector<pollfd> PollSet() const;
    void Ready(const pollfd& ready);
    int TimeoutMs() const;
    void SendDueProbes();

    // Removes every neighbour entry that carries kHelperProtocolTag (helpers before this one made them); returns
    // how many were removed, and in failed how many the kernel refused.
    size_t SweepTaggedNeighbours(size_t& failed);

  private:
    HelperPrivileges& m_privileges;
    uint32_t m_token;
    std::set<uint32_t> m_registered;
    std::function<std::vector<pollfd>()> m_waitingSet;
    std::function<void(const pollfd&)> m_waitingReady;
    int m_frames = -1;  // AF_PACKET, send only
    struct Probe {
        uint32_t address = 0;
        sockaddr_ll link{};
        std::vector<uint8_t> request;
        int sent = 0;
        int64_t nextAt = 0;
        std::vector<MacAddress> claimedBy;
    };
    int SendProbe(int fd, Probe& probe);
    void ReadAnswers(int fd, Probe& probe);

    // The undecided probes by their AF_PACKET sockets (one per address being installed, so bounded).
    std::map<int, Probe> m_probes;
    uint16_t m_ipId = 1;
};
