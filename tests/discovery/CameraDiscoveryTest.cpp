#include "CameraDiscovery.h"
#include "DhcpPacket.h"
#include "LoopbackPeer.h"
#include "QtApp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <net/if.h>
#include <cerrno>
#include <map>

using namespace std::chrono_literals;

namespace {

struct RecordingUi : DiscoveryUi {
    void ShowMessage(std::string_view text, std::string_view caption) override {
        messages.push_back(std::string(caption) + ": " + std::string(text));
    }
    std::vector<std::string> messages;
};

class CameraDiscoveryTest : public testing::Test {
  protected:
    static void SetUpTestSuite() { EnsureQtApp(); }

    // DHCP sockets on free loopback ports, the XRM search towards the test's camera.
    CameraDiscovery::Environment LoopbackEnvironment() {
        CameraDiscovery::Environment environment;
        environment.enumerateAdapters = [] { return std::vector<AdapterInfo>{{"127.0.0.1", "255.0.0.0", "lo", 0}}; };
        environment.openDhcpSocket = [this](uint16_t port) {
            CameraDiscovery::SocketOpenResult result;
            int error = 0;
            std::unique_ptr<UdpSocket> socket = UdpSocket::Create(&error);
            socket->EnablePacketInfo();
            socket->SetReceiveBuffer(CameraDiscovery::kReceiveBufferBytes);
            EXPECT_EQ(socket->Bind(kLoopback, 0), 0);
            ports[port] = socket->LocalPort();
            result.socket = std::move(socket);
            return result;
        };
        environment.openArpSource = [this](std::string*) -> std::unique_ptr<DatagramSource> {
            int error = 0;
            std::unique_ptr<UdpSocket> socket = UdpSocket::Create(&error);
            EXPECT_EQ(socket->Bind(kLoopback, 0), 0);
            arpPort = socket->LocalPort();
            return socket;
        };
        environment.xrm.localPort = 0;
        environment.xrm.destination = kLoopback;
        environment.xrm.destinationPort = camera.Port();
        environment.random = [] { return 1600u; };
        return environment;
    }

    template <typename Predicate>
    static bool SpinUntil(Predicate done, int timeoutMs = 2000) {
        QElapsedTimer timer;
        timer.start();
        while (!done()) {
            if (timer.elapsed() > timeoutMs) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QTest::qWait(5);
        }
        return true;
    }

    RecordingUi ui;
    RecordingDiagnostics diagnostics;
    LoopbackPeer camera;
    LoopbackPeer sender;
    std::map<uint16_t, uint16_t> ports;
    uint16_t arpPort = 0;
};

}  // namespace

TEST_F(CameraDiscoveryTest, DhcpSightingLeadsToAnXrmAnswerThatMarksTheRowYes) {
    CameraDiscovery discovery(ui, diagnostics, LoopbackEnvironment());
    const auto report = discovery.Start();
    EXPECT_TRUE(report.adaptersOk && report.clientSocket && report.serverSocket && report.xrm);
    EXPECT_TRUE(ui.messages.empty());

    sender.Send(DhcpPacket(1).Mac(kCameraMac).Cookie().HostName("NV4413-0102").End().Bytes(), ports[67]);
    ASSERT_TRUE(SpinUntil([&] { return discovery.Table().RowCount() == 1; }));
    EXPECT_EQ(discovery.Table().Cell(0, kColumnAssigned), "------");
    EXPECT_EQ(discovery.PendingXrmCount(), 1);
    EXPECT_EQ(discovery.Table().Record(0).arrivalInterface, static_cast<int>(if_nametoindex("lo")));

    // The new row posted one broadcast; answer it.
    uint16_t workerPort = 0;
    std::optional<std::vector<uint8_t>> query;
    for (int copy = 0; copy < 3; ++copy) {
        query = camera.Receive(2000, &workerPort);
        ASSERT_TRUE(query);
    }
    camera.Send(XrmRecord(IdentifierOf(*query), kCameraMac, "NV4413"), workerPort);
    ASSERT_TRUE(SpinUntil([&] { return discovery.Table().Cell(0, kColumnAssigned) == "Yes"; }));
    EXPECT_EQ(discovery.Table().Cell(0, kColumnAddress), "192.168.0.77");
    EXPECT_EQ(discovery.Table().Cell(0, kColumnWireless), "YES");
    EXPECT_EQ(discovery.PendingXrmCount(), 0);
    EXPECT_TRUE(camera.Receive(2000));  // the acknowledgement

    // Port 68 on the same loop; loopback is the adapter here, so 127.x addresses are local.
    sender.Send(DhcpPacket(2).Mac(kOtherCameraMac).Yiaddr(0x7F000009).Cookie().MessageType(5).End().Bytes(), ports[68]);
    ASSERT_TRUE(SpinUntil([&] { return discovery.Table().RowCount() == 2; }));
    EXPECT_EQ(discovery.Table().Cell(1, kColumnAddress), "127.0.0.9");

    // A camera whose acknowledgement went to its MAC: its ARP announcement names the address it holds.
    sender.Send(DhcpPacket(1).Mac(kThirdCameraMac).Cookie().MessageType(1).End().Bytes(), ports[67]);
    ASSERT_TRUE(SpinUntil([&] { return discovery.Table().RowCount() == 3; }));
    std::vector<uint8_t> announcement{0, 1, 8, 0, 6, 4, 0, 1};
    announcement.insert(announcement.end(), kThirdCameraMac.begin(), kThirdCameraMac.end());
    announcement.insert(announcement.end(), {127, 0, 0, 30, 0, 0, 0, 0, 0, 0, 127, 0, 0, 30});
    sender.Send(announcement, arpPort);
    EXPECT_TRUE(SpinUntil([&] { return discovery.Table().Cell(2, kColumnAddress) == "127.0.0.30"; }));
}

TEST_F(CameraDiscoveryTest, EveryStartFailureIsToldAndReported) {
    CameraDiscovery::Environment environment = LoopbackEnvironment();
    environment.enumerateAdapters = [] { return std::optional<std::vector<AdapterInfo>>(); };
    environment.openDhcpSocket = [](uint16_t port) {
        CameraDiscovery::SocketOpenResult result;
        result.failure = port == 67 ? CameraDiscovery::SocketOpenResult::Failure::Create
                                    : CameraDiscovery::SocketOpenResult::Failure::Bind;
        result.error = port == 67 ? EMFILE : EACCES;
        return result;
    };
    LoopbackPeer occupied;
    environment.xrm.localPort = occupied.Port();
    CameraDiscovery discovery(ui, diagnostics, environment);
    const auto report = discovery.Start();
    EXPECT_FALSE(report.AnyPath());
    EXPECT_FALSE(report.adaptersOk);
    EXPECT_EQ(report.serverError, EACCES);
    EXPECT_EQ(report.xrmResult, -4);
    EXPECT_EQ(ui.messages, (std::vector<std::string>{"Error: Get computer network info failed",
                                                     "Error: socket() failed", "bind(sock) failed: 13 is the error"}));
    EXPECT_EQ(discovery.PostBroadcast(), -1);
    EXPECT_TRUE(discovery.Adapters().empty());
}

TEST_F(CameraDiscoveryTest, NoUsableAdapterIsToldAsAFailedEnumeration) {
    for (const bool enumerated : {false, true}) {
        CameraDiscovery::Environment environment = LoopbackEnvironment();
        environment.enumerateAdapters = [enumerated] {
            return enumerated ? std::optional<std::vector<AdapterInfo>>(std::vector<AdapterInfo>{}) : std::nullopt;
        };
        ui.messages.clear();
        CameraDiscovery discovery(ui, diagnostics, environment);
        const auto report = discovery.Start();
        EXPECT_FALSE(report.adaptersOk) << enumerated;
        EXPECT_TRUE(report.xrm) << enumerated;  // the search itself still runs
        EXPECT_EQ(ui.messages, std::vector<std::string>{"Error: Get computer network info failed"}) << enumerated;
    }
}

TEST_F(CameraDiscoveryTest, DestructionReleasesAWorkerWaitingToHandOverAnAnswer) {
    auto discovery = std::make_unique<CameraDiscovery>(ui, diagnostics, LoopbackEnvironment());
    ASSERT_TRUE(discovery->Start().xrm);
    ASSERT_EQ(discovery->PostBroadcast(), 0);
    uint16_t workerPort = 0;
    std::optional<std::vector<uint8_t>> query;
    for (int copy = 0; copy < 3; ++copy) {
        query = camera.Receive(2000, &workerPort);
        ASSERT_TRUE(query);
    }
    camera.Send(XrmRecord(IdentifierOf(*query), kCameraMac, "QM52X3"), workerPort);
    // No event processing: the worker is now blocked in the hand-over, waiting for this thread.
    std::this_thread::sleep_for(300ms);
    QElapsedTimer timer;
    timer.start();
    discovery.reset();
    EXPECT_LT(timer.elapsed(), 1000);
    QCoreApplication::processEvents();  // the stale hand-over event is gone with its receiver
    EXPECT_NE(diagnostics.Text(Diagnostics::Stream::Out).find("XRM thread stopped\n"), std::string::npos);
}

TEST_F(CameraDiscoveryTest, RequeryTimerRepeatsTheBroadcast) {
    CameraDiscovery discovery(ui, diagnostics, LoopbackEnvironment());
    ASSERT_TRUE(discovery.Start().xrm);
    sender.Send(DhcpPacket(1).Mac(kCameraMac).Cookie().HostName("QM52X3-1").End().Bytes(), ports[67]);
    ASSERT_TRUE(SpinUntil([&] { return discovery.Table().RowCount() == 1; }));
    for (int copy = 0; copy < 3; ++copy) {
        ASSERT_TRUE(camera.Receive(2000));
    }
    sender.Send(DhcpPacket(2).Mac(kCameraMac).Yiaddr(0x7F000005).Cookie().MessageType(5).End().Bytes(), ports[68]);
    ASSERT_TRUE(SpinUntil([&] { return discovery.Core().RequeryTimer().Armed(); }));
    EXPECT_EQ(discovery.Core().RequeryTimer().PeriodMs(), 1600);
    // Drive the tick directly rather than waiting out 1.6 s.
    discovery.OnRequeryTick();
    for (int copy = 0; copy < 3; ++copy) {
        ASSERT_TRUE(camera.Receive(2000));
    }
    EXPECT_EQ(discovery.Core().RequeryTimer().PeriodMs(), 3200);
    discovery.Search();
    EXPECT_EQ(discovery.Table().RowCount(), 0u);
    EXPECT_EQ(discovery.PendingXrmCount(), 1);
}

TEST_F(CameraDiscoveryTest, EveryDatagramOfABurstBecomesItsRowWhateverThePacketBeforeIt) {
    CameraDiscovery discovery(ui, diagnostics, LoopbackEnvironment());
    ASSERT_TRUE(discovery.Start().clientSocket);
    // More than one notification's batch, all waiting before the event loop runs; short packets follow long
    // ones, so a byte left over from the packet before would change the row.
    constexpr int kCameras = 3 * CameraDiscovery::kDatagramsPerNotification + 7;
    for (int i = 0; i < kCameras; ++i) {
        std::array<uint8_t, 6> mac{0x02, 0x5E, 0xA3, 0x7D, 0x00, static_cast<uint8_t>(i)};
        DhcpPacket packet(1);
        packet.Mac(mac).Cookie();
        if (i % 2 == 0) {
            packet.HostName("QM52X3-0200");
        }
        sender.Send(packet.End().Bytes(), ports[67]);
    }
    ASSERT_TRUE(SpinUntil([&] { return discovery.Table().RowCount() == kCameras; }));
    for (int i = 0; i < kCameras; ++i) {
        const std::string wireless = discovery.Table().Cell(static_cast<size_t>(i), kColumnWireless);
        EXPECT_EQ(wireless, i % 2 == 0 ? "YES" : "") << i;
    }
}
