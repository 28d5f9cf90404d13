#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

#include "CServerSetting.h"

namespace {

// Runs `act` once the dialog's modal run has started; `boxText` receives the text of a message box that the
// dialog opens meanwhile (which is then closed).
int RunWith(CServerSetting& dialog, std::function<void()> act, QString* boxText = nullptr) {
    QTimer::singleShot(0, [&dialog, act, boxText] {
        act();
        if (boxText == nullptr) {
            return;
        }
        QTimer::singleShot(0, [&dialog, boxText] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                *boxText = box->text();
                box->accept();
            }
            QTimer::singleShot(0, [&dialog] { QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton); });
        });
    });
    return dialog.DoModal();
}

TEST(CServerSettingTest, ShowsTheValuesItIsGivenAndKeepsTheOnesEntered) {
    CServerSetting dialog;
    EXPECT_EQ(dialog.m_port, 0);
    EXPECT_TRUE(dialog.m_password.isEmpty());
    EXPECT_EQ(dialog.windowTitle(), "Server Settings");
    EXPECT_EQ(dialog.RetryButton()->text(), "Retry");
    EXPECT_EQ(dialog.CancelButton()->text(), "Cancel");
    EXPECT_EQ(dialog.PasswordEdit()->echoMode(), QLineEdit::Password);
    dialog.m_port = 21;
    dialog.m_password = "001A2B3C4D5E";

    QString shownPort, shownPassword;
    const int retry = RunWith(dialog, [&] {
        shownPort = dialog.PortEdit()->text();
        shownPassword = dialog.PasswordEdit()->text();
        dialog.PortEdit()->setText("2121");
        dialog.PasswordEdit()->setText("secret");
        QTest::mouseClick(dialog.RetryButton(), Qt::LeftButton);
    });
    EXPECT_EQ(retry, CServerSetting::kRetry);
    EXPECT_EQ(shownPort, "21");
    EXPECT_EQ(shownPassword, "001A2B3C4D5E");
    EXPECT_EQ(dialog.m_port, 2121);
    EXPECT_EQ(dialog.m_password, "secret");

    // The next run shows what was entered last; Cancel changes nothing.
    const int cancel = RunWith(dialog, [&] {
        shownPort = dialog.PortEdit()->text();
        dialog.PasswordEdit()->setText("typed but cancelled");
        QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(cancel, CServerSetting::kCancel);
    EXPECT_EQ(shownPort, "2121");
    EXPECT_EQ(dialog.m_password, "secret");
}

TEST(CServerSettingTest, PortMustBeAnIntegerInRange) {
    CServerSetting dialog;
    dialog.m_port = 21;
    // Letters never reach the edit.
    QTest::keyClicks(dialog.PortEdit(), "x1y2");
    EXPECT_EQ(dialog.PortEdit()->text().contains('x'), false);

    struct Case {
        const char* port;
        const char* message;
    };
    for (const Case& c :
         {Case{"", "Please enter an integer."}, Case{"0", "Please enter an integer between 1 and 65535."},
          Case{"70000", "Please enter an integer between 1 and 65535."}}) {
        QString message;
        const int result = RunWith(
            dialog,
            [&] {
                dialog.PortEdit()->setText(c.port);
                QTimer::singleShot(0, [&] { QTest::mouseClick(dialog.RetryButton(), Qt::LeftButton); });
            },
            &message);
        EXPECT_EQ(message, c.message) << c.port;
        EXPECT_EQ(result, CServerSetting::kCancel) << c.port;
        EXPECT_EQ(dialog.m_port, 21) << c.port;
    }
}

}  // namespace
