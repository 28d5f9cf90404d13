#pragma once

// The install worker's user interface in the window: the Setup Wizard, the status dialog and message boxes,
// run on the GUI thread through the main window's messages while the worker waits on its own thread.

#include <QPointer>

#include "CCameraSetupDlg.h"
#include "InstallUi.h"

class CServerSetting;

class GuiInstallUi : public InstallUi {
  public:
    explicit GuiInstallUi(CCameraSetupDlg& window);
    ~GuiInstallUi() override;

    std::optional<InstallParams> RunWizard(const WizardRequest& request) override;
    void OpenStatus() override;
    void SetStatusText(const std::string& text) override;
    void SetStatusProgress(int position) override;
    void CloseStatus() override;
    void EndWait() override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool AskServerSettings(FileTransfer::Result failure, ServerSettings& settings) override;
    void UpdateRow(const std::string& mac, const std::string& address, bool installed) override;

  private:
    QPointer<CCameraSetupDlg> m_window;
    QPointer<CServerSetting> m_serverSetting;  // one object for every retry, a child of the window
};

// The Install button: runs one installation of the selected camera on a thread of its own, not waited for.
// A press while an installation runs is ignored.
void StartGuiInstall(CCameraSetupDlg& window);
// Whether an installation started by StartGuiInstall is still running (its cleanup included).
bool GuiInstallRunning();
