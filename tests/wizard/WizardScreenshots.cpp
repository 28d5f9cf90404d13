// Saves a PNG of every Setup Wizard page (wireless camera: welcome, network, wireless, finish) into the
// directory given as the first argument. Run under a real display server (tools/screenshots/wizard.sh).

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "CSetupWizard.h"
#include "CWizardInfoDlg.h"
#include "CWizardNetworkDlg.h"
#include "CWizardRestartDlg.h"
#include "CWizardWirelessDlg.h"
#include "StringTable.h"
#include "WizardIds.h"
#include "WizardMessageBox.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString directory = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(directory);
    SetWizardMessageBoxFunction(
        [](QWidget*, const QString&, const QString&, QMessageBox::Icon, bool) { return QMessageBox::Ok; });

    CWizardInfoDlg welcome;
    CWizardNetworkDlg network;
    CWizardWirelessDlg wireless;
    CWizardRestartDlg finish;
    network.m_ipAddress = 0xC0A80064u;
    network.m_subnetMask = 0xFFFFFF00u;
    network.m_defaultGateway = 0xC0A80001u;
    CSetupWizard wizard(nullptr);
    wizard.AddPage(&welcome, WizardIds::kWelcomePage);
    wizard.AddPage(&network, WizardIds::kNetworkPage);
    wizard.AddPage(&wireless, WizardIds::kWirelessPage);
    wizard.AddPage(&finish, WizardIds::kFinishPage);
    wizard.SetModelNameStringId(StringTable::kModelTavix11Plus);

    int failures = 0;
    const char* names[] = {"1-welcome", "2-network", "3-wireless", "4-finish"};
    int step = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const QString path = directory + QStringLiteral("/wizard-%1.png").arg(QString::fromLatin1(names[step]));
        if (!wizard.grab().save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ++failures;
        }
        if (++step == 4) {
            wizard.done(WizardIds::kCancel);
            return;
        }
        wizard.OnNext();
    });
    timer.start(300);
    wizard.exec();
    return failures == 0 ? 0 : 1;
}
