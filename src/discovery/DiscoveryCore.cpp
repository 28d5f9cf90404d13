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
    kOptionMessageType = 53,
};
constexpr uint8_t kDhcpAck = 5;
constexpr size_t kTextLimit = 19;  // model identifier and version are held in 20-byte buffers

constexpr const char* kConvertFailedText = "Convert IP failed";
constexpr const char* kConvertFailedCaption = "Error";

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
    HardwareAddress Chaddr() const {
        HardwareAddress mac;
        std::copy_n(buffer.begin() + kChaddrOffset, mac.size(), mac.begin());
        return mac;
    }
    uint32_t Address(size_t offset) const { return ByteReader(buffer, offset).U32Be().value_or(0); }
};

// Dotted text of the first address in an option; nothing when the option is too short to hold one.
std::optional<std::string> OptionAddress(std::span<const uint8_t> data, size_t index) {
    const auto address = ByteReader(data, index * 4).U32Be();
    if (!address) {
        return std::nullopt;
    }
    return FormatDottedAddress(*address);
}

struct HostNameFacts {
    std::optional<std::string_view> wireless;
    int modelString = 0;  // 0: none
    std::optional<std::string_view> xrm;
};

void ApplyHostName(std::span<const uint8_t> data, HostNameFacts& facts) {
    if (data.empty()) {
        facts.modelString = 0;
        facts.xrm = kYes;
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
    facts.xrm = kYes;
    if (model == "NV4413") {
        facts.wireless = kYes;
        facts.modelString = kModelStringTavix11Plus;
        if (version < std::string_view("0102")) {
            facts.xrm = kNo;
        }
    } else if (model == "QM52x3" || model == "QM52X3") {
        facts.wireless = kYes;
        facts.modelString = kModelStringTavix30W;
    } else if (model == "QM52x2" || model == "QM52X2") {
        facts.wireless = kNo;
        facts.modelString = kModelStringTavix30;
    } else if (model == "NV4412") {
        facts.wireless = kNo;
        facts.modelString = kModelStringTavix10;
        if (version < std::string_view("0105")) {
            facts.xrm = kNo;
        }
    }
}

}  // namespace

DiscoveryCore::DiscoveryCore(Hooks hooks) : m_hooks(std::move(hooks)), m_requery(*m_hooks.timer, m_windowLock) {}

int32_t DiscoveryCore::PendingXrmCount() const {
    std::lock_guard lock(m_windowLock);
    return m_pendingXrmCount;
}

std::optional<int> DiscoveryCore::ArrivalInterface(std::string_view mac) const {
    const auto found = m_arrivalInterfaces.find(std::string(mac));
    if (found == m_arrivalInterfaces.end()) {
        return std::nullopt;
    }
    return found->second;
}

void DiscoveryCore::RememberInterface(const std::string& key, std::optional<int> interface) {
    if (interface) {
        m_arrivalInterfaces[key] = *interface;
    }
}

int DiscoveryCore::HandleClientPacket(std::span<const uint8_t> datagram, std::optional<int> interface) {
    const DhcpPacket packet(datagram);
    const HardwareAddress mac = packet.Chaddr();
    if (!CameraAddressFilter(mac)) {
        return 0;
    }
    const std::string key = FormatHardwareAddress(mac);
    RememberInterface(key, interface);
    const std::string addressText = FormatDottedAddress(packet.Address(kCiaddrOffset));
    const auto address = ParseDottedAddress(addressText);
    if (!address) {
        m_hooks.ui->ShowMessage(kConvertFailedText, kConvertFailedCaption);
        return kConvertFailed;
    }
    if (*address != 0 && !IsOnLocalSubnet(*address, m_adapters)) {
        return 0;
    }

    HostNameFacts facts;
    DhcpOptionWalk walk(packet.received);
    while (const auto option = walk.Next()) {
        if (option->code == kOptionHostName) {
            ApplyHostName(option->data, facts);
        }
    }
    const bool xrm = facts.xrm == kYes;

    const auto row = m_table.Find(key);
    if (!row) {
        DeviceInfo info;
        info.cells[kColumnMac] = key;
        info.cells[kColumnAddress] = addressText;
        info.cells[kColumnAssigned] = xrm ? kAssignedPending : kAssignedNo;
        for (size_t column = kColumnSubnet; column <= kColumnDns2; ++column) {
            info.cells[column] = kNoAddress;
        }
        info.cells[kColumnWireless] = facts.wireless.value_or("");
        if (facts.modelString != 0) {
            info.cells[kColumnModel] = ModelStringText(facts.modelString).value_or("");
        }
        info.cells[kColumnXrmSupport] = facts.xrm.value_or("");
        if (xrm) {
            std::lock_guard lock(m_windowLock);
            ++m_pendingXrmCount;
        }
        m_table.Append(std::move(info));
        m_hooks.postBroadcast();
        return 0;
    }
    if (m_table.Cell(*row, kColumnAssigned) == kAssignedYes) {
        if (xrm) {
            std::lock_guard lock(m_windowLock);
            ++m_pendingXrmCount;
        }
        m_table.SetCell(*row, kColumnAssigned, xrm ? kAssignedPending : kAssignedNo);
        m_table.SetCell(*row, kColumnXrmSupport, facts.xrm.value_or(""));
    }
    return 0;
}

int DiscoveryCore::HandleServerPacket(std::span<const uint8_t> datagram, std::optional<int> interface) {
    const DhcpPacket packet(datagram);
    const HardwareAddress mac = packet.Chaddr();
    if (!CameraAddressFilter(mac)) {
        return 0;
    }
    const std::string key = FormatHardwareAddress(mac);
    RememberInterface(key, interface);
    if (packet.Address(kCiaddrOffset) != 0) {
        return 0;  // a reply to a renewing client
    }
    const std::string addressText = FormatDottedAddress(packet.Address(kYiaddrOffset));
    const auto address = ParseDottedAddress(addressText);
    if (!address) {
        m_hooks.ui->ShowMessage(kConvertFailedText, kConvertFailedCaption);
        return kConvertFailed;
    }
    if (!IsOnLocalSubnet(*address, m_adapters)) {
        return 0;
    }

    std::string mask(kNoAddress), gateway(kNoAddress), dns1(kNoAddress), dns2(kNoAddress);
    bool acknowledged = false;
    DhcpOptionWalk walk(packet.received);
    while (const auto option = walk.Next()) {
        switch (option->code) {
            case kOptionSubnetMask:
                if (auto text = OptionAddress(option->data, 0)) {
                    mask = std::move(*text);
                }
                break;
            case kOptionRouter:
                if (auto text = OptionAddress(option->data, 0)) {
                    gateway = std::move(*text);
                }
                break;
            case kOptionNameServers:
                if (auto text = OptionAddress(option->data, 0)) {
                    dns1 = std::move(*text);
                }
                if (auto text = OptionAddress(option->data, 1)) {
                    dns2 = std::move(*text);
                }
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
    const std::array<std::string_view, 4> addresses =
        acknowledged ? std::array<std::string_view, 4>{mask, gateway, dns1, dns2}
                     : std::array<std::string_view, 4>{kNoAddress, kNoAddress, kNoAddress, kNoAddress};

    const auto row = m_table.Find(key);
    if (!row) {
        DeviceInfo info;
        info.cells[kColumnMac] = key;
        info.cells[kColumnAddress] = addressText;
        info.cells[kColumnAssigned] = kAssignedNo;
        for (size_t i = 0; i < addresses.size(); ++i) {
            info.cells[kColumnSubnet + i] = addresses[i];
        }
        m_table.Append(std::move(info));
        return 0;
    }
    m_table.SetCell(*row, kColumnAddress, addressText);
    if (acknowledged && m_table.Cell(*row, kColumnXrmSupport) == kYes) {
        m_table.SetCell(*row, kColumnAssigned, kAssignedPending);
        m_requery.Arm(m_hooks.random());
    }
    for (size_t i = 0; i < addresses.size(); ++i) {
        m_table.SetCell(*row, kColumnSubnet + i, addresses[i]);
    }
    return 0;
}

void DiscoveryCore::HandleXrmDevice(const XrmDeviceMessage& message) {
    if (!CameraAddressFilter(message.mac)) {
        return;
    }
    const std::string key = FormatHardwareAddress(message.mac);
    const bool wireless = message.model.size() > 5 && (message.model[5] == '3' || message.model[5] == '4');
    const std::string_view wirelessText = wireless ? kYes : kNo;
    // A camera without an address answers too: it still needs one, so its row stays installable.
    const std::string_view assigned = ParseDottedAddress(message.address).value_or(0) == 0 ? kAssignedNo : kAssignedYes;
    const auto row = m_table.Find(key);
    if (!row) {
        DeviceInfo info;
        info.cells[kColumnMac] = key;
        info.cells[kColumnAddress] = message.address;
        info.cells[kColumnAssigned] = assigned;
        info.cells[kColumnWireless] = wirelessText;
        info.cells[kColumnXrmSupport] = kYes;
        m_table.Append(std::move(info));
        return;
    }
    {
        std::lock_guard lock(m_windowLock);
        if (m_pendingXrmCount <= 0) {
            m_requery.DisarmLocked();
        }
    }
    m_table.SetCell(*row, kColumnAddress, message.address);
    // The answer logic reads this cell into a 17-byte buffer.
    if (m_table.Cell(*row, kColumnAssigned).substr(0, 16) == kAssignedPending) {
        std::lock_guard lock(m_windowLock);
        --m_pendingXrmCount;
    }
    m_table.SetCell(*row, kColumnAssigned, assigned);
    m_table.SetCell(*row, kColumnXrmSupport, kYes);
    m_table.SetCell(*row, kColumnWireless, wirelessText);
}

void DiscoveryCore::HandleRequeryTick() {
    m_requery.Tick(m_hooks.postBroadcast);
}
