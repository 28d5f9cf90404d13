#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QProgressBar>
#include <QTest>

#include <atomic>
#include <thread>

#include "AppTestSupport.h"
#include "CMessageDlg.h"
#include "InstallWorker.h"
#include "WindowMessages.h"

namespace {

QLabel* TextOf(CMessageDlg& dialog) {
    return dialog.findChild<QLabel*>(QStringLiteral("1042"));
}
QProgressBar* BarOf(CMessageDlg& dialog) {
    return dialog.findChild<QProgressBar*>(QStringLiteral("1041"));
}

}  // namespace

TEST(MessageDlgTest, LayoutAndCaption) {
    CMessageDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "Status");
    EXPECT_EQ(dialog.size(), QSize(283, 107));
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
    ASSERT_NE(TextOf(dialog), nullptr);
    ASSERT_NE(BarOf(dialog), nullptr);
    EXPECT_EQ(TextOf(dialog)->geometry(), QRect(27, 22, 232, 43));
    EXPECT_EQ(BarOf(dialog)->geometry(), QRect(28, 66, 224, 15));
}

TEST(MessageDlgTest, SearchModeStepsTwentyFiveTimesThenClosesAsCancel) {
    CMessageDlg dialog;
    dialog.SearchMode = 1;
    dialog.SearchDurationMs = 250;
    std::vector<int> positions;
    QObject::connect(BarOf(dialog), &QProgressBar::valueChanged, [&](int value) { positions.push_back(value); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(dialog.DoModal(), CMessageDlg::kResultCancel);
    EXPECT_GE(clock.elapsed(), 200);  // coarse timers may fire a little early
    EXPECT_EQ(dialog.TimerPeriodMs(), 10);
    EXPECT_EQ(TextOf(dialog)->text(), "Searching devices, please wait!");
    EXPECT_EQ(BarOf(dialog)->maximum(), 25);
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(positions.back(), 25);
    // One step per tick after the reset to 0: 25 increments.
    EXPECT_EQ(std::count_if(positions.begin(), positions.end(), [](int p) { return p > 0; }), 25);
}

TEST(MessageDlgTest, SearchPeriodIsADurationTwentyFifthAndCloseEndsWithOk) {
    const struct {
        int duration;
        int period;
    } cases[] = {{5000, 200}, {5024, 200}, {24, 0}};
    for (const auto& c : cases) {
        CMessageDlg dialog;
        dialog.SearchMode = 1;
        dialog.SearchDurationMs = c.duration;
        dialog.SetOnOpened([&dialog] { QCoreApplication::postEvent(&dialog, new QEvent(WindowMessages::Type(1126))); });
        if (c.period > 0) {
            EXPECT_EQ(dialog.DoModal(), CMessageDlg::kResultOk) << c.duration;
        } else {
            dialog.DoModal();  // a zero period may fill the bar before the close arrives
        }
        EXPECT_EQ(dialog.TimerPeriodMs(), c.period) << c.duration;
    }
}

TEST(MessageDlgTest, TextIsShownOnlyWithTheNextProgress) {
    CMessageDlg dialog;
    dialog.SetStatusText("Checking the IP address if it is valid...");
    bool checked = false;
    dialog.SetOnOpened([&] {
        EXPECT_EQ(TextOf(dialog)->text(), "Checking the IP address if it is valid...");
        EXPECT_EQ(BarOf(dialog)->value(), 0);
        EXPECT_EQ(BarOf(dialog)->maximum(), 100);

        StatusTextEvent text("This IP is valid.");
        QCoreApplication::sendEvent(&dialog, &text);
        EXPECT_EQ(TextOf(dialog)->text(), "Checking the IP address if it is valid...");
        EXPECT_EQ(BarOf(dialog)->value(), 0);

        StatusProgressEvent ten(10);
        QCoreApplication::sendEvent(&dialog, &ten);
        EXPECT_EQ(TextOf(dialog)->text(), "This IP is valid.");
        EXPECT_EQ(BarOf(dialog)->value(), 10);

        StatusProgressEvent beyond(150);
        QCoreApplication::sendEvent(&dialog, &beyond);
        EXPECT_EQ(BarOf(dialog)->value(), 100);  // a full bar

        QEvent close(WindowMessages::Type(WindowMessages::kStatusClose));
        QCoreApplication::sendEvent(&dialog, &close);
        checked = true;
    });
    EXPECT_EQ(dialog.DoModal(), CMessageDlg::kResultOk);
    EXPECT_TRUE(checked);
}

TEST(MessageDlgTest, EveryStatusTextFitsTheTextAreaWhole) {
    const char* const texts[] = {CMessageDlg::kSearchText, kCheckingAddressText, kAddressValidText,
                                 kAddressAssignedText};
    CMessageDlg dialog;
    dialog.show();
    QLabel* label = TextOf(dialog);
    const QRect area = label->contentsRect();
    for (const char* text : texts) {
        StatusTextEvent event{QString::fromLatin1(text)};
        QCoreApplication::sendEvent(&dialog, &event);
        StatusProgressEvent progress(10);
        QCoreApplication::sendEvent(&dialog, &progress);
        ASSERT_EQ(label->text(), QString::fromLatin1(text));
        const QRect needed =
            label->fontMetrics().boundingRect(area, static_cast<int>(label->alignment()) | Qt::TextWordWrap, text);
        EXPECT_TRUE(area.contains(needed)) << text << ": needs " << needed.width() << "x" << needed.height() << ", has "
                                           << area.width() << "x" << area.height();
    }
}

TEST(MessageDlgTest, EscapeCancelsAndStopsTheSearchTimer) {
    CMessageDlg dialog;
    dialog.SearchMode = 1;
    dialog.SearchDurationMs = 100000;
    dialog.SetOnOpened([&] { QTest::keyClick(&dialog, Qt::Key_Escape); });
    EXPECT_EQ(dialog.DoModal(), CMessageDlg::kResultCancel);
    const int position = BarOf(dialog)->value();
    QTest::qWait(30);
    EXPECT_EQ(BarOf(dialog)->value(), position);
}

// The status dialog driven from a worker thread through window messages: post the open request, wait for the
// dialog, then synchronous text, progress and close, as the install worker does.
TEST(MessageDlgTest, WorkerDrivesTheDialogThroughItsMessages) {
    CMessageDlg dialog;
    std::atomic<bool> done{false};
    std::atomic<bool> opened{false};
    QString shownAfterProgress;
    dialog.SetOnOpened([&] { opened = true; });
    std::thread worker([&] {
        while (!opened) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        StatusTextEvent text("Setting");
        SendWindowMessage(&dialog, text);
        StatusProgressEvent progress(20);
        SendWindowMessage(&dialog, progress);
        shownAfterProgress = InvokeBlocking(&dialog, [&] { return TextOf(dialog)->text(); });
        QEvent close(WindowMessages::Type(WindowMessages::kStatusClose));
        SendWindowMessage(&dialog, close);
        done = true;
    });
    EXPECT_EQ(dialog.DoModal(), CMessageDlg::kResultOk);
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(shownAfterProgress, "Setting");
    EXPECT_EQ(BarOf(dialog)->value(), 20);
}

TEST(WindowMessagesTest, UnhandledOpenRequestReleasesItsWaiter) {
    std::future<bool> opened;
    {
        StatusOpenEvent event;
        opened = event.Opened();
    }
    ASSERT_EQ(opened.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_FALSE(opened.get());

    StatusOpenEvent event;
    opened = event.Opened();
    event.Fulfil(true);
    event.Fulfil(false);  // later answers change nothing
    EXPECT_TRUE(opened.get());
}
