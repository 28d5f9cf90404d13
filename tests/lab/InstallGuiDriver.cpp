// Drives one installation through the real window, offscreen, the way a user would: click the camera's row,
// press Install, fill the wizard's address, press Restart, answer the server settings, read the message box.
// Prints what it saw on stdout ("message CAPTION: TEXT", "settings shown PORT PASSWORD", "row ADDRESS STATE",
// "wizard cancelled") for the lab test to check. Exit 0 when the flow ran to its end, 3 on a time-out.
//
// install_gui_driver MAC [--ip A.B.C.D] [--cancel-wizard] [--password P]...

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <arpa/inet.h>

#include <cstdio>
#include <deque>
#include <string>

#include "CCameraSetupDlg.h"
#include "CServerSetting.h"
#include "DeviceInfo.h"
#include "Diagnostics.h"
#include "FileTransfer.h"
#include "GuiInstallUi.h"
#include "IpAddressEdit.h"
#include "WizardDialog.h"
#include "WizardIds.h"
#include "WizardPage.h"

namespace {

constexpr int kNetworkAddressField = 1026;

void Say(const std::string& line) {
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: install_gui_driver MAC [--ip A.B.C.D] [--cancel-wizard] [--password P]...\n");
        return 2;
    }
    const std::string mac = argv[1];
    uint32_t ip = 0;
    bool cancelWizard = false;
    std::deque<std::string> passwords;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ip" && i + 1 < argc) {
            in_addr value{};
            inet_pton(AF_INET, argv[++i], &value);
            ip = ntohl(value.s_addr);
        } else if (arg == "--cancel-wizard") {
            cancelWizard = true;
        } else if (arg == "--password" && i + 1 < argc) {
            passwords.push_back(argv[++i]);
        }
    }

    InitFileTransferLibrary();
    StdDiagnostics diagnostics(/*everythingToStderr=*/true);
    CCameraSetupDlg window(diagnostics);
    window.SetInstallStarter(&StartGuiInstall);
    window.OnInitDialog();
    window.show();

    enum class Phase { WaitRow, WaitWizard, Welcome, Network, Finish, Running, Done } phase = Phase::WaitRow;
    QElapsedTimer clock;
    clock.start();
    qint64 rowSeenAt = -1;
    qint64 doneAt = -1;
    int result = 3;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (clock.elapsed() > 150000) {
            Say("timed out");
            app.exit(3);
            return;
        }
        DeviceTable& table = window.Discovery().Table();
        QWidget* modal = QApplication::activeModalWidget();
        switch (phase) {
            case Phase::WaitRow: {
                const auto row = table.Find(mac);
                if (!row) {
                    return;
                }
                if (rowSeenAt < 0) {
                    rowSeenAt = clock.elapsed();
                }
                // The DHCP server's acknowledgement brings the mask a moment after the request.
                if (table.Cell(*row, kColumnSubnet) == kNoAddress && clock.elapsed() - rowSeenAt < 3000) {
                    return;
                }
                QTreeView* list = window.List();
                list->setCurrentIndex(list->model()->index(static_cast<int>(*row), 0));
                window.OnClickList();
                QTest::mouseClick(window.Button(CCameraSetupDlg::kInstallButton), Qt::LeftButton);
                phase = Phase::WaitWizard;
                return;
            }
            case Phase::WaitWizard:
            case Phase::Welcome:
            case Phase::Network:
            case Phase::Finish: {
                auto* wizard = qobject_cast<WizardDialog*>(modal);
                if (wizard == nullptr || !wizard->isVisible()) {
                    return;
                }
                if (cancelWizard) {
                    QTest::mouseClick(wizard->Button(WizardIds::kCancel), Qt::LeftButton);
                    Say("wizard cancelled");
                    phase = Phase::Done;
                    doneAt = clock.elapsed();
                    return;
                }
                if (phase == Phase::WaitWizard) {
                    QTest::mouseClick(wizard->Button(WizardIds::kNext), Qt::LeftButton);  // welcome -> network
                    phase = Phase::Network;
                } else if (phase == Phase::Network) {
                    WizardPage* page = wizard->ActivePage();
                    auto* field = page ? qobject_cast<IpAddressEdit*>(page->Item(kNetworkAddressField)) : nullptr;
                    if (field == nullptr) {
                        return;
                    }
                    field->SetAddress(ip);
                    QTest::mouseClick(wizard->Button(WizardIds::kNext), Qt::LeftButton);  // network -> finish
                    phase = Phase::Finish;
                } else {
                    QTest::mouseClick(wizard->Button(WizardIds::kFinish), Qt::LeftButton);  // "Restart"
                    phase = Phase::Running;
                }
                return;
            }
            case Phase::Running: {
                if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible()) {
                    Say("message " + box->windowTitle().toStdString() + ": " + box->text().toStdString());
                    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
                    phase = Phase::Done;
                    doneAt = clock.elapsed();
                } else if (auto* settings = qobject_cast<CServerSetting*>(modal);
                           settings != nullptr && settings->isVisible()) {
                    Say("settings shown " + settings->PortEdit()->text().toStdString() + " " +
                        settings->PasswordEdit()->text().toStdString());
                    if (passwords.empty()) {
                        QTest::mouseClick(settings->CancelButton(), Qt::LeftButton);
                    } else {
                        settings->PasswordEdit()->setText(QString::fromStdString(passwords.front()));
                        passwords.pop_front();
                        QTest::mouseClick(settings->RetryButton(), Qt::LeftButton);
                    }
                }
                return;
            }
            case Phase::Done:
                // Let the worker finish its cleanup (and, after a cancelled wizard, show that nothing follows).
                if (GuiInstallRunning() || clock.elapsed() - doneAt < 1500) {
                    return;
                }
                if (const auto row = table.Find(mac)) {
                    Say("row " + table.Cell(*row, kColumnAddress) + " " + table.Cell(*row, kColumnAssigned));
                }
                if (window.StatusDialog() != nullptr) {
                    Say("status dialog still open");
                }
                result = 0;
                app.exit(0);
                return;
        }
    });
    tick.start(50);
    app.exec();
    return result;
}
