#pragma once

#include "AdapterInfo.h"
#include "DeviceTable.h"
#include "DiscoveryUi.h"
#include "XrmProtocol.h"
#include "XrmRequeryTimer.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The discovery handlers and the state they share, without sockets, threads or Qt: the device table, the
// adapter list, PendingXrmCount, the re-query timer and the window lock. Every handler runs on the thread
// that owns the table. CameraDiscovery wraps it with the real sockets and the XRM worker; tests and the
// benchmark feed it datagrams directly.
class DiscoveryCore {
  public:
    static constexpr size_t kDhcpBufferSize = 548;

    struct Hooks {
        DiscoveryUi* ui = nullptr;             // required
        std::function<void()> postBroadcast;   // one XRM broadcast; required
        RequeryTimerControl* timer = nullptr;  // required
        std::function<uint32_t()> random;      // re-query periods; required
    };

    explicit DiscoveryCore(Hooks hooks);

    // Port 67 (client messages). Returns 0.
    // `interface`: the arrival interface, remembered for the camera when the packet passes the filter.
    int HandleClientPacket(std::span<const uint8_t> datagram, std::optional<int> interface = {});
    // Port 68 (server messages). Returns 0.
    int HandleServerPacket(std::span<const uint8_t> datagram, std::optional<int> interface = {});
    // One ARP packet from its ARP header on (Ethernet/IPv4, 28 bytes; longer packets are read up to there,
    // shorter ones or other hardware/protocol types are ignored). An announcement (sender address equals
    // target address) or a probe (sender address 0.0.0.0) from a listed camera gives its row the address,
    // unless the camera's acknowledgement has been seen since its last DHCPDISCOVER.
    void HandleArp(std::span<const uint8_t> packet, int interface);
    // One XRM answer (message 1131). An answer with address 0.0.0.0 leaves the row "No": it can be installed.
    void HandleXrmDevice(const XrmDeviceMessage& message);
    // Timer 1000.
    void HandleRequeryTick();

    DeviceTable& Table() { return m_table; }
    const DeviceTable& Table() const { return m_table; }
    void SetAdapters(std::vector<AdapterInfo> adapters) { m_adapters = std::move(adapters); }
    const std::vector<AdapterInfo>& Adapters() const { return m_adapters; }

    int32_t PendingXrmCount() const;
    const XrmRequeryTimer& RequeryTimer() const { return m_requery; }

  private:
    // Into the camera's row, and kept for a camera not (or no longer) listed, whose row may come later.
    void RememberInterface(const MacAddress& mac, std::optional<int> interface);
    CameraRecord NewRecord(const MacAddress& mac, uint32_t address, Assignment assigned) const;
    void CountPending(int change);
    // The address a camera told in its own broadcasts, for its row while no acknowledgement has been seen.
    void Learn(const MacAddress& mac, uint32_t address, bool fromRequest);

    Hooks m_hooks;
    DeviceTable m_table;
    std::vector<AdapterInfo> m_adapters;
    mutable std::mutex m_windowLock;
    int32_t m_pendingXrmCount = 0;
    XrmRequeryTimer m_requery;
    std::map<MacAddress, int> m_heardOn;
    // Per camera, since its last DHCPDISCOVER.
    struct Learned {
        bool acknowledged = false;   // an ACK was seen: it alone fills the row
        uint32_t requested = 0;      // option 50 of its last DHCPREQUEST, until a DHCPNAK
        uint32_t beforeRequest = 0;  // the row's address before that request gave it one
    };
    std::map<MacAddress, Learned> m_learned;
};
