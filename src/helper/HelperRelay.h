#pragma once

#include "HelperSystem.h"
#include "RateLimit.h"

#include <poll.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

// The helper's own privileged sockets and what it relays through the program's channels: DHCP datagrams (ports 67
// and 68) and ARP packets of camera hardware addresses, written read-only into the attached sockets; echo requests
// read from echo channels, built and sent by the helper on one raw ICMP socket, and the replies and errors that
// belong to each channel. Writes into channels never block: what a full channel cannot take is dropped and counted.
class HelperRelay : public HelperRelays {
  public:
    using Log = std::function<void(std::string_view line)>;
    // The local addresses, for the echo destination checks.
    using LocalAddresses = std::function<std::optional<std::vector<HelperLocalAddress>>()>;
    // Milliseconds of a monotonic clock.
    using Clock = std::function<int64_t()>;

    // The interfaces enslaved to a bridge or bond (their packets show on the master too).
    using Ports = std::function<std::set<int>()>;

    HelperRelay(HelperPrivileges& privileges, Log log, LocalAddresses local, Clock clock, Ports ports);
    ~HelperRelay() override;
    HelperRelay(const HelperRelay&) = delete;
    HelperRelay& operator=(const HelperRelay&) = delete;

    int StartDhcp(uint16_t port, int channel) override;
    int StartArp(int channel) override;
    int OpenEcho(int channel, uint16_t& identifier) override;
    bool ExpectEchoFrom(uint16_t identifier, uint32_t address, uint16_t sequence, uint32_t uid) override;

    // The descriptors to wait on, POLLIN each.
    std::vector<pollfd> PollSet() const;
    // Serves one descriptor of PollSet() that poll reported.
    void Ready(const pollfd& ready);
    // Logs the drops and refusals counted since the last call, if any (the loop calls it at most once a second).
    void ReportDrops();
    bool HasDrops() const { return m_dropped > 0 || m_overRate > 0; }

  private:
    struct Relay {
        int socket = -1;
        int channel = -1;
        uint16_t port = 0;
    };
    struct EchoChannel {
        int channel = -1;
        RateLimit rate{0, 0, 0};
        // The requests sent, (address, sequence) -> when their replies stop being awaited.
        std::map<std::pair<uint32_t, uint16_t>, int64_t> awaited;
    };

    void ServeDhcp(Relay& relay);
    void ServeArp();
    // Whether index is a bridge's or bond's port, read again every two seconds at most.
    bool IsPort(int index);
    void ServeIcmp();
    void ServeEchoChannel(uint16_t identifier);
    // The channel's reply or error for (address, sequence), when one is awaited: taken, so that it goes once.
    bool TakeAwaited(EchoChannel& echo, uint32_t address, uint16_t sequence);
    // 0, or why the request from a channel is not sent.
    int CheckEchoRequest(EchoChannel& echo, const RelayRecord& request);
    void Await(EchoChannel& echo, uint32_t address, uint16_t sequence);
    void CloseEcho(uint16_t identifier);
    // Writes without waiting; false (and counted) when the channel cannot take it now.
    bool Write(int channel, std::span<const uint8_t> record);
    void EnlargeSendBuffer(int channel);
    int OpenIcmp();

    HelperPrivileges& m_privileges;
    Log m_log;
    LocalAddresses m_local;
    Clock m_clock;
    Ports m_readPorts;
    std::set<int> m_ports;
    int64_t m_portsRead = 0;
    RateLimit m_echoRate;
    std::array<Relay, 2> m_dhcp;  // 67, 68
    Relay m_arp;
    int m_icmp = -1;
    std::map<uint16_t, EchoChannel> m_echo;
    std::map<int, uint16_t> m_echoByChannel;
    uint64_t m_dropped = 0;
    uint64_t m_overRate = 0;
};
