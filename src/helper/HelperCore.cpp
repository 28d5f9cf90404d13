#include "HelperCore.h"

#include "CameraAddressFilter.h"
#include "HelperChecks.h"

#include <linux/neighbour.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
            return EchoOpen(request.identifier, channel);
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

HelperResponse HelperCore::EchoOpen(uint16_t identifier, int channel) {
    const int error = m_relays.OpenEcho(identifier, channel);
    if (error == EEXIST) {
        return Refuse(error, "identifier " + std::to_string(identifier) + " is already open");
    }
    if (error == EMFILE) {
        return Refuse(error, "too many echo channels");
    }
    if (error != 0) {
        return Refuse(error, "opening the echo channel: " + ErrorText(error));
    }
    return Done("echo channel " + std::to_string(identifier));
}

int HelperCore::FlushDynamic(uint32_t address, size_t& flushed) {
    const auto entries = m_system.Neighbours(address);
    if (!entries) {
        return EIO;
    }
    for (const HelperNeighbour& entry : *entries) {
        if ((entry.state & (NUD_PERMANENT | NUD_NOARP)) != 0 || (entry.flags & NTF_EXT_LEARNED) != 0) {
            continue;
        }
        const int error = m_system.DeleteNeighbour(entry.interfaceIndex, address);
        if (error != 0 && error != ENOENT) {
            return error;
        }
        if (error == 0) {
            ++flushed;
            m_log("removed the kernel's dynamic entry for " + HelperAddressText(address) + " dev " +
                  std::to_string(entry.interfaceIndex));
        }
    }
    return 0;
}

HelperResponse HelperCore::InstallBegin(const HelperRequest& request) {
    const int index = request.interfaceIndex;
    const uint32_t address = request.address;
    const std::string addressText = HelperAddressText(address);
    const auto facts = m_system.Interface(index);
    if (!facts) {
        return Refuse(ENODEV, "no interface " + std::to_string(index));
    }
    if (auto why = CheckInterface(index, facts)) {
        return Refuse(facts->up ? EPROTOTYPE : ENETDOWN, *why);
    }
    const auto local = m_system.LocalAddresses();
    if (!local) {
        return Refuse(EIO, "cannot read the addresses of this PC");
    }
    bool sameSubnet = false;
    const auto source = SourceAddress(index, address, *local, sameSubnet);
    if (!source) {
        return Refuse(EADDRNOTAVAIL, "interface " + std::to_string(index) + " has no IPv4 address");
    }
    if (auto why = CheckMac(request.mac)) {
        return Refuse(EINVAL, *why);
    }
    if (!CameraAddressFilter(request.mac)) {
        return Refuse(EPERM, "MAC " + request.mac.ColonText() + " is not a camera's");
    }
    const auto gateways = m_system.Gateways();
    if (!gateways) {
        return Refuse(EIO, "cannot read the routes");
    }
    if (auto why = CheckHostAddress(address, *local, *gateways)) {
        return Refuse(why->ends_with("gateway of a route") ? EPERM : EINVAL, *why);
    }
    if (m_installs.contains(address)) {
        return Refuse(EALREADY, addressText + " is already being installed by this helper");
    }
    if (!sameSubnet && m_uid > kHelperMaxUid) {
        return Refuse(EOVERFLOW, "uid " + std::to_string(m_uid) + " has no private routing table");
    }
    const auto registered = m_system.Registrations();
    if (!registered) {
        return Refuse(EIO, "cannot read the routes");
    }
    size_t others = 0;
    for (const HelperRegistration& entry : *registered) {
        if (entry.address != address) {
            continue;
        }
        if (entry.alive) {
            return Refuse(EBUSY, addressText + " is being installed by another helper");
        }
        const int error = m_system.RemoveLeftovers(address, entry.owner);
        if (error != 0) {
            return Refuse(error, "removing what a killed helper left for " + addressText + ": " + ErrorText(error));
        }
        m_log("removed what killed helper " + std::to_string(entry.owner) + " left for " + addressText);
        ++others;
    }
    if (registered->size() - others >= kHelperMaxInstalls) {
        return Refuse(
            ENOSPC, "already " + std::to_string(registered->size() - others) + " addresses being installed on this PC");
    }
    // The register entry first: it is what makes a second helper's begin of the same address fail.
    int error = m_system.Register(address);
    if (error != 0) {
        return Refuse(error, "registering " + addressText + ": " + ErrorText(error));
    }
    // Two helpers that begin the same address at the same moment both see two entries, and both give way.
    const auto again = m_system.Registrations();
    const auto sameAddress = [address](const HelperRegistration& entry) { return entry.address == address; };
    if (!again || std::count_if(again->begin(), again->end(), sameAddress) != 1) {
        m_system.Unregister(address);
        return Refuse(EBUSY, addressText + " is being installed by another helper");
    }
    Install install;
    install.interfaceIndex = index;
    install.mac = request.mac;
    install.source = *source;
    install.allowance = kAssignBurst;
    install.refilled = m_clock();
    const auto fail = [&](int code, const std::string& why) {
        End(address, install);
        return Refuse(code, why);
    };
    size_t flushed = 0;
    error = FlushDynamic(address, flushed);
    if (error != 0) {
        return fail(error, "removing the dynamic entries for " + addressText + ": " + ErrorText(error));
    }
    std::string text = "begun " + addressText + " for " + request.mac.ColonText() + " on interface " +
                       std::to_string(index) + "; removed " + std::to_string(flushed) + " dynamic entries";
    if (!sameSubnet) {
        error = m_system.AddRoute(UidTable(), index, address);
        if (error != 0) {
            return fail(error, "adding the route to " + addressText + ": " + ErrorText(error));
        }
        install.routed = true;
        error = m_system.AddUidRule(m_uid, UidTable());
        if (error != 0) {
            return fail(error, "adding the rule for uid " + std::to_string(m_uid) + ": " + ErrorText(error));
        }
        text += "; route " + addressText + "/32 dev " + std::to_string(index) + " for uid " + std::to_string(m_uid) +
                " only";
    }
    // Answered without waiting for the probe's answers: the first assign-echo decides it, by when they are in.
    const int probe = m_system.StartProbe(index, address);
    if (probe < 0) {
        return fail(-probe, "probing for " + addressText + ": " + ErrorText(-probe));
    }
    install.probe = probe;
    install.probeDeadline = m_clock() + kHelperProbeWaitMs;
    text += "; probing";
    m_installs.emplace(address, install);
    m_log(text);
    return Done(text);
}

HelperResponse HelperCore::AssignEcho(const HelperRequest& request) {
    const auto found = m_installs.find(request.address);
    if (found == m_installs.end()) {
        return Refuse(ENOENT, HelperAddressText(request.address) + " is not being installed by this helper");
    }
    Install& install = found->second;
    if (!DecideProbe(request.address, install)) {
        return Refuse(install.refusal, install.refusalText);
    }
    const int64_t now = m_clock();
    install.allowance = std::min(kAssignBurst, install.allowance + (now - install.refilled) * kAssignBurst / 1000.0);
    install.refilled = now;
    if (install.allowance < 1) {
        return Refuse(EBUSY, "too many echo requests to " + HelperAddressText(request.address));
    }
    install.allowance -= 1;
    m_relays.ExpectEchoFrom(request.identifier, request.address);
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
        const std::string addressText = HelperAddressText(address);
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
    const std::string addressText = HelperAddressText(address);
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
        return Refuse(ENOENT, HelperAddressText(address) + " is not being installed by this helper");
    }
    const int error = End(address, found->second);
    m_installs.erase(found);
    if (error != 0) {
        return {error,
                "ended " + HelperAddressText(address) + ", but the kernel refused a removal: " + ErrorText(error)};
    }
    return Done("ended " + HelperAddressText(address));
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
