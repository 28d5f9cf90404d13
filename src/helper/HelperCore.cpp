#include "HelperCore.h"

#include "HelperChecks.h"

#include <linux/neighbour.h>

#include <cerrno>
#include <cstring>

namespace {

std::string ErrorText(int error) {
    return std::string(std::strerror(error));
}

std::string NeighbourText(const HelperRecord::Entry& entry) {
    return HelperAddressText(entry.address) + " lladdr " + entry.mac.ColonText() + " dev " +
           std::to_string(entry.interfaceIndex);
}

std::string RouteText(const HelperRecord::Entry& entry) {
    return HelperAddressText(entry.address) + "/32 dev " + std::to_string(entry.interfaceIndex);
}

}  // namespace

std::string_view HelperCapabilityName(HelperCapability capability) {
    switch (capability) {
        case HelperCapability::NetBindService:
            return "CAP_NET_BIND_SERVICE";
        case HelperCapability::NetRaw:
            return "CAP_NET_RAW";
        case HelperCapability::NetAdmin:
            return "CAP_NET_ADMIN";
    }
    return "?";
}

HelperCore::HelperCore(HelperSystem& system, HelperPrivileges& privileges, Log log, std::string version)
    : m_system(system), m_privileges(privileges), m_log(std::move(log)), m_version(std::move(version)) {}

HelperResponse HelperCore::Refuse(int code, const std::string& why) {
    m_log("refused " + m_request + ": " + why);
    return {code, why, -1};
}

HelperResponse HelperCore::Done(const std::string& what) {
    return {0, what, -1};
}

HelperResponse HelperCore::Handle(const HelperRequest& request) {
    // Appended, not `"\"" + std::string`: GCC 12 at -O3 misreads that insert (-Wrestrict).
    m_request = '"';
    m_request += FormatHelperRequest(request);
    m_request += '"';
    const auto needs = [&](HelperCapability capability) -> std::optional<HelperResponse> {
        if (m_privileges.Holds(capability)) {
            return std::nullopt;
        }
        return Refuse(EPERM, std::string(kHelperName) + " lacks " + std::string(HelperCapabilityName(capability)));
    };
    switch (request.verb) {
        case HelperVerb::Hello:
            return Hello();
        case HelperVerb::DhcpSocket:
            if (auto refused = needs(HelperCapability::NetBindService)) {
                return *refused;
            }
            return DhcpSocket(request.port);
        case HelperVerb::IcmpSocket:
            if (auto refused = needs(HelperCapability::NetRaw)) {
                return *refused;
            }
            return IcmpSocket();
        case HelperVerb::NeighAdd:
            if (auto refused = needs(HelperCapability::NetAdmin)) {
                return *refused;
            }
            return NeighAdd(request);
        case HelperVerb::NeighFlush:
            if (auto refused = needs(HelperCapability::NetAdmin)) {
                return *refused;
            }
            return NeighFlush(request.address);
        case HelperVerb::NeighDel:
            return NeighDel(request.address);
        case HelperVerb::RouteAdd:
            if (auto refused = needs(HelperCapability::NetAdmin)) {
                return *refused;
            }
            return RouteAdd(request.interfaceIndex, request.address);
        case HelperVerb::RouteDel:
            return RouteDel(request.interfaceIndex, request.address);
        case HelperVerb::Cleanup: {
            const size_t before = m_record.Entries().size();
            const size_t removed = Cleanup();
            if (removed < before) {
                return {EBUSY,
                        "removed " + std::to_string(removed) + ", " + std::to_string(before - removed) +
                            " could not be removed",
                        -1};
            }
            return Done("removed " + std::to_string(removed));
        }
        case HelperVerb::DhcpRelay:
        case HelperVerb::ArpRelay:
        case HelperVerb::EchoOpen:
        case HelperVerb::InstallBegin:
        case HelperVerb::AssignEcho:
        case HelperVerb::InstallEnd:
            return Refuse(ENOSYS, "not offered by this helper yet");
    }
    return Refuse(EINVAL, "unknown verb");
}

HelperResponse HelperCore::Hello() {
    HelperHello hello;
    hello.version = m_version;
    hello.netBindService = m_privileges.Holds(HelperCapability::NetBindService);
    hello.netRaw = m_privileges.Holds(HelperCapability::NetRaw);
    hello.netAdmin = m_privileges.Holds(HelperCapability::NetAdmin);
    return Done(FormatHelperHello(hello));
}

HelperResponse HelperCore::DhcpSocket(uint16_t port) {
    int fd = -1;
    const int error = m_system.OpenDhcpSocket(port, fd);
    if (error != 0) {
        return Refuse(error, "binding UDP port " + std::to_string(port) + ": " + ErrorText(error));
    }
    (port == 67 ? m_handed67 : m_handed68) = true;
    if (m_handed67 && m_handed68) {
        // Nothing else ever needs a privileged port.
        m_privileges.Drop(HelperCapability::NetBindService);
        m_log("both DHCP sockets handed over; dropped CAP_NET_BIND_SERVICE");
    }
    return {0, "bound " + std::to_string(port), fd};
}

HelperResponse HelperCore::IcmpSocket() {
    int fd = -1;
    const int error = m_system.OpenIcmpSocket(fd);
    if (error != 0) {
        return Refuse(error, "opening a raw ICMP socket: " + ErrorText(error));
    }
    return {0, "raw icmp", fd};
}

std::optional<HelperResponse> HelperCore::CheckTarget(int index, uint32_t address) {
    if (index != 0) {
        if (auto why = CheckInterface(index, m_system.Interface(index))) {
            return Refuse(EINVAL, *why);
        }
    }
    const auto local = m_system.LocalAddresses();
    if (!local) {
        return Refuse(EIO, "cannot read the addresses of this PC");
    }
    const auto gateways = m_system.Gateways();
    if (!gateways) {
        return Refuse(EIO, "cannot read the routes");
    }
    if (auto why = CheckHostAddress(address, *local, *gateways)) {
        return Refuse(EINVAL, *why);
    }
    return std::nullopt;
}

int HelperCore::FlushDynamic(const std::vector<HelperNeighbour>& entries, int index, uint32_t address,
                             size_t& flushed) {
    for (const HelperNeighbour& entry : entries) {
        if ((entry.state & NUD_PERMANENT) != 0 || (index != 0 && entry.interfaceIndex != index)) {
            continue;
        }
        const int error = m_system.DeleteNeighbour(entry.interfaceIndex, address);
        if (error != 0 && error != ENOENT) {
            return error;
        }
        if (error == 0) {
            ++flushed;
            m_log("removed the kernel's entry for " + HelperAddressText(address) + " dev " +
                  std::to_string(entry.interfaceIndex));
        }
    }
    return 0;
}

HelperResponse HelperCore::NeighAdd(const HelperRequest& request) {
    if (auto refused = CheckTarget(request.interfaceIndex, request.address)) {
        return *refused;
    }
    if (auto why = CheckMac(request.mac)) {
        return Refuse(EINVAL, *why);
    }
    const HelperRecord::Entry* own = m_record.Find(HelperRecord::Kind::Neighbour, request.address);
    if (own == nullptr && m_record.Full()) {
        return Refuse(ENOSPC, "too many entries");
    }
    const auto entries = m_system.Neighbours(request.address);
    if (!entries) {
        return Refuse(EIO, "cannot read the neighbour table");
    }
    for (const HelperNeighbour& entry : *entries) {
        const bool ours = own != nullptr && entry.interfaceIndex == own->interfaceIndex && entry.lladdr == own->mac;
        if ((entry.state & NUD_PERMANENT) != 0 && !ours) {
            return Refuse(EEXIST, "a permanent entry for " + HelperAddressText(request.address) + " exists that " +
                                      std::string(kHelperName) + " did not add");
        }
    }
    if (own != nullptr && own->interfaceIndex != request.interfaceIndex) {
        const HelperRecord::Entry previous = *own;
        if (const int error = RemoveNeighbour(previous); error != 0) {
            return Refuse(error, "removing the previous entry " + NeighbourText(previous) + ": " + ErrorText(error));
        }
    }
    size_t flushed = 0;
    if (const int error = FlushDynamic(*entries, request.interfaceIndex, request.address, flushed); error != 0) {
        return Refuse(
            error, "removing the kernel's entry for " + HelperAddressText(request.address) + ": " + ErrorText(error));
    }
    const HelperRecord::Entry entry{HelperRecord::Kind::Neighbour, request.interfaceIndex, request.address,
                                    request.mac};
    if (const int error = m_system.AddNeighbour(entry.interfaceIndex, entry.address, entry.mac); error != 0) {
        return Refuse(error, "adding the neighbour entry " + NeighbourText(entry) + ": " + ErrorText(error));
    }
    m_record.Put(entry);
    m_log("added permanent neighbour entry " + NeighbourText(entry));
    return Done("added " + HelperAddressText(entry.address));
}

HelperResponse HelperCore::NeighFlush(uint32_t address) {
    if (auto refused = CheckTarget(0, address)) {
        return *refused;
    }
    const auto entries = m_system.Neighbours(address);
    if (!entries) {
        return Refuse(EIO, "cannot read the neighbour table");
    }
    size_t flushed = 0;
    if (const int error = FlushDynamic(*entries, 0, address, flushed); error != 0) {
        return Refuse(error, "removing the kernel's entry for " + HelperAddressText(address) + ": " + ErrorText(error));
    }
    return Done("flushed " + std::to_string(flushed));
}

int HelperCore::RemoveNeighbour(const HelperRecord::Entry& entry) {
    if (const auto entries = m_system.Neighbours(entry.address)) {
        bool stillOurs = false;
        for (const HelperNeighbour& current : *entries) {
            if (current.interfaceIndex == entry.interfaceIndex) {
                stillOurs = (current.state & NUD_PERMANENT) != 0 && current.lladdr == entry.mac;
                if (!stillOurs) {
                    m_log("left " + HelperAddressText(entry.address) + " dev " + std::to_string(entry.interfaceIndex) +
                          " alone: its entry was replaced since it was added");
                }
            }
        }
        if (!stillOurs) {
            m_record.Remove(HelperRecord::Kind::Neighbour, entry.address);
            return 0;
        }
    }
    const int error = m_system.DeleteNeighbour(entry.interfaceIndex, entry.address);
    if (error != 0 && error != ENOENT) {
        m_log("removing neighbour entry " + NeighbourText(entry) + " failed: " + ErrorText(error));
        return error;
    }
    m_log("removed neighbour entry " + NeighbourText(entry));
    m_record.Remove(HelperRecord::Kind::Neighbour, entry.address);
    return 0;
}

HelperResponse HelperCore::NeighDel(uint32_t address) {
    const HelperRecord::Entry* own = m_record.Find(HelperRecord::Kind::Neighbour, address);
    if (own == nullptr) {
        return Refuse(ENOENT, "no entry of " + std::string(kHelperName) + " for " + HelperAddressText(address));
    }
    const HelperRecord::Entry entry = *own;
    if (const int error = RemoveNeighbour(entry); error != 0) {
        return Refuse(error, "removing neighbour entry " + NeighbourText(entry) + ": " + ErrorText(error));
    }
    return Done("removed " + HelperAddressText(address));
}

HelperResponse HelperCore::RouteAdd(int index, uint32_t address) {
    if (auto refused = CheckTarget(index, address)) {
        return *refused;
    }
    const std::string route = HelperAddressText(address) + "/32";
    if (const HelperRecord::Entry* own = m_record.Find(HelperRecord::Kind::Route, address)) {
        if (own->interfaceIndex == index) {
            return Done("route to " + route + " exists");
        }
        return Refuse(EEXIST, "the route to " + route + " of " + std::string(kHelperName) + " leaves by interface " +
                                  std::to_string(own->interfaceIndex));
    }
    if (m_record.Full()) {
        return Refuse(ENOSPC, "too many entries");
    }
    const HelperRecord::Entry entry{HelperRecord::Kind::Route, index, address, {}};
    const int error = m_system.AddRoute(index, address);
    if (error == EEXIST) {
        return Refuse(EEXIST, "a route to " + route + " exists that " + std::string(kHelperName) + " did not add");
    }
    if (error != 0) {
        return Refuse(error, "adding route " + RouteText(entry) + ": " + ErrorText(error));
    }
    m_record.Put(entry);
    m_log("added route " + RouteText(entry));
    return Done("added route to " + route);
}

int HelperCore::RemoveRoute(const HelperRecord::Entry& entry) {
    const int error = m_system.DeleteRoute(entry.interfaceIndex, entry.address);
    if (error != 0 && error != ESRCH && error != ENOENT) {
        m_log("removing route " + RouteText(entry) + " failed: " + ErrorText(error));
        return error;
    }
    m_log("removed route " + RouteText(entry));
    m_record.Remove(HelperRecord::Kind::Route, entry.address);
    return 0;
}

HelperResponse HelperCore::RouteDel(int index, uint32_t address) {
    const HelperRecord::Entry* own = m_record.Find(HelperRecord::Kind::Route, address);
    if (own == nullptr || own->interfaceIndex != index) {
        return Refuse(ENOENT, "no route of " + std::string(kHelperName) + " to " + HelperAddressText(address) +
                                  "/32 dev " + std::to_string(index));
    }
    const HelperRecord::Entry entry = *own;
    if (const int error = RemoveRoute(entry); error != 0) {
        return Refuse(error, "removing route " + RouteText(entry) + ": " + ErrorText(error));
    }
    return Done("removed route to " + HelperAddressText(address) + "/32");
}

size_t HelperCore::Cleanup() {
    // Routes first, newest first: the reverse of how an installation builds them up.
    const std::vector<HelperRecord::Entry> entries = m_record.Entries();
    size_t removed = 0;
    for (const HelperRecord::Kind kind : {HelperRecord::Kind::Route, HelperRecord::Kind::Neighbour}) {
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            if (entry->kind != kind) {
                continue;
            }
            const int error = kind == HelperRecord::Kind::Route ? RemoveRoute(*entry) : RemoveNeighbour(*entry);
            removed += error == 0 ? 1 : 0;
        }
    }
    return removed;
}
