#pragma once

#include "HelperSystem.h"

#include <poll.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string_view>
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

    HelperRelay(HelperPrivileges& privileges, Log log, LocalAddresses local);
    ~HelperRelay() override;
    HelperRelay(const HelperRelay&) = delete;
    HelperRelay& operator=(const HelperRelay&) = delete;

    int StartDhcp(uint16_t port, int channel) override;
    int StartArp(int channel) override;
    int OpenEcho(uint16_t identifier, int channel) override;
    void ExpectEchoFrom(uint16_t identifier, uint32_t address) override;

    // The descriptors to wait on, POLLIN each.
    std::vector<pollfd> PollSet() const;
    // Serves one descriptor of PollSet() that poll reported.
    void Ready(const pollfd& ready);
    // Logs the drops counted since the last call, if any (the loop calls it at most once a second).
    void ReportDrops();
    bool HasDrops() const { return m_dropped > 0; }

  private:
    struct Relay {
        int socket = -1;
        int channel = -1;
        uint16_t port = 0;
    };
    struct EchoChannel {
        int channel = -1;
        std::set<uint32_t> sentTo;
    };

    void ServeDhcp(Relay& relay);
    void ServeArp();
    void ServeIcmp();
    void ServeEchoChannel(uint16_t identifier);
    void CloseEcho(uint16_t identifier);
    // Writes without waiting; false (and counted) when the channel cannot take it now.
    bool Write(int channel, std::span<const uint8_t> record);
    void EnlargeSendBuffer(int channel);
    int OpenIcmp();

    HelperPrivileges& m_privileges;
    Log m_log;
    LocalAddresses m_local;
    std::array<Relay, 2> m_dhcp;  // 67, 68
    Relay m_arp;
    int m_icmp = -1;
    std::map<uint16_t, EchoChannel> m_echo;
    std::map<int, uint16_t> m_echoByChannel;
    uint64_t m_dropped = 0;
};
