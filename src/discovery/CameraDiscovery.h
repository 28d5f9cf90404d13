#pragma once

#include "AdapterInfo.h"
#include "Diagnostics.h"
#include "DiscoveryCore.h"
#include "DiscoveryUi.h"
#include "PrivilegedHelper.h"
#include "RelaySocket.h"
#include "UdpSocket.h"
#include "XrmSearch.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class XrmHandover;

// The one discovery object: adapter list, the two DHCP listening sockets (read notification on the Qt
// event loop), the XRM worker and the handlers' shared state. Lives on the user-interface thread, which
// must run a Qt event loop; the main window (GUI) or the headless `list` command owns it.
//
// It owns timer 1000 itself (a QTimer): nobody needs to route ticks here, but OnRequeryTick() is public for
// a caller that drives its own timer.
class CameraDiscovery : public QObject {
    Q_OBJECT
  public:
    static constexpr uint16_t kClientPort = 67;
    static constexpr uint16_t kServerPort = 68;
    static constexpr uint16_t kXrmLocalPort = 9000;
    static constexpr int kReceiveBufferBytes = 1 << 20;
    static constexpr int kDatagramsPerNotification = 64;

    // How a DHCP socket came to be, or at which step it failed.
    struct SocketOpenResult {
        enum class Failure { None, Create, Bind };
        std::unique_ptr<DatagramSource> socket;  // non-blocking, with the arrival interface of each datagram
        Failure failure = Failure::None;
        int error = 0;  // errno of the failure
    };

    // The seams. Defaults: getifaddrs, what the helper receives on 0.0.0.0 ports 67/68, XRM from port 9000 to
    // 255.255.255.255:10000, time-seeded random numbers.
    struct Environment {
        std::function<std::optional<std::vector<AdapterInfo>>()> enumerateAdapters;
        std::function<SocketOpenResult(uint16_t port)> openDhcpSocket;
        // The cameras' ARP packets, from the ARP header on; nothing when they cannot be had (why, in *error).
        std::function<std::unique_ptr<DatagramSource>(std::string* error)> openArpSource;
        XrmSearch::Config xrm;  // adapters and diagnostics are filled in by Start()
        std::function<uint32_t()> random;
    };
    // `helper` must outlive the discovery.
    static Environment DefaultEnvironment(PrivilegedHelper& helper);
    // The cameras' datagrams that the helper receives on 0.0.0.0:port, relayed. A refusal, or a helper that
    // cannot be run, is a bind failure with the helper's errno.
    static SocketOpenResult OpenDhcpSocket(PrivilegedHelper& helper, uint16_t port);

    struct StartReport {
        bool adaptersOk = false;
        bool clientSocket = false;  // port 67 listening
        bool serverSocket = false;  // port 68 listening
        int clientError = 0;        // errno when not listening
        int serverError = 0;
        bool xrm = false;   // worker running
        int xrmResult = 0;  // create/start result when not running
        bool AnyPath() const { return clientSocket || serverSocket || xrm; }
    };

    CameraDiscovery(DiscoveryUi& ui, Diagnostics& diagnostics, Environment environment, QObject* parent = nullptr);
    // Stops the worker without waiting for any user-interface work: a hand-over of an answer that is
    // waiting for this thread is cancelled.
    ~CameraDiscovery() override;

    // Adapter table (its failure message, also when no adapter is usable), both DHCP sockets (every failure message),
    // the XRM worker. Once only.
    StartReport Start();
    // Idempotent; the destructor calls it.
    void Stop();

    // 0; -1 without a worker; -2 queue full.
    int PostBroadcast();
    // The search button: empty the list, post one broadcast. PendingXrmCount and the timer stay.
    void Search();
    void OnRequeryTick();

    int32_t PendingXrmCount() const { return m_core.PendingXrmCount(); }
    DeviceTable& Table() { return m_core.Table(); }
    const std::vector<AdapterInfo>& Adapters() const { return m_core.Adapters(); }
    DiscoveryCore& Core() { return m_core; }
    // Local port of the XRM worker's socket (0 without a worker).
    uint16_t XrmLocalPort() const;

  protected:
    bool event(QEvent* event) override;

  private:
    class TimerControl : public RequeryTimerControl {
      public:
        explicit TimerControl(QTimer& timer) : m_timer(timer) {}
        void StartTimer(int periodMs) override;
        void StopTimer() override;

      private:
        QTimer& m_timer;
    };

    void OpenListener(uint16_t port, bool client, StartReport& report);
    void ReadDatagram(DatagramSource& socket, bool client);
    void OpenArpListener();
    void ReadArp();

    DiscoveryUi& m_ui;
    Diagnostics& m_diagnostics;
    Environment m_environment;
    QTimer m_requeryQtTimer;
    TimerControl m_timerControl;
    DiscoveryCore m_core;
    std::unique_ptr<DatagramSource> m_clientSocket;
    std::unique_ptr<DatagramSource> m_serverSocket;
    std::unique_ptr<QSocketNotifier> m_clientNotifier;
    std::unique_ptr<QSocketNotifier> m_serverNotifier;
    std::unique_ptr<DatagramSource> m_arpSocket;
    std::unique_ptr<QSocketNotifier> m_arpNotifier;
    std::shared_ptr<XrmHandover> m_handover;
    std::unique_ptr<XrmSearch> m_xrm;
    bool m_started = false;
};
