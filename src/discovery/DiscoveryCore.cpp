#include "DiscoveryCore.h"

#include "ByteReader.h"
#include "CameraAddressFilter.h"
#include "DhcpOptionWalk.h"
#include "DottedAddress.h"
#include "LocalSubnet.h"
#include "ModelStrings.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// Fixed BOOTP fields (RFC 2131 offsets).
constexpr size_t kCiaddrOffset = 12;
constexpr size_t kYiaddrOffset = 16;
constexpr size_t kChaddrOffset = 28;

enum DhcpOption : uint8_t {
    kOptionSubnetMask = 1,
    kOptionRouter = 3,
    kOptionNameServers = 6,
    kOptionHostName = 12,
    kOptionRequestedAddress = 50,
    kOptionMessageType = 53,
};
constexpr uint8_t kDhcpDiscover = 1;
constexpr uint8_t kDhcpRequest = 3;
constexpr uint8_t kDhcpAck = 5;
constexpr uint8_t kDhcpNak = 6;
constexpr size_t kTextLimit = 19;  // model identifier and version are held in 20-byte buffers

// The fixed fields as the handlers see them: read from a zero-filled copy of the first 548 bytes, so a short
// datagram reads as zeros where it has no bytes. Options are walked over the received bytes only.
struct DhcpPacket {
    std::array<uint8_t, DiscoveryCore::kDhcpBufferSize> buffer{};
    std::span<const uint8_t> received;

    explicit DhcpPacket(std::span<const uint8_t> datagram) {
        const size_t length = std::min(datagram.size(), buffer.size());
        std::copy_n(datagram.begin(), length, buffer.begin());
        received = std::span<const uint8_t>(buffer.data(), length);
    }
    MacAddress Chaddr() const {
        MacAddress::Bytes mac;
        std::copy_n(buffer.begin() + kChaddrOffset, mac.size(), mac.begin());
        return MacAddress(mac);
    }
    uint32_t Address(size_t offset) const { return ByteReader(buffer, offset).U32Be().value_or(0); }
};

// The address at `index` in an option; nothing when the option is too short to hold it.
std::optional<uint32_t> OptionAddress(std::span<const uint8_t> data, size_t index) {
    return ByteReader(data, index * 4).U32Be();
}

struct HostNameFacts {
    std::optional<bool> wireless;
    int modelString = 0;  // 0: none
    std::optional<bool> xrm;
};

void ApplyHostName(std::span<const uint8_t> data, HostNameFacts& facts) {
    if (data.empty()) {
        facts.modelString = 0;
        facts.xrm = true;
        return;
    }
    std::string_view name(reinterpret_cast<const char*>(data.data()), data.size());
    name = name.substr(0, name.find('\0'));  // the name is a C string in the packet
    const size_t firstDash = name.find('-');
    const size_t lastDash = name.rfind('-');
    // Without a "-" the whole name is the identifier and the version is empty.
    const std::string_view model = name.substr(0, std::min(firstDash, name.size())).substr(0, kTextLimit);
    const std::string_view version =
        lastDash == std::string_view::npos ? std::string_view{} : name.substr(lastDash + 1).substr(0, kTextLimit);
    facts.xrm = true;
    if (model == "NV4413") {
        facts.wireless = true;
        facts.modelString = kModelStringTavix11Plus;
        if (version < std::string_view("0102")) {
            facts.xrm = false;
        }
    } else if (model == "QM52x3" || model == "QM52X3") {
        facts.wireless = true;
        facts.modelString = kModelStringTavix30W;
    } else if (model == "QM52x2" || model == "QM52X2") {
        facts.wireless = false;
        facts.modelString = kModelStringTavix30;
    } else if (model == "NV4412") {
        facts.wireless = false;
        facts.modelString = kModelStringTavix10;
        if (version < std::string_view("0105")) {
            facts.xrm = false;
        }
    }
}

// The message type (option 53) of a datagram; 0 without one.
uint8_t MessageType(std::span<const uint8_t> received) {
    uint8_t type = 0;
    DhcpOptionWalk walk(received);
    while (const auto option = walk.Next()) {
        if (option->code == kOptionMessageType && !option->data.empty()) {
            type = option->data[0];
        }
    }
    return type;
}

// ARP over Ethernet for IPv4 (RFC 826).
constexpr size_t kArpLength = 28;
constexpr uint32_t kArpEthernetIpv4 = 0x00010800;  // hardware type 1, protocol type 0x0800
constexpr uint16_t kArpAddressLengths = 0x0604;

}  // namespace

DiscoveryCore::DiscoveryCore(Hooks hooks) : m_hooks(std::move(hooks)), m_requery(*m_hooks.timer, m_windowLock) {}

int32_t DiscoveryCore::PendingXrmCount() const {
    std::lock_guard lock(m_windowLock);
    return m_pendingXrmCount;
}

void DiscoveryCore::RememberInterface(const MacAddress& mac, std::optional<int> interface) {
    if (!interface) {
        return;
    }
    m_heardOn[mac] = *interface;
    if (const auto row = m_table.Find(mac)) {
        CameraRecord camera = m_table.Record(*row);
        camera.arrivalInterface = interface;
        m_table.Update(*row, camera);
    }
}

CameraRecord DiscoveryCore::NewRecord(const MacAddress& mac, uint32_t address, Assignment assigned) const {
    CameraRecord camera;
    camera.mac = mac;
    camera.address = address;
    camera.assigned = assigned;
    if (const auto heard = m_heardOn.find(mac); heard != m_heardOn.end()) {
        camera.arrivalInterface = heard->second;
    }
    return camera;
}

void DiscoveryCore::CountPending(int change) {
    std::lock_guard lock(m_windowLock);
    m_pendingXrmCount += change;
}

int DiscoveryCore::HandleClientPacket(std::span<const uint8_t> datagram, std::optional<int> interface) {
    const DhcpPacket packet(datagram);
    const MacAddress mac = packet.Chaddr();
    if (!CameraAddressFilter(mac)) {
        return 0;
    }
    RememberInterface(mac, interface);
    const uint32_t address = packet.Address(kCiaddrOffset);
    if (address != 0 && !IsOnLocalSubnet(address, m_adapters)) {
        return 0;
    }

    HostNameFacts facts;
    uint8_t type = 0;
    std::optional<uint32_t> requested;
    DhcpOptionWalk walk(packet.received);
    while (const auto option = walk.Next()) {
        if (option->code == kOptionHostName) {
            ApplyHostName(option->data, facts);
        } else if (option->code == kOptionMessageType && !option->data.empty()) {
            type = option->data[0];
        } else if (option->code == kOptionRequestedAddress) {
            requested = OptionAddress(option->data, 0);
        }
    }
    if (type == kDhcpDiscover) {
        m_learned.erase(mac);  // a new exchange: whatever follows tells the address
    }
    const bool xrm = facts.xrm == true;
    const Assignment assigned = xrm ? Assignment::Pending : Assignment::No;

    const auto row = m_table.Find(mac);
    if (!row) {
        CameraRecord camera = NewRecord(mac, address, assigned);
        camera.mask = camera.gateway = camera.dns1 = camera.dns2 = 0;
        camera.wireless = facts.wireless;
        camera.model = facts.modelString;
        camera.xrmSupport = facts.xrm;
        if (xrm) {
            CountPending(+1);
        }
        m_table.Append(camera);
        m_hooks.postBroadcast();
    } else {
        CameraRecord camera = m_table.Record(*row);
        if (camera.assigned == Assignment::Yes) {
            if (xrm) {
                CountPending(+1);
            }
            camera.assigned = assigned;
            camera.xrmSupport = facts.xrm;
            m_table.Update(*row, camera);
        }
    }
    // A selecting or rebooting client names the address it asks for; a renewing one (ciaddr set) does not.
    if (type == kDhcpRequest && address == 0 && requested && *requested != 0) {
        Learn(mac, *requested, true);
    }
    return 0;
}

void DiscoveryCore::Learn(const MacAddress& mac, uint32_t address, bool fromRequest) {
    Learned& learned = m_learned[mac];
    const auto row = m_table.Find(mac);
    if (learned.acknowledged || !row || !IsOnLocalSubnet(address, m_adapters)) {
        return;
    }
    CameraRecord camera = m_table.Record(*row);
    if (fromRequest) {
        if (learned.requested == 0) {
            learned.beforeRequest = camera.address;
        }
        learned.requested = address;
    } else {
        learned.requested = 0;  // the camera holds it: a NAK for an earlier request no longer applies
    }
    camera.address = address;
    m_table.Update(*row, camera);
}

void DiscoveryCore::HandleArp(std::span<const uint8_t> packet, int interface) {
    if (packet.size() < kArpLength) {
        return;
    }
    ByteReader reader(packet);  // every read below lies inside the first 28 bytes
    const uint32_t types = reader.U32Be().value_or(0);
    const uint16_t lengths = static_cast<uint16_t>(reader.U32Be().value_or(0) >> 16);  // then the operation
    MacAddress::Bytes sender{};
    const auto senderBytes = reader.Bytes(sender.size()).value_or(std::span<const uint8_t>{});
    std::copy(senderBytes.begin(), senderBytes.end(), sender.begin());
    const uint32_t senderAddress = reader.U32Be().value_or(0);
    reader.Bytes(sender.size());  // target hardware address: unknown in a probe or request
    const uint32_t targetAddress = reader.U32Be().value_or(0);
    const MacAddress mac(sender);
    if (types != kArpEthernetIpv4 || lengths != kArpAddressLengths || !CameraAddressFilter(mac)) {
        return;
    }
    RememberInterface(mac, interface);
    const bool announcement = senderAddress == targetAddress;
    const bool probe = senderAddress == 0;
    if ((announcement || probe) && targetAddress != 0) {
        Learn(mac, targetAddress, false);
    }
}

int DiscoveryCore::HandleServerPacket(std::span<const uint8_t> datagram, std::optional<int> interface) {
    const DhcpPacket packet(datagram);
    const MacAddress mac = packet.Chaddr();
    if (!CameraAddressFilter(mac)) {
        return 0;
    }
    RememberInterface(mac, interface);
    if (MessageType(packet.received) == kDhcpNak) {
        // Servers broadcast their refusals: the address the camera asked for is not the one it holds.
        Learned& learned = m_learned[mac];
        const auto row = m_table.Find(mac);
        if (learned.requested != 0 && row && m_table.Record(*row).address == learned.requested) {
            CameraRecord camera = m_table.Record(*row);
            camera.address = learned.beforeRequest;
            m_table.Update(*row, camera);
        }
        learned.requested = 0;
    }
    if (packet.Address(kCiaddrOffset) != 0) {
        return 0;  // a reply to a renewing client
    }
    const uint32_t address = packet.Address(kYiaddrOffset);
    if (!IsOnLocalSubnet(address, m_adapters)) {
        return 0;
    }

    uint32_t mask = 0, gateway = 0, dns1 = 0, dns2 = 0;
    bool acknowledged = false;
    DhcpOptionWalk walk(packet.received);
    while (const auto option = walk.Next()) {
        switch (option->code) {
            case kOptionSubnetMask:
                mask = OptionAddress(option->data, 0).value_or(mask);
                break;
            case kOptionRouter:
                gateway = OptionAddress(option->data, 0).value_or(gateway);
                break;
            case kOptionNameServers:
                dns1 = OptionAddress(option->data, 0).value_or(dns1);
                dns2 = OptionAddress(option->data, 1).value_or(dns2);
                break;
            case kOptionMessageType:
                if (!option->data.empty()) {
                    acknowledged = option->data[0] == kDhcpAck;
                }
                break;
            default:
                break;
        }
    }
    // Only an acknowledgement's settings are the camera's.
    if (!acknowledged) {
        mask = gateway = dns1 = dns2 = 0;
    } else {
        m_learned[mac] = Learned{.acknowledged = true};
    }

    const auto row = m_table.Find(mac);
    CameraRecord camera = row ? m_table.Record(*row) : NewRecord(mac, address, Assignment::No);
    camera.address = address;
    camera.mask = mask;
    camera.gateway = gateway;
    camera.dns1 = dns1;
    camera.dns2 = dns2;
    if (!row) {
        m_table.Append(camera);
        return 0;
    }
    if (acknowledged && camera.xrmSupport == true) {
        camera.assigned = Assignment::Pending;
        m_requery.Arm(m_hooks.random());
    }
    m_table.Update(*row, camera);
    return 0;
}

void DiscoveryCore::HandleXrmDevice(const XrmDeviceMessage& message) {
    if (!CameraAddressFilter(message.mac)) {
        return;
    }
    const bool wireless = message.model.size() > 5 && (message.model[5] == '3' || message.model[5] == '4');
    const uint32_t address = ParseDottedAddress(message.address).value_or(0);
    // A camera without an address answers too: it still needs one, so its row stays installable.
    const Assignment assigned = address == 0 ? Assignment::No : Assignment::Yes;
    const auto row = m_table.Find(message.mac);
    if (!row) {
        CameraRecord camera = NewRecord(message.mac, address, assigned);
        camera.wireless = wireless;
        camera.xrmSupport = true;
        m_table.Append(camera);
        return;
    }
    {
        std::lock_guard lock(m_windowLock);
        if (m_pendingXrmCount <= 0) {
            m_requery.DisarmLocked();
        }
    }
    CameraRecord camera = m_table.Record(*row);
    if (camera.assigned == Assignment::Pending) {
        CountPending(-1);
    }
    camera.address = address;
    camera.assigned = assigned;
    camera.xrmSupport = true;
    camera.wireless = wireless;
    m_table.Update(*row, camera);
}

void DiscoveryCore::HandleRequeryTick() {
    m_requery.Tick(m_hooks.postBroadcast);
}
