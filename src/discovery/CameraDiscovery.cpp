#include "CameraDiscovery.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

using Stream = Diagnostics::Stream;
constexpr QEvent::Type kXrmDeviceEvent = static_cast<QEvent::Type>(1131);

}  // namespace

// Carries each XRM answer from the worker to the user-interface thread and blocks the worker until it has
// been handled, like a synchronous window message. Closing it releases a waiting worker at once, so the
// owner can stop the worker from the very thread the worker is waiting for.
class XrmHandover {
  public:
    struct Pending {
        XrmDeviceMessage message;
        bool done = false;
    };

    class Event : public QEvent {
      public:
        Event(std::shared_ptr<XrmHandover> handover, std::shared_ptr<Pending> pending)
            : QEvent(kXrmDeviceEvent), handover(std::move(handover)), pending(std::move(pending)) {}
        std::shared_ptr<XrmHandover> handover;
        std::shared_ptr<Pending> pending;
    };

    // Worker thread.
    void Deliver(const std::shared_ptr<XrmHandover>& self, QObject* receiver, const XrmDeviceMessage& message) {
        auto pending = std::make_shared<Pending>();
        pending->message = message;
        std::unique_lock lock(m_mutex);
        if (m_closed) {
            return;
        }
        QCoreApplication::postEvent(receiver, new Event(self, pending));
        m_cv.wait(lock, [&] { return pending->done || m_closed; });
    }

    // User-interface thread: runs `handle` unless closed, then releases the worker.
    template <typename Handle>
    void Complete(Pending& pending, Handle&& handle) {
        {
            std::lock_guard lock(m_mutex);
            if (m_closed) {
                return;
            }
        }
        handle(pending.message);
        std::lock_guard lock(m_mutex);
        pending.done = true;
        m_cv.notify_all();
    }

    void Close() {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_cv.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_closed = false;
};

CameraDiscovery::Environment CameraDiscovery::DefaultEnvironment(PrivilegedHelper& helper) {
    Environment environment;
    environment.enumerateAdapters = [] { return EnumerateAdapters(); };
    environment.openDhcpSocket = [&helper](uint16_t port) { return OpenDhcpSocket(helper, port); };
    environment.openArpSource = [&helper](std::string* error) -> std::unique_ptr<DatagramSource> {
        RelayOpened opened = OpenArpRelay(helper);
        if (!opened.socket) {
            *error = opened.text.empty() ? std::strerror(opened.error) : opened.text;
        }
        return std::move(opened.socket);
    };
    environment.xrm.localPort = kXrmLocalPort;
    environment.random = TimeSeededRandom();
    return environment;
}

CameraDiscovery::SocketOpenResult CameraDiscovery::OpenDhcpSocket(PrivilegedHelper& helper, uint16_t port) {
    SocketOpenResult result;
    RelayOpened opened = OpenDhcpRelay(helper, port);
    if (!opened.socket) {
        result.failure = SocketOpenResult::Failure::Bind;
        result.error = opened.error;
        return result;
    }
    result.socket = std::move(opened.socket);
    return result;
}

void CameraDiscovery::TimerControl::StartTimer(int periodMs) {
    m_timer.start(periodMs);
}

void CameraDiscovery::TimerControl::StopTimer() {
    m_timer.stop();
}

CameraDiscovery::CameraDiscovery(DiscoveryUi& ui, Diagnostics& diagnostics, Environment environment, QObject* parent)
    : QObject(parent),
      m_ui(ui),
      m_diagnostics(diagnostics),
      m_environment(std::move(environment)),
      m_timerControl(m_requeryQtTimer),
      m_core(DiscoveryCore::Hooks{&ui, [this] { PostBroadcast(); }, &m_timerControl,
                                  m_environment.random ? m_environment.random : TimeSeededRandom()}),
      m_handover(std::make_shared<XrmHandover>()) {
    connect(&m_requeryQtTimer, &QTimer::timeout, this, &CameraDiscovery::OnRequeryTick);
}

CameraDiscovery::~CameraDiscovery() {
    Stop();
}

CameraDiscovery::StartReport CameraDiscovery::Start() {
    StartReport report;
    if (m_started) {
        return report;
    }
    m_started = true;

    auto adapters = m_environment.enumerateAdapters ? m_environment.enumerateAdapters() : std::nullopt;
    // No usable adapter (only loopback, or every interface down) finds no camera either: the user is told so.
    report.adaptersOk = adapters.has_value() && !adapters->empty();
    if (!report.adaptersOk) {
        m_ui.ShowMessage(kAdapterEnumerationFailedText, kAdapterEnumerationFailedCaption);
    }
    m_core.SetAdapters(adapters.value_or(std::vector<AdapterInfo>{}));

    OpenListener(kClientPort, true, report);
    OpenListener(kServerPort, false, report);
    OpenArpListener();

    XrmSearch::Config config = m_environment.xrm;
    config.adapters = m_core.Adapters();
    config.diagnostics = &m_diagnostics;
    int result = 0;
    m_xrm = XrmSearch::Create(std::move(config), &result);
    if (!m_xrm) {
        m_diagnostics.Print(Stream::Err, "XrmSearch create failed %d\n", result);
        report.xrmResult = result;
        return report;
    }
    std::weak_ptr<XrmHandover> handover = m_handover;
    m_xrm->SetCallback([this, handover, &diagnostics = m_diagnostics](int event, const XrmDeviceMessage* message) {
        switch (event) {
            case XrmSearch::kEventAnswer:
                if (auto live = handover.lock(); live && message) {
                    live->Deliver(live, this, *message);
                }
                break;
            case XrmSearch::kEventEnded:
                diagnostics.Print(Stream::Out, "XRM thread stopped\n");
                break;
            case XrmSearch::kEventBroadcastFailed:
                diagnostics.Print(Stream::Out, "broadcast error!!\n");
                break;
            default:
                break;
        }
    });
    result = m_xrm->Start();
    if (result != 0) {
        m_diagnostics.Print(Stream::Err, "XrmSearch start failed %d\n", result);
        m_xrm.reset();
        report.xrmResult = result;
        return report;
    }
    report.xrm = true;
    return report;
}

void CameraDiscovery::OpenListener(uint16_t port, bool client, StartReport& report) {
    SocketOpenResult opened;
    if (m_environment.openDhcpSocket) {
        opened = m_environment.openDhcpSocket(port);
    } else {
        opened.failure = SocketOpenResult::Failure::Bind;
        opened.error = EACCES;
    }
    int& error = client ? report.clientError : report.serverError;
    if (!opened.socket) {
        error = opened.error;
        if (opened.failure == SocketOpenResult::Failure::Bind) {
            m_ui.ShowMessage(std::to_string(opened.error) + " is the error", "bind(sock) failed");
        } else {
            m_ui.ShowMessage("socket() failed", "Error");
        }
        return;
    }
    auto notifier = std::make_unique<QSocketNotifier>(opened.socket->Fd(), QSocketNotifier::Read);
    if (!notifier->isValid()) {
        error = -1;
        char caption[32];
        std::snprintf(caption, sizeof caption, "%d (0x%x)", -1, -1);
        m_ui.ShowMessage("Error on WSAAsyncSelect()", caption);
        return;
    }
    DatagramSource* socket = opened.socket.get();
    connect(notifier.get(), &QSocketNotifier::activated, this,
            [this, socket, client] { ReadDatagram(*socket, client); });
    if (client) {
        m_clientSocket = std::move(opened.socket);
        m_clientNotifier = std::move(notifier);
        report.clientSocket = true;
    } else {
        m_serverSocket = std::move(opened.socket);
        m_serverNotifier = std::move(notifier);
        report.serverSocket = true;
    }
}

void CameraDiscovery::ReadDatagram(DatagramSource& socket, bool client) {
    // A bounded batch per notification: a DHCP storm costs one pass of the event loop per batch, not per
    // packet, and the loop still gets back to the window within a fraction of a millisecond.
    std::array<uint8_t, DiscoveryCore::kDhcpBufferSize> buffer;
    for (int i = 0; i < kDatagramsPerNotification; ++i) {
        buffer.fill(0);
        DatagramSource::Datagram datagram;
        if (const int error = socket.Receive(buffer, &datagram); error != 0) {
            // A source that has ended stays readable: stop listening rather than spin.
            if (error == EPIPE) {
                (client ? m_clientNotifier : m_serverNotifier)->setEnabled(false);
            }
            return;
        }
        const std::span<const uint8_t> bytes(buffer.data(), datagram.length);
        if (client) {
            m_core.HandleClientPacket(bytes, datagram.interface);
        } else {
            m_core.HandleServerPacket(bytes, datagram.interface);
        }
    }
}

// A camera whose server answers its MAC only shows its address in its own ARP announcements; without them the
// list still works, so a missing relay is only a diagnostic line.
void CameraDiscovery::OpenArpListener() {
    if (!m_environment.openArpSource) {
        return;
    }
    std::string error;
    std::unique_ptr<DatagramSource> source = m_environment.openArpSource(&error);
    if (!source) {
        m_diagnostics.Print(Stream::Err, "no ARP packets of cameras: %s\n", error.c_str());
        return;
    }
    auto notifier = std::make_unique<QSocketNotifier>(source->Fd(), QSocketNotifier::Read);
    if (!notifier->isValid()) {
        return;
    }
    connect(notifier.get(), &QSocketNotifier::activated, this, [this] { ReadArp(); });
    m_arpSocket = std::move(source);
    m_arpNotifier = std::move(notifier);
}

void CameraDiscovery::ReadArp() {
    std::array<uint8_t, 64> buffer;  // an Ethernet/IPv4 ARP packet is 28 bytes
    for (int i = 0; i < kDatagramsPerNotification; ++i) {
        DatagramSource::Datagram datagram;
        if (const int error = m_arpSocket->Receive(buffer, &datagram); error != 0) {
            if (error == EPIPE) {
                m_arpNotifier->setEnabled(false);
            }
            return;
        }
        m_core.HandleArp(std::span<const uint8_t>(buffer.data(), datagram.length), datagram.interface.value_or(0));
    }
}

void CameraDiscovery::Stop() {
    m_handover->Close();
    m_xrm.reset();  // posts stop and joins; the worker is never left blocked on this thread
    m_clientNotifier.reset();
    m_serverNotifier.reset();
    m_clientSocket.reset();
    m_serverSocket.reset();
    m_arpNotifier.reset();
    m_arpSocket.reset();
    m_requeryQtTimer.stop();
}

int CameraDiscovery::PostBroadcast() {
    return m_xrm ? m_xrm->PostBroadcast() : -1;
}

void CameraDiscovery::Search() {
    m_core.Table().Clear();
    PostBroadcast();
}

void CameraDiscovery::OnRequeryTick() {
    m_core.HandleRequeryTick();
}

uint16_t CameraDiscovery::XrmLocalPort() const {
    return m_xrm ? m_xrm->LocalPort() : 0;
}

bool CameraDiscovery::event(QEvent* event) {
    if (event->type() == kXrmDeviceEvent) {
        auto* handover = static_cast<XrmHandover::Event*>(event);
        handover->handover->Complete(*handover->pending,
                                     [this](const XrmDeviceMessage& message) { m_core.HandleXrmDevice(message); });
        return true;
    }
    return QObject::event(event);
}
