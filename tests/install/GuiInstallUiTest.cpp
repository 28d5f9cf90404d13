#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QTest>
#include <QTreeView>

#include <atomic>
#include <functional>
#include <iterator>
#include <memory>
#include <thread>

#include "AppTestSupport.h"
#include "CCameraSetupDlg.h"
#include "CMessageDlg.h"
#include "Diagnostics.h"
#include "GuiInstallUi.h"
#include "InstallSession.h"
#include "InvokeBlocking.h"

namespace {

const MacAddress kFirst({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC7});
const MacAddress kSecond({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC8});
constexpr uint32_t kNewAddress = 0x0AD50732;  // 10.213.7.50

CameraRecord Row(const MacAddress& mac) {
    CameraRecord camera;
    camera.mac = mac;
    camera.mask = 0xFFFFFF00;
    camera.gateway = camera.dns1 = camera.dns2 = 0;
    camera.wireless = false;
    camera.model = 102;
    camera.xrmSupport = false;
    return camera;
}

class GuiInstallUiTest : public testing::Test {
  protected:
    void SetUp() override {
        CCameraSetupDlg::Seams seams;
        seams.environment = LoopbackEnvironment();
        seams.searchDurationMs = 50;
        m_window = std::make_unique<CCameraSetupDlg>(m_diagnostics, std::move(seams));
        m_window->OnInitDialog();
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
        m_ui = std::make_unique<GuiInstallUi>(*m_window);
    }
    void TearDown() override {
        m_ui.reset();
        m_window.reset();
    }

    // Runs `work` on a thread of its own, as the worker does, while this (GUI) thread keeps its events going.
    void OnWorker(const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::thread thread([&] {
            work();
            done = true;
        });
        for (int i = 0; i < 500 && !done; ++i) {
            QTest::qWait(10);
        }
        thread.join();
    }

    void Select(size_t row) {
        QTreeView* list = m_window->List();
        list->setCurrentIndex(list->model()->index(static_cast<int>(row), 0));
        m_window->OnClickList();
    }

    RecordingDiagnostics m_diagnostics;
    std::unique_ptr<CCameraSetupDlg> m_window;
    std::unique_ptr<GuiInstallUi> m_ui;
};

TEST_F(GuiInstallUiTest, AddressLandsOnTheInstalledCamerasRowNotOnTheSelection) {
    DeviceTable& table = m_window->Discovery().Table();
    table.Append(Row(kFirst));
    table.Append(Row(kSecond));
    Select(1);  // the user clicked another camera while the first one was being installed
    OnWorker([&] { m_ui->UpdateRow(kFirst, kNewAddress, false); });
    QTest::qWait(20);  // the posted refresh
    EXPECT_EQ(table.Cell(0, kColumnAddress), "10.213.7.50");
    EXPECT_EQ(table.Cell(0, kColumnAssigned), "Yes");
    EXPECT_EQ(table.Cell(1, kColumnAddress), "0.0.0.0");
    EXPECT_EQ(table.Cell(1, kColumnAssigned), "No");
    // The buttons still follow the selected row, which may be installed.
    EXPECT_TRUE(m_window->Button(CCameraSetupDlg::kInstallButton)->isEnabled());
}

TEST_F(GuiInstallUiTest, WebPageIsOfferedOnlyOnceTheInstallationHasEnded) {
    DeviceTable& table = m_window->Discovery().Table();
    QPushButton* webPage = m_window->Button(CCameraSetupDlg::kWebPageButton);
    for (const bool installOk : {true, false}) {
        table.Clear();
        table.Append(Row(kFirst));
        Select(0);
        OnWorker([&] { m_ui->UpdateRow(kFirst, kNewAddress, false); });
        QTest::qWait(20);
        ASSERT_EQ(table.Cell(0, kColumnAssigned), "Yes");
        EXPECT_FALSE(webPage->isEnabled()) << installOk;
        Select(0);  // clicked again while the camera restarts
        EXPECT_FALSE(webPage->isEnabled()) << installOk;
        if (installOk) {
            OnWorker([&] { m_ui->UpdateRow(kFirst, kNewAddress, true); });
            QTest::qWait(20);
            EXPECT_TRUE(webPage->isEnabled());
        } else {
            m_ui = std::make_unique<GuiInstallUi>(*m_window);  // the failed installation's ends
            QTest::qWait(20);
            EXPECT_FALSE(webPage->isEnabled());  // nothing offered unasked
            Select(0);
            EXPECT_TRUE(webPage->isEnabled());
        }
    }
}

TEST_F(GuiInstallUiTest, StatusDialogFollowsTheWorker) {
    QString shownText;
    int shownProgress = -1;
    bool existedAfterOpen = false;
    bool goneAfterClose = false;
    OnWorker([&] {
        m_ui->OpenStatus();
        existedAfterOpen = InvokeBlocking(m_window.get(), [&] { return m_window->StatusDialog() != nullptr; });
        m_ui->SetStatusText("This IP is valid.\nSetting and waiting for response from server.");
        m_ui->SetStatusProgress(20);
        InvokeBlocking(m_window.get(), [&] {
            CMessageDlg* status = m_window->StatusDialog();
            shownText = status->findChild<QLabel*>()->text();
            shownProgress = status->findChild<QProgressBar*>()->value();
        });
        m_ui->CloseStatus();
        m_ui->EndWait();
    });
    for (int i = 0; i < 100 && m_window->StatusDialog() != nullptr; ++i) {
        QTest::qWait(10);
    }
    goneAfterClose = m_window->StatusDialog() == nullptr;
    EXPECT_TRUE(existedAfterOpen);
    EXPECT_EQ(shownText, "This IP is valid.\nSetting and waiting for response from server.");
    EXPECT_EQ(shownProgress, 20);
    EXPECT_TRUE(goneAfterClose);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(GuiInstallUiTest, MessageBoxBlocksTheWorkerUntilDismissed) {
    QString seen;
    OnNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        seen = box->windowTitle() + ": " + box->text();
        box->button(QMessageBox::Ok)->click();
    });
    OnWorker([&] { m_ui->ShowMessage("Install OK", "Message"); });
    EXPECT_EQ(seen, "Message: Install OK");
}

// Closing the window while its installation waits for the GUI thread: the window stops the installation it holds,
// the waits that the GUI thread will never answer are given up, and the window's end joins it at once.
TEST_F(GuiInstallUiTest, ClosingTheWindowStopsAndJoinsTheInstallationItHolds) {
    const std::function<void(GuiInstallUi&)> waits[] = {
        [](GuiInstallUi& ui) { ui.ShowMessage("Install OK", "Message"); },
        [](GuiInstallUi& ui) { ui.OpenStatus(); },
        [](GuiInstallUi& ui) { ui.SetStatusProgress(10); },
        [](GuiInstallUi& ui) { ui.EndWait(); },
    };
    for (size_t i = 0; i < std::size(waits); ++i) {
        SCOPED_TRACE(i);
        m_ui.reset();
        std::atomic<bool> waiting{false};
        std::atomic<bool> ended{false};
        CCameraSetupDlg& window = *m_window;
        window.HoldInstall(std::make_unique<InstallSession>([&](const StopSignal& stop) {
            GuiInstallUi ui(window, &stop);
            waiting = true;
            waits[i](ui);
            ended = true;
            return InstallOutcome::Stopped;
        }));
        while (!waiting) {
            std::this_thread::yield();
        }
        QElapsedTimer clock;
        clock.start();
        m_window.reset();  // without running this thread's events
        EXPECT_TRUE(ended);
        EXPECT_LT(clock.elapsed(), 1000);
        SetUp();
    }
}

}  // namespace
