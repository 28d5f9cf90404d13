// Drives one installation through the real window, offscreen, the way a user would: click the camera's row,
// press Install, fill the wizard's address, press Restart, answer the server settings, read the message box.
// Prints what it saw on stdout ("message CAPTION: TEXT", "settings shown PORT PASSWORD", "row ADDRESS STATE",
// "wizard cancelled") for the lab test to check. Exit 0 when the flow ran to its end, 3 on a time-out.
//
// install_gui_driver MAC [--ip A.B.C.D] [--cancel-wizard] [--ssid S] [--password P]...
// --ssid: the camera is wireless; its page gets the SSID and data encryption on, the rest as first shown.

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <arpa/inet.h>

#include <cstdio>
#include <deque>
#include <optional>
#include <string>

#include "CCameraSetupDlg.h"
#include "CServerSetting.h"
#include "DeviceInfo.h"
#include "Diagnostics.h"
#include "EndSignalCleanup.h"
#include "FileTransfer.h"
#include "GuiInstallUi.h"
#include "IpAddressEdit.h"
#include "PrivilegedHelper.h"
#include "WizardDialog.h"
#include "WizardIds.h"
#include "WizardPage.h"

namespace {

constexpr int kNetworkAddressField = 1026;
constexpr int kSsidField = 1027;
constexpr int kEncryptionBox = 1036;

// Clicks once the current timer tick has returned: a click that opens a modal box would otherwise hold the tick
// (timers do not fire again while their own handler runs).
void Click(QWidget* widget) {
    QPointer<QWidget> target(widget);
    QTimer::singleShot(0, [target] {
        if (target) {
            QTest::mouseClick(target, Qt::LeftButton);
        }
    });
}

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
    const std::optional<MacAddress> parsed = MacAddress::Parse(argv[1]);
    if (!parsed) {
        std::fprintf(stderr, "install_gui_driver: %s is not a MAC address\n", argv[1]);
        return 2;
    }
    const MacAddress mac = *parsed;
    uint32_t ip = 0;
    bool cancelWizard = false;
    std::deque<std::string> passwords;
    std::string ssid;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--ip" && i + 1 < argc) {
            in_addr value{};
            inet_pton(AF_INET, argv[++i], &value);
            ip = ntohl(value.s_addr);
        } else if (arg == "--cancel-wizard") {
            cancelWizard = true;
        } else if (arg == "--ssid" && i + 1 < argc) {
            ssid = argv[++i];
        } else if (arg == "--password" && i + 1 < argc) {
            passwords.push_back(argv[++i]);
        }
    }

    InitFileTransferLibrary();
    PrivilegedHelper helper;  // as the program does
    helper.Start();
    CleanUpOnEndSignals(helper);
    StdDiagnostics diagnostics(/*everythingToStderr=*/true);
    CCameraSetupDlg window(diagnostics, helper);
    window.SetInstallStarter(&StartGuiInstall);
    window.OnInitDialog();
    window.show();

    enum class Phase {
        WaitRow,
        WaitWizard,
        Welcome,
        Network,
        Wireless,
        Confirm,
        Finish,
        Running,
        Done
    } phase = Phase::WaitRow;
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
                if (table.Record(*row).mask == 0u && clock.elapsed() - rowSeenAt < 3000) {
                    return;
                }
                QTreeView* list = window.List();
                list->setCurrentIndex(list->model()->index(static_cast<int>(*row), 0));
                window.OnClickList();
                Click(window.Button(CCameraSetupDlg::kInstallButton));
                phase = Phase::WaitWizard;
                return;
            }
            case Phase::WaitWizard:
            case Phase::Welcome:
            case Phase::Network:
            case Phase::Wireless:
            case Phase::Confirm:
            case Phase::Finish: {
                if (auto* box = qobject_cast<QMessageBox*>(modal); phase == Phase::Confirm && box != nullptr) {
                    Say("confirm " + box->windowTitle().toStdString());
                    Click(box->button(QMessageBox::Ok));
                    phase = Phase::Finish;
                    return;
                }
                auto* wizard = qobject_cast<WizardDialog*>(modal);
                if (wizard == nullptr || !wizard->isVisible()) {
                    return;
                }
                if (cancelWizard) {
                    Click(wizard->Button(WizardIds::kCancel));
                    Say("wizard cancelled");
                    phase = Phase::Done;
                    doneAt = clock.elapsed();
                    return;
                }
                if (phase == Phase::WaitWizard) {
                    Click(wizard->Button(WizardIds::kNext));  // welcome -> network
                    phase = Phase::Network;
                } else if (phase == Phase::Network) {
                    WizardPage* page = wizard->ActivePage();
                    auto* field = page ? qobject_cast<IpAddressEdit*>(page->Item(kNetworkAddressField)) : nullptr;
                    if (field == nullptr) {
                        return;
                    }
                    field->SetAddress(ip);
                    Click(wizard->Button(WizardIds::kNext));  // -> wireless or finish
                    phase = ssid.empty() ? Phase::Finish : Phase::Wireless;
                } else if (phase == Phase::Wireless) {
                    QLineEdit* name = nullptr;
                    QCheckBox* encryption = nullptr;
                    for (WizardPage* page : wizard->Pages()) {
                        if (auto* edit = qobject_cast<QLineEdit*>(page->Item(kSsidField)); edit && edit->isVisible()) {
                            name = edit;
                            encryption = qobject_cast<QCheckBox*>(page->Item(kEncryptionBox));
                        }
                    }
                    if (name == nullptr || encryption == nullptr) {
                        return;
                    }
                    name->setText(QString::fromStdString(ssid));
                    encryption->click();
                    Click(wizard->Button(WizardIds::kNext));  // the warning follows
                    phase = Phase::Confirm;
                } else if (phase == Phase::Finish) {
                    Click(wizard->Button(WizardIds::kFinish));  // "Restart"
                    phase = Phase::Running;
                }
                return;
            }
            case Phase::Running: {
                if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible()) {
                    Say("message " + box->windowTitle().toStdString() + ": " + box->text().toStdString());
                    Click(box->button(QMessageBox::Ok));
                    phase = Phase::Done;
                    doneAt = clock.elapsed();
                } else if (auto* settings = qobject_cast<CServerSetting*>(modal);
                           settings != nullptr && settings->isVisible()) {
                    Say("settings shown " + settings->PortEdit()->text().toStdString() + " " +
                        settings->PasswordEdit()->text().toStdString());
                    if (passwords.empty()) {
                        Click(settings->CancelButton());
                    } else {
                        settings->PasswordEdit()->setText(QString::fromStdString(passwords.front()));
                        passwords.pop_front();
                        Click(settings->RetryButton());
                    }
                }
                return;
            }
            case Phase::Done:
                // Let the worker finish its cleanup (and, after a cancelled wizard, show that nothing follows).
                if (window.InstallRunning() || clock.elapsed() - doneAt < 1500) {
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
