#include "GuiInstallUi.h"

#include <QMessageBox>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "CMessageDlg.h"
#include "CServerSetting.h"
#include "Clock.h"
#include "DeviceInfo.h"
#include "EchoChannel.h"
#include "EndSignalCleanup.h"
#include "FileTransfer.h"
#include "InstallWorker.h"
#include "NeighbourTable.h"
#include "RealInstallPlatform.h"
#include "SetupWizardRun.h"
#include "StringTable.h"
#include "WindowMessages.h"

namespace {

std::atomic<bool> g_installRunning{false};

}  // namespace

GuiInstallUi::GuiInstallUi(CCameraSetupDlg& window) : m_window(&window) {}

GuiInstallUi::~GuiInstallUi() {
    // Deleted on the GUI thread, unless the window (its parent) has taken it along already.
    if (m_serverSetting) {
        m_serverSetting->deleteLater();
    }
}

std::optional<InstallParams> GuiInstallUi::RunWizard(const WizardRequest& request) {
    if (!m_window) {
        return std::nullopt;
    }
    const WizardStart start{request.address, request.mask, request.gateway,
                            request.dns1,    request.dns2, request.wireless};
    CCameraSetupDlg* window = m_window;
    return InvokeBlocking(window, [window, start] { return RunSetupWizard(window, start); });
}

void GuiInstallUi::OpenStatus() {
    if (m_window) {
        m_window->PostStatusOpen().wait();
    }
}

void GuiInstallUi::SetStatusText(const std::string& text) {
    if (m_window) {
        StatusTextEvent event(QString::fromStdString(text));
        m_window->SendToStatusDialog(event);
    }
}

void GuiInstallUi::SetStatusProgress(int position) {
    if (m_window) {
        StatusProgressEvent event(position);
        m_window->SendToStatusDialog(event);
    }
}

void GuiInstallUi::CloseStatus() {
    if (m_window) {
        QEvent event(WindowMessages::Type(WindowMessages::kStatusClose));
        m_window->SendToStatusDialog(event);
    }
}

void GuiInstallUi::EndWait() {
    if (m_window) {
        m_window->SendEndWait();
    }
}

void GuiInstallUi::ShowMessage(const std::string& text, const std::string& caption) {
    if (!m_window) {
        return;
    }
    CCameraSetupDlg* window = m_window;
    InvokeBlocking(window, [window, &text, &caption] {
        const QMessageBox::Icon icon = caption == "Error"     ? QMessageBox::Critical
                                       : caption == "Warning" ? QMessageBox::Warning
                                                              : QMessageBox::Information;
        QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                        window->isVisible() ? window : nullptr);
        box.setObjectName(QStringLiteral("InstallMessage"));
        box.exec();
    });
}

bool GuiInstallUi::AskServerSettings(FileTransfer::Result, ServerSettings& settings) {
    if (!m_window) {
        return false;
    }
    CCameraSetupDlg* window = m_window;
    return InvokeBlocking(window, [this, window, &settings] {
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
    });
}

void GuiInstallUi::UpdateRow(const std::string& mac, const std::string& address, bool) {
    if (!m_window) {
        return;
    }
    CCameraSetupDlg* window = m_window;
    // The row of the installed camera, whichever row is selected now; the buttons follow the selection.
    InvokeBlocking(window, [window, &mac, &address] {
        DeviceTable& table = window->Discovery().Table();
        if (const auto row = table.Find(mac)) {
            table.SetCell(*row, kColumnAddress, address);
            table.SetCell(*row, kColumnAssigned, kAssignedYes);
        }
    });
    window->SendRefreshControls();
}

bool GuiInstallRunning() {
    return g_installRunning;
}

void StartGuiInstall(CCameraSetupDlg& window) {
    if (g_installRunning.exchange(true)) {
        return;
    }
    InitFileTransferLibrary();
    const SelectedCamera& selected = window.Selected();
    InstallTarget target{
        selected.mac,  selected.address, selected.mask,     selected.gateway,
        selected.dns1, selected.dns2,    selected.wireless, window.Discovery().ArrivalInterface(selected.mac)};
    PrivilegedHelper* helper = window.Helper();
    std::thread([&window, target, helper] {
        GuiInstallUi ui(window);
        StdDiagnostics diagnostics;
        PrivilegedHelper unstarted;  // every privileged step then fails with its own message
        RealInstallPlatform real(diagnostics, helper != nullptr ? *helper : unstarted,
                                 StringTable::Load(StringTable::kConfigFileName));
        InstallWorker worker(target, ui, real.Platform());
        const RunningInstallScope runningScope(worker);
        worker.Run();
        g_installRunning = false;
    }).detach();
}
