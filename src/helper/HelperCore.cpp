#include "HelperCore.h"

#include "HelperChecks.h"
#include "Ipv4Text.h"

#include <linux/neighbour.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <variant>

namespace {

// assign-echo: a burst of this many, then this many per second, per address.
constexpr double kAssignBurst = 20;

std::string ErrorText(int error) {
    return std::string(std::strerror(error));
}

}  // namespace

std::string_view HelperCapabilityName(HelperCapability capability) {
    switch (capability) {
        case HelperCapability::NetRaw:
            return "CAP_NET_RAW";
        case HelperCapability::NetAdmin:
            return "CAP_NET_ADMIN";
    }
    return "?";
}

HelperCore::HelperCore(HelperSystem& system, HelperRelays& relays, HelperPrivileges& privileges, Log log,
                       std::string version, uint32_t uid, Clock clock)
    : m_system(system),
      m_relays(relays),
      m_privileges(privileges),
      m_log(std::move(log)),
      m_version(std::move(version)),
      m_uid(uid),
      m_clock(std::move(clock)) {}

HelperResponse HelperCore::Refuse(int code, const std::string& why) {
    m_log("refused " + m_request + ": " + why);
    return {code, why};
}

HelperResponse HelperCore::Done(const std::string& what) {
    return {0, what};
}

HelperResponse HelperCore::Handle(const HelperRequest& request, int channel) {
    m_request = '"';
    m_request += FormatHelperRequest(request);
    m_request += '"';
    const auto needs = [&](std::initializer_list<HelperCapability> capabilities) -> std::optional<HelperResponse> {
        for (const HelperCapability capability : capabilities) {
            if (!m_privileges.Holds(capability)) {
                return Refuse(EPERM,
                              std::string(kHelperName) + " lacks " + std::string(HelperCapabilityName(capability)));
            }
        }
        return std::nullopt;
    };
    if (HelperVerbTakesDescriptor(request.verb) != (channel >= 0)) {
        return Refuse(EBADF, channel >= 0 ? "this request takes no descriptor"
                                          : "this request needs one AF_UNIX SOCK_SEQPACKET socket attached");
    }
    std::optional<HelperResponse> refused;
    switch (request.verb) {
        case HelperVerb::Hello:
            return Hello();
        case HelperVerb::DhcpRelay:
            if ((request.port == 67 && m_dhcp67) || (request.port == 68 && m_dhcp68)) {
                return Refuse(EALREADY, "port " + std::to_string(request.port) + " is already relayed");
            }
            if ((refused = needs({HelperCapability::NetRaw}))) {
                return *refused;
            }
            return DhcpRelay(request.port, channel);
        case HelperVerb::ArpRelay:
            if (m_arp) {
                return Refuse(EALREADY, "ARP is already relayed");
            }
            if ((refused = needs({HelperCapability::NetRaw}))) {
                return *refused;
            }
            return ArpRelay(channel);
        case HelperVerb::EchoOpen:
            if ((refused = needs({HelperCapability::NetRaw}))) {
                return *refused;
            }
            return EchoOpen(channel);
        case HelperVerb::InstallBegin:
            if ((refused = needs({HelperCapability::NetAdmin, HelperCapability::NetRaw}))) {
                return *refused;
            }
            return InstallBegin(request);
        case HelperVerb::AssignEcho:
            return AssignEcho(request);
        case HelperVerb::InstallEnd:
            return InstallEnd(request.address);
        case HelperVerb::Cleanup: {
            const size_t before = m_installs.size();
            const size_t failed = Cleanup();
            if (failed > 0) {
                return {EBUSY, "removed " + std::to_string(before - failed) + ", " + std::to_string(failed) +
                                   " could not be removed"};
            }
            return Done("removed " + std::to_string(before));
        }
    }
    return Refuse(EINVAL, "unknown verb");
}

HelperResponse HelperCore::Hello() {
    HelperHello hello;
    hello.version = m_version;
    hello.netRaw = m_privileges.Holds(HelperCapability::NetRaw);
    hello.netAdmin = m_privileges.Holds(HelperCapability::NetAdmin);
    return Done(FormatHelperHello(hello));
}

HelperResponse HelperCore::DhcpRelay(uint16_t port, int channel) {
    const int error = m_relays.StartDhcp(port, channel);
    if (error != 0) {
        return Refuse(error, "relaying UDP port " + std::to_string(port) + ": " + ErrorText(error));
    }
    (port == 67 ? m_dhcp67 : m_dhcp68) = true;
    m_log("relaying DHCP port " + std::to_string(port) + " (camera hardware addresses only)");
    return Done("relaying port " + std::to_string(port));
}

HelperResponse HelperCore::ArpRelay(int channel) {
    const int error = m_relays.StartArp(channel);
    if (error != 0) {
        return Refuse(error, "relaying ARP: " + ErrorText(error));
    }
    m_arp = true;
    m_log("relaying ARP of camera hardware addresses");
    return Done("relaying ARP");
}

HelperResponse HelperCore::EchoOpen(int channel) {
    uint16_t identifier = 0;
    const int error = m_relays.OpenEcho(channel, identifier);
    if (error == EMFILE) {
        return Refuse(error, "too many echo channels");
    }
    if (error != 0) {
        return Refuse(error, "opening the echo channel: " + ErrorText(error));
    }
    m_log("opened echo channel " + std::to_string(identifier));
    return Done(FormatEchoOpened(identifier));
}

int HelperCore::FlushDynamic(uint32_t address, size_t& flushed) {
    const auto entries = m_system.Neighbours(address);
    if (!entries) {
        return EIO;
    }
    for (const HelperNeighbour& entry : *entries) {
        if (!KernelLearned(entry)) {
            continue;
        }
        const int error = m_system.DeleteNeighbour(entry.interfaceIndex, address);
        if (error != 0 && error != ENOENT) {
            return error;
        }
        if (error == 0) {
            ++flushed;
            m_log("removed the kernel's dynamic entry for " + FormatDottedAddress(address) + " dev " +
                  std::to_string(entry.interfaceIndex));
        }
    }
    return 0;
}

void HelperCore::SweepDead() {
    size_t failed = 0;
    const size_t removed = m_system.SweepDead(failed);
    if (removed > 0 || failed > 0) {
        m_log("removed " + std::to_string(removed) + " routes and rules that helpers no longer running left" +
              (failed > 0 ? "; " + std::to_string(failed) + " could not be removed" : ""));
    }
}

HelperResponse HelperCore::InstallBegin(const HelperRequest& request) {
    SweepDead();
    InstallFacts facts;
    facts.interface = m_system.Interface(request.interfaceIndex);
    facts.local = m_system.LocalAddresses();
    facts.gateways = m_system.Gateways();
    facts.registered = m_system.Registrations();
    facts.begunHere = m_installs.contains(request.address);
    facts.uid = m_uid;
    const auto checked = CheckInstallBegin(request, facts);
    if (const auto* refusal = std::get_if<HelperRefusal>(&checked)) {
        return Refuse(refusal->code, refusal->text);
    }
    return ApplyInstall(request, std::get<InstallPlan>(checked));
}

HelperResponse HelperCore::ApplyInstall(const HelperRequest& request, const InstallPlan& plan) {
    const uint32_t address = request.address;
    const std::string addressText = FormatDottedAddress(address);
    // The register entry first: it is what makes a second helper's begin of the same address fail.
    int error = m_system.Register(address);
    if (error != 0) {
        return Refuse(error, "registering " + addressText + ": " + ErrorText(error));
    }
    const auto again = m_system.Registrations();
    const auto overstepped = again ? CheckRegister(*again, address, m_uid, true)
                                   : std::optional<HelperRefusal>({EIO, "cannot read the routes"});
    if (overstepped) {
        m_system.Unregister(address);
        return Refuse(overstepped->code, overstepped->text);
    }
    Install install;
    install.rate = RateLimit(kAssignBurst, kAssignBurst, m_clock());
    install.interfaceIndex = request.interfaceIndex;
    install.mac = request.mac;
    install.source = plan.source;
    const auto fail = [&](int code, const std::string& why) {
        End(address, install);
        return Refuse(code, why);
    };
    size_t flushed = 0;
    error = FlushDynamic(address, flushed);
    if (error != 0) {
        return fail(error, "removing the dynamic entries for " + addressText + ": " + ErrorText(error));
    }
    const std::string index = std::to_string(request.interfaceIndex);
    std::string text = "begun " + addressText + " for " + request.mac.ColonText() + " on interface " + index +
                       "; removed " + std::to_string(flushed) + " dynamic entries";
    if (!plan.sameSubnet) {
        error = m_system.AddRoute(UidTable(), request.interfaceIndex, address);
        if (error != 0) {
            return fail(error, "adding the route to " + addressText + ": " + ErrorText(error));
        }
        install.routed = true;
        error = m_system.AddUidRule(m_uid, UidTable());
        if (error != 0) {
            return fail(error, "adding the rule for uid " + std::to_string(m_uid) + ": " + ErrorText(error));
        }
        text += "; route " + addressText + "/32 dev " + index + " for uid " + std::to_string(m_uid) + " only";
    }
    // Answered without waiting for the probe's answers: the first assign-echo decides it, by when they are in.
    const int probe = m_system.StartProbe(request.interfaceIndex, address);
    if (probe < 0) {
        return fail(-probe, "probing for " + addressText + ": " + ErrorText(-probe));
    }
    install.probe = probe;
    install.probeDeadline = m_clock() + kHelperProbeDecideMs;
    text += "; probing";
    m_installs.emplace(address, install);
    m_log(text);
    return Done(text);
}

HelperResponse HelperCore::AssignEcho(const HelperRequest& request) {
    const auto found = m_installs.find(request.address);
    if (found == m_installs.end()) {
        return Refuse(ENOENT, FormatDottedAddress(request.address) + " is not being installed by this helper");
    }
    Install& install = found->second;
    if (!DecideProbe(request.address, install)) {
        return Refuse(install.refusal, install.refusalText);
    }
    if (!install.rate.Take(m_clock())) {
        return Refuse(EBUSY, "too many echo requests to " + FormatDottedAddress(request.address));
    }
    // Only an identifier of the caller's own: the camera's reply must reach no one else's socket.
    if (!m_relays.ExpectEchoFrom(request.identifier, request.address, request.sequence, m_uid)) {
        return Refuse(EACCES, "identifier " + std::to_string(request.identifier) + " is not one of uid " +
                                  std::to_string(m_uid) + "'s echo channels or ICMP sockets");
    }
    HelperEchoFrame frame;
    frame.interfaceIndex = install.interfaceIndex;
    frame.destinationMac = install.mac;
    frame.source = install.source;
    frame.destination = request.address;
    frame.identifier = request.identifier;
    frame.sequence = request.sequence;
    frame.payload = request.payload;
    const int error = m_system.SendEchoFrame(frame);
    if (error != 0) {
        return Refuse(error, "sending to " + install.mac.ColonText() + ": " + ErrorText(error));
    }
    return Done("sent");
}

bool HelperCore::DecideProbe(uint32_t address, Install& install) {
    if (install.probe >= 0) {
        const HelperProbe probe = m_system.FinishProbe(install.probe, install.probeDeadline - m_clock());
        install.probe = -1;
        const std::string addressText = FormatDottedAddress(address);
        if (probe.error != 0) {
            install.refusal = probe.error;
            install.refusalText = "probing for " + addressText + ": " + ErrorText(probe.error);
        }
        for (const MacAddress& claimant : probe.claimedBy) {
            if (claimant != install.mac) {
                install.refusal = EADDRINUSE;
                install.refusalText = addressText + " is in use by " + claimant.ColonText();
                break;
            }
        }
        if (install.refusal == 0) {
            m_log("probe for " + addressText + " heard no other host");
        }
    }
    return install.refusal == 0;
}

int HelperCore::End(uint32_t address, Install& install) {
    if (install.probe >= 0) {
        m_system.AbandonProbe(install.probe);
        install.probe = -1;
    }
    int first = 0;
    const std::string addressText = FormatDottedAddress(address);
    const auto note = [&](int error, const std::string& what) {
        if (error == 0 || error == ESRCH || error == ENOENT) {
            m_log("removed " + what);
            return;
        }
        m_log("could not remove " + what + ": " + ErrorText(error));
        if (first == 0) {
            first = error;
        }
    };
    if (install.routed) {
        note(m_system.DeleteRoute(UidTable(), install.interfaceIndex, address),
             "the route to " + addressText + " for uid " + std::to_string(m_uid));
        const auto left = m_system.TaggedRoutes(UidTable());
        if (left && *left == 0) {
            note(m_system.DeleteUidRule(m_uid, UidTable()), "the rule for uid " + std::to_string(m_uid));
        }
    }
    note(m_system.Unregister(address), "the register entry of " + addressText);
    return first;
}

HelperResponse HelperCore::InstallEnd(uint32_t address) {
    const auto found = m_installs.find(address);
    if (found == m_installs.end()) {
        return Refuse(ENOENT, FormatDottedAddress(address) + " is not being installed by this helper");
    }
    const int error = End(address, found->second);
    m_installs.erase(found);
    if (error != 0) {
        return {error,
                "ended " + FormatDottedAddress(address) + ", but the kernel refused a removal: " + ErrorText(error)};
    }
    return Done("ended " + FormatDottedAddress(address));
}

size_t HelperCore::Cleanup() {
    size_t failed = 0;
    for (auto& [address, install] : m_installs) {
        if (End(address, install) != 0) {
            ++failed;
        }
    }
    m_installs.clear();
    return failed;
}
