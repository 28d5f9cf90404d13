#pragma once

#include "HelperChecks.h"
#include "HelperProtocol.h"
#include "HelperSystem.h"
#include "RateLimit.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// The helper's answer to one request: code 0 or a positive errno value and the reply text.
struct HelperResponse {
    int code = 0;
    std::string text;
};

// Carries out requests after the checks and keeps the installations it has begun, so that it removes exactly what
// it added. Every change and every refusal goes to the log, one line each.
class HelperCore {
  public:
    using Log = std::function<void(std::string_view line)>;
    // Milliseconds of a monotonic clock.
    using Clock = std::function<int64_t()>;

    // uid: the caller's, whose private routing table carries the routes this helper adds.
    HelperCore(HelperSystem& system, HelperRelays& relays, HelperPrivileges& privileges, Log log, std::string version,
               uint32_t uid, Clock clock);

    // channel: the descriptor attached to the request, -1 when none. It passes to the relays when the verb takes
    // one and the response is a success; otherwise the caller still owns (and closes) it.
    HelperResponse Handle(const HelperRequest& request, int channel);
    // Ends every installation begun here; returns how many could not be ended.
    size_t Cleanup();

    size_t Installs() const { return m_installs.size(); }

  private:
    struct Install {
        int interfaceIndex = 0;
        MacAddress mac;
        uint32_t source = 0;
        bool routed = false;
        // The ARP probe sent by install-begin, undecided until the first assign-echo (-1 once decided).
        int probe = -1;
        int64_t probeDeadline = 0;
        // Once decided: the refusal every assign-echo gets (EADDRINUSE naming the claimant), or none.
        int refusal = 0;
        std::string refusalText;
        // assign-echo requests for the address.
        RateLimit rate{0, 0, 0};
    };

    HelperResponse Hello();
    HelperResponse DhcpRelay(uint16_t port, int channel);
    HelperResponse ArpRelay(int channel);
    HelperResponse EchoOpen(int channel);
    // The pure check (CheckInstallBegin) on what the system says, then ApplyInstall, which undoes what it did
    // when a step fails.
    HelperResponse InstallBegin(const HelperRequest& request);
    HelperResponse ApplyInstall(const HelperRequest& request, const InstallPlan& plan);
    void SweepDead();
    HelperResponse AssignEcho(const HelperRequest& request);
    HelperResponse InstallEnd(uint32_t address);
    // Waits out an undecided probe and reads its answers; false when the address may not be sent to.
    bool DecideProbe(uint32_t address, Install& install);

    // 0 or the first errno of the kernel's refusals; the installation is forgotten either way unless the register
    // entry could not be removed.
    int End(uint32_t address, Install& install);
    // Deletes the entries for address that the kernel learned by itself (KernelLearned); administrators' stay.
    int FlushDynamic(uint32_t address, size_t& flushed);
    uint32_t UidTable() const { return kHelperUidTableBase + m_uid; }

    HelperResponse Refuse(int code, const std::string& why);
    HelperResponse Done(const std::string& what);

    HelperSystem& m_system;
    HelperRelays& m_relays;
    HelperPrivileges& m_privileges;
    Log m_log;
    std::string m_version;
    uint32_t m_uid;
    Clock m_clock;
    std::string m_request;  // the one being handled, for the log
    std::map<uint32_t, Install> m_installs;
    bool m_dhcp67 = false;
    bool m_dhcp68 = false;
    bool m_arp = false;
};
