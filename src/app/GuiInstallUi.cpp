#include "GuiInstallUi.h"

#include <QMessageBox>

#include <memory>

#include "AppStyle.h"
#include "CMessageDlg.h"
#include "CServerSetting.h"
#include "Clock.h"
#include "DeviceInfo.h"
#include "EchoChannel.h"
#include "EndSignalCleanup.h"
#include "FileTransfer.h"
#include "InstallSession.h"
#include "InstallWorker.h"
#include "NeighbourTable.h"
#include "RealInstallPlatform.h"
#include "SetupWizardRun.h"
#include "StringTable.h"
#include "WindowMessages.h"

GuiInstallUi::GuiInstallUi(CCameraSetupDlg& window, const StopSignal* stop) : m_window(&window), m_stop(stop) {}

GuiInstallUi::GuiInstallUi(CCameraSetupDlg& window, const StopSignal* stop, InstallParams params)
    : m_window(&window), m_stop(stop), m_params(std::move(params)) {}

GuiInstallUi::~GuiInstallUi() {
    // Deleted on the GUI thread, unless the window (its parent) has taken it along already.
    if (m_serverSetting) {
        m_serverSetting->deleteLater();
    }
    // The installation has ended, however it ended; a later click on its row offers what the row shows.
    if (CCameraSetupDlg* window = m_window) {
        InvokeLater(window, [window] { window->SetInstallInProgress({}); });
    }
}

std::optional<InstallParams> GuiInstallUi::RunWizard(const CameraRecord& camera) {
    if (!m_window) {
        return std::nullopt;
    }
    if (m_params) {
        return m_params;
    }
    CCameraSetupDlg* window = m_window;
    return InvokeBlocking(
        window, [window, &camera] { return RunSetupWizard(window, camera); }, m_stop);
}

void GuiInstallUi::OpenStatus() {
    if (m_window) {
        m_window->OpenStatus(m_stop);
    }
}

void GuiInstallUi::SetStatusText(const std::string& text) {
    if (m_window) {
        StatusTextEvent event(QString::fromStdString(text));
        m_window->SendToStatusDialog(event, m_stop);
    }
}

void GuiInstallUi::SetStatusProgress(int position) {
    if (m_window) {
        StatusProgressEvent event(position);
        m_window->SendToStatusDialog(event, m_stop);
    }
}

void GuiInstallUi::CloseStatus() {
    if (m_window) {
        QEvent event(WindowMessages::Type(WindowMessages::kStatusClose));
        m_window->SendToStatusDialog(event, m_stop);
    }
}

void GuiInstallUi::EndWait() {
    if (m_window) {
        m_window->SendEndWait(m_stop);
    }
}

void GuiInstallUi::ShowMessage(const std::string& text, const std::string& caption) {
    if (!m_window) {
        return;
    }
    CCameraSetupDlg* window = m_window;
    InvokeBlocking(
        window,
        [window, &text, &caption] {
            QMessageBox box(MessageBoxIcon(QString::fromStdString(caption)), QString::fromStdString(caption),
                            QString::fromStdString(text), QMessageBox::Ok, window->isVisible() ? window : nullptr);
            box.setObjectName(QStringLiteral("InstallMessage"));
            box.exec();
        },
        m_stop);
}

bool GuiInstallUi::AskServerSettings(FileTransfer::Result, ServerSettings& settings) {
    if (!m_window) {
        return false;
    }
    CCameraSetupDlg* window = m_window;
    return InvokeBlocking(
        window,
        [this, window, &settings] {
            if (!m_serverSetting) {
                m_serverSetting = new CServerSetting(window);
            }
            m_serverSetting->m_port = settings.port;
            m_serverSetting->m_password = QString::fromStdString(settings.password);
            if (m_serverSetting->DoModal() != CServerSetting::kRetry) {
                return false;
            }
            settings.port = static_cast<uint16_t>(m_serverSetting->m_port);
            settings.password = m_serverSetting->m_password.toStdString();
            return true;
        },
        m_stop);
}

void GuiInstallUi::UpdateRow(const MacAddress& mac, uint32_t address, bool installed) {
    if (!m_window) {
        return;
    }
    CCameraSetupDlg* window = m_window;
    // The row of the installed camera, whichever row is selected now; the buttons follow the selection.
    InvokeBlocking(
        window,
        [window, &mac, address, installed] {
            window->SetInstallInProgress(installed ? std::nullopt : std::optional(mac));
            window->TakeAddress(mac, address);
        },
        m_stop);
    window->SendRefreshControls(m_stop);
}

void StartGuiInstall(CCameraSetupDlg& window) {
    InitFileTransferLibrary();
    const CameraRecord target = window.Selected();
    PrivilegedHelper* helper = window.Helper();
    window.HoldInstall(std::make_unique<InstallSession>([&window, target, helper](const StopSignal& stop) {
        GuiInstallUi ui(window, &stop);
        StdDiagnostics diagnostics;
        PrivilegedHelper unstarted;  // every privileged step then fails with its own message
        RealInstallPlatform real(diagnostics, helper != nullptr ? *helper : unstarted,
                                 StringTable::Load(StringTable::kConfigFileName));
        InstallWorker worker(target, ui, real.Platform(), stop);
        return worker.Run().outcome;
    }));
}

void StartGuiRestore(CCameraSetupDlg& window, const RestorePlan& plan) {
    InitFileTransferLibrary();
    PrivilegedHelper* helper = window.Helper();
    window.HoldInstall(std::make_unique<InstallSession>([&window, plan, helper](const StopSignal& stop) {
        GuiInstallUi ui(window, &stop, plan.params);
        StdDiagnostics diagnostics;
        PrivilegedHelper unstarted;
        RealInstallPlatform real(diagnostics, helper != nullptr ? *helper : unstarted,
                                 StringTable::Load(StringTable::kConfigFileName));
        InstallWorker worker(plan.target, ui, real.Platform(), stop);
        worker.SetRestore(plan.restore);
        return worker.Run().outcome;
    }));
}
