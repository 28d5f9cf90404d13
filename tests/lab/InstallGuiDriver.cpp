// Drives one installation through the real window, offscreen, the way a user would: click the camera's row,
// press Install, fill the wizard's address, press Restart, answer the server settings, read the message box.
// Prints what it saw on stdout ("message CAPTION: TEXT", "settings shown PORT PASSWORD", "row ADDRESS STATE",
// "wizard cancelled") for the lab test to check. Exit 0 when the flow ran to its end, 3 on a time-out.
//
// install_gui_driver MAC [--ip A.B.C.D] [--cancel-wizard] [--ssid S] [--password P]...
// --ssid: the camera is wireless; its page gets the SSID and data encryption on, the rest as first shown.
//
// Batch mode: the window's "Install several cameras" dialog.
//
// install_gui_driver --batch [--range A.B.C.D-E.F.G.H --mask M [--gateway G]] [--plan FILE.csv]
//                    [--results FILE.csv] [--seconds N] [--stop-after S | --close-after S] MAC...
//
// Waits (at most --seconds, default 30) until every MAC is listed with its DHCP acknowledgement, opens the dialog,
// checks exactly those cameras and sets the range (without --range: the range the dialog prefills) or imports the
// plan (its rows choose the cameras; MACs may then be left out), presses Start (and Stop S seconds later, printing
// "stop pressed", or closes the dialog, printing "closed in N ms") and waits for the end; --results exports the results
// CSV there. Prints one line per camera, "MAC STATE ADDRESS REASON MESSAGE" (ADDRESS "-" when none), then per MAC the
// main list's row as "row MAC ADDRESS ASSIGNED", and a message box the dialog showed as "message CAPTION: TEXT". Exit 0
// when every camera is installed, 1 otherwise, 2 for bad arguments, 3 on a time-out.

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
#include <QTreeWidget>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "AddressRange.h"
#include "CBatchDlg.h"
#include "CCameraSetupDlg.h"
#include "CServerSetting.h"
#include "DeviceInfo.h"
#include "Diagnostics.h"
#include "DottedAddress.h"
#include "EndSignalCleanup.h"
#include "FileTransfer.h"
#include "GuiInstallUi.h"
#include "IpAddressEdit.h"
#include "Ipv4Text.h"
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

struct BatchArguments {
    std::vector<MacAddress> macs;
    std::optional<AddressSpan> range;
    uint32_t mask = 0;
    std::optional<uint32_t> gateway;
    QString plan;
    QString results;
    int seconds = 30;
    int stopAfterMs = -1;
    int closeAfterMs = -1;
};

std::optional<BatchArguments> ParseBatchArguments(int argc, char** argv) {
    BatchArguments arguments;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        std::string error;
        if (arg == "--range" && hasValue) {
            arguments.range = ParseAddressSpan(argv[++i], &error);
            if (!arguments.range) {
                std::fprintf(stderr, "install_gui_driver: --range: %s\n", error.c_str());
                return std::nullopt;
            }
        } else if ((arg == "--mask" || arg == "--gateway") && hasValue) {
            const std::optional<uint32_t> address = ParseDottedAddress(argv[++i]);
            if (!address) {
                return std::nullopt;
            }
            (arg == "--mask" ? arguments.mask : arguments.gateway.emplace()) = *address;
        } else if (arg == "--plan" && hasValue) {
            arguments.plan = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == "--results" && hasValue) {
            arguments.results = QString::fromLocal8Bit(argv[++i]);
        } else if (arg == "--seconds" && hasValue) {
            arguments.seconds = std::atoi(argv[++i]);
        } else if (arg == "--stop-after" && hasValue) {
            arguments.stopAfterMs = static_cast<int>(std::atof(argv[++i]) * 1000);
        } else if (arg == "--close-after" && hasValue) {
            arguments.closeAfterMs = static_cast<int>(std::atof(argv[++i]) * 1000);
        } else if (const auto mac = MacAddress::Parse(arg)) {
            arguments.macs.push_back(*mac);
        } else {
            std::fprintf(stderr, "install_gui_driver: unexpected argument %s\n", arg.c_str());
            return std::nullopt;
        }
    }
    if ((arguments.range.has_value() != (arguments.mask != 0)) ||
        (arguments.plan.isEmpty() && arguments.macs.empty())) {
        std::fprintf(stderr, "install_gui_driver: --range needs --mask; without --plan name the cameras\n");
        return std::nullopt;
    }
    return arguments;
}

// The window with its helper, set up as the program's main() does.
struct ProgramWindow {
    static bool StartHelper(PrivilegedHelper& helper) {
        InitFileTransferLibrary();
        helper.Start();
        CleanUpOnEndSignals(helper);
        return true;
    }

    ProgramWindow() {
        window.SetInstallStarter(&StartGuiInstall);
        window.OnInitDialog();
        window.show();
    }

    PrivilegedHelper helper;
    bool started = StartHelper(helper);
    StdDiagnostics diagnostics{/*everythingToStderr=*/true};
    CCameraSetupDlg window{diagnostics, helper};
};

// The batch dialog driven through its phases, one step per tick of the event loop.
class BatchDriver {
  public:
    BatchDriver(QApplication& app, const BatchArguments& arguments) : m_app(app), m_arguments(arguments) {}

    int Run() {
        m_clock.start();
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [this] { Tick(); });
        tick.start(50);
        m_app.exec();
        return m_result;
    }

  private:
    enum class Phase { WaitRows, WaitDialog, Running, Done };

    void Finish(int code) {
        m_result = code;
        if (m_dialog) {
            m_dialog->reject();
        }
        QTimer::singleShot(0, &m_app, [app = &m_app, code] { app->exit(code); });
        m_phase = Phase::Done;
    }

    void Tick() {
        if (m_phase == Phase::Done) {
            return;
        }
        if (m_clock.elapsed() > 600000) {
            Say("timed out");
            Finish(3);
            return;
        }
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible()) {
            Say("message " + box->windowTitle().toStdString() + ": " + box->text().toStdString());
            Click(box->button(QMessageBox::Ok));
            if (m_phase != Phase::Running || (m_dialog && !m_dialog->Running())) {
                Finish(1);
            }
            return;
        }
        switch (m_phase) {
            case Phase::WaitRows:
                return WaitRows();
            case Phase::WaitDialog:
                return WaitDialog(modal);
            case Phase::Running:
                return WatchRunning();
            case Phase::Done:
                return;
        }
    }

    void WaitRows() {
        DeviceTable& table = m_program.window.Discovery().Table();
        bool all = true;
        for (const MacAddress& mac : m_arguments.macs) {
            const auto row = table.Find(mac);
            // The DHCP server's acknowledgement brings the mask a moment after the request.
            all = all && row && table.Record(*row).mask.value_or(0) != 0;
        }
        const bool waited = m_clock.elapsed() > m_arguments.seconds * 1000;
        if ((!all || m_arguments.macs.empty()) && !waited) {
            return;
        }
        CCameraSetupDlg& window = m_program.window;
        QTimer::singleShot(0, &window, [&window] { window.OnBatchInstall(); });
        m_phase = Phase::WaitDialog;
    }

    void WaitDialog(QWidget* modal) {
        m_dialog = qobject_cast<CBatchDlg*>(modal);
        if (!m_dialog || !m_dialog->isVisible()) {
            return;
        }
        if (!m_arguments.plan.isEmpty()) {
            // After this tick: a refused plan's message box would hold it.
            QTimer::singleShot(0, m_dialog, [arguments = &m_arguments, target = m_dialog] {
                if (target->ImportPlan(arguments->plan)) {
                    Click(target->StartButton());
                }
            });
            m_phase = Phase::Running;
            return;
        }
        QTreeWidget* rows = m_dialog->Table();
        for (int i = 0; i < rows->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = rows->topLevelItem(i);
            const auto mac = MacAddress::Parse(item->text(CBatchDlg::kColumnMac).toStdString());
            const bool named =
                mac && std::find(m_arguments.macs.begin(), m_arguments.macs.end(), *mac) != m_arguments.macs.end();
            item->setCheckState(CBatchDlg::kColumnMac, named ? Qt::Checked : Qt::Unchecked);
        }
        if (m_arguments.range) {
            m_dialog->RangeField(CBatchDlg::kFirstIp)->SetAddress(m_arguments.range->first);
            m_dialog->RangeField(CBatchDlg::kLastIp)->SetAddress(m_arguments.range->last);
            m_dialog->RangeField(CBatchDlg::kMask)->SetAddress(m_arguments.mask);
        }
        if (m_arguments.gateway) {
            m_dialog->RangeField(CBatchDlg::kGateway)->SetAddress(*m_arguments.gateway);
        }
        Click(m_dialog->StartButton());
        m_phase = Phase::Running;
    }

    void WatchRunning() {
        if (m_runningSince < 0) {
            m_runningSince = m_clock.elapsed();
        }
        const qint64 running = m_clock.elapsed() - m_runningSince;
        if (m_dialog && !m_dialog->Running() && !m_dialog->Ended() && running > 5000) {
            Say("batch not started");
            Finish(1);
            return;
        }
        if (m_dialog && m_arguments.stopAfterMs >= 0 && m_dialog->Running() && running > m_arguments.stopAfterMs &&
            m_dialog->StopButton()->isEnabled()) {
            Say("stop pressed");
            Click(m_dialog->StopButton());
        }
        if (m_dialog && m_arguments.closeAfterMs >= 0 && m_dialog->Running() && running > m_arguments.closeAfterMs) {
            QElapsedTimer closing;
            closing.start();
            m_dialog->reject();  // returns once the batch has ended
            Say("closed in " + std::to_string(closing.elapsed()) + " ms");
        }
        if (m_dialog && m_dialog->Ended()) {
            Report();
        }
    }

    void Report() {
        bool allInstalled = true;
        const std::vector<BatchCameraStatus> results = m_dialog->Results();
        for (const BatchCameraStatus& camera : results) {
            const std::string address =
                camera.newAddress == 0 ? std::string("-") : FormatDottedAddress(camera.newAddress);
            Say(camera.mac.Text() + " " + BatchCameraStateName(camera.state) + " " + address + " " +
                BatchReasonName(camera.reason) + " " + camera.message);
            allInstalled = allInstalled && camera.state == BatchCameraState::Installed;
        }
        if (!m_arguments.results.isEmpty() && !m_dialog->ExportResults(m_arguments.results)) {
            allInstalled = false;
        }
        m_dialog->reject();
        DeviceTable& table = m_program.window.Discovery().Table();
        for (const BatchCameraStatus& camera : results) {
            if (const auto row = table.Find(camera.mac)) {
                Say("row " + camera.mac.Text() + " " + table.Cell(*row, kColumnAddress) + " " +
                    table.Cell(*row, kColumnAssigned));
            }
        }
        Finish(allInstalled && !results.empty() ? 0 : 1);
    }

    QApplication& m_app;
    const BatchArguments& m_arguments;
    ProgramWindow m_program;
    Phase m_phase = Phase::WaitRows;
    QElapsedTimer m_clock;
    QPointer<CBatchDlg> m_dialog;
    qint64 m_runningSince = -1;
    int m_result = 3;
};

int RunBatch(QApplication& app, const BatchArguments& arguments) {
    return BatchDriver(app, arguments).Run();
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc >= 2 && std::string(argv[1]) == "--batch") {
        const std::optional<BatchArguments> arguments = ParseBatchArguments(argc, argv);
        return arguments ? RunBatch(app, *arguments) : 2;
    }
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

    ProgramWindow program;
    CCameraSetupDlg& window = program.window;

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
