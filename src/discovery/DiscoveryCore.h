#pragma once

#include "AdapterInfo.h"
#include "DeviceTable.h"
#include "DiscoveryUi.h"
#include "XrmProtocol.h"
#include "XrmRequeryTimer.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The discovery handlers and the state they share, without sockets, threads or Qt: the device table, the
// adapter list, PendingXrmCount, the re-query timer and the window lock. Every handler runs on the thread
// that owns the table. CameraDiscovery wraps it with the real sockets and the XRM worker; tests and the
// benchmark feed it datagrams directly.
class DiscoveryCore {
  public:
    static constexpr size_t kDhcpBufferSize = 548;
    static constexpr int kConvertFailed = -1;

    struct Hooks {
        DiscoveryUi* ui = nullptr;             // required
        std::function<void()> postBroadcast;   // one XRM broadcast; required
        RequeryTimerControl* timer = nullptr;  // required
        std::function<uint32_t()> random;      // re-query periods; required
    };

    explicit DiscoveryCore(Hooks hooks);

    // Port 67 (client messages). 0, or kConvertFailed after telling the user "Convert IP failed".
    // `interface`: the arrival interface, remembered for the camera when the packet passes the filter.
    int HandleClientPacket(std::span<const uint8_t> datagram, std::optional<int> interface = {});
    // Port 68 (server messages). Same results.
    int HandleServerPacket(std::span<const uint8_t> datagram, std::optional<int> interface = {});
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

    // The interface index on which this camera's DHCP packets last arrived (key = column 0 text).
    std::optional<int> ArrivalInterface(std::string_view mac) const;

  private:
    void RememberInterface(const std::string& key, std::optional<int> interface);

    Hooks m_hooks;
    DeviceTable m_table;
    std::vector<AdapterInfo> m_adapters;
    mutable std::mutex m_windowLock;
    int32_t m_pendingXrmCount = 0;
    XrmRequeryTimer m_requery;
    std::unordered_map<std::string, int> m_arrivalInterfaces;
};
