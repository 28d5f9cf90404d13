#pragma once

// The install worker's user interface in the window: the Setup Wizard, the status dialog and message boxes,
// run on the GUI thread through the main window's messages while the worker waits on its own thread.

#include <QPointer>

#include "CCameraSetupDlg.h"
#include "InstallUi.h"
#include "StopSignal.h"

class CServerSetting;

class GuiInstallUi : public InstallUi {
  public:
    // Once `stop` is requested, a call the GUI thread has not taken up yet is dropped, so that the window can
    // join the installation.
    explicit GuiInstallUi(CCameraSetupDlg& window, const StopSignal* stop = nullptr);
    // A restore: no wizard, these settings.
    GuiInstallUi(CCameraSetupDlg& window, const StopSignal* stop, InstallParams params);
    ~GuiInstallUi() override;

    std::optional<InstallParams> RunWizard(const CameraRecord& camera) override;
    void OpenStatus() override;
    void SetStatusText(const std::string& text) override;
    void SetStatusProgress(int position) override;
    void CloseStatus() override;
    void EndWait() override;
    void ShowMessage(const std::string& text, const std::string& caption) override;
    bool AskServerSettings(FileTransfer::Result failure, ServerSettings& settings) override;
    void UpdateRow(const MacAddress& mac, uint32_t address, bool installed) override;

  private:
    QPointer<CCameraSetupDlg> m_window;
    const StopSignal* m_stop;
    QPointer<CServerSetting> m_serverSetting;  // one object for every retry, a child of the window
    std::optional<InstallParams> m_params;     // instead of the wizard's
};

// The Install button: runs one installation of the selected camera in a session that the window holds.
void StartGuiInstall(CCameraSetupDlg& window);
// "Restore previous settings...": the restore as the plan says, held the same way.
void StartGuiRestore(CCameraSetupDlg& window, const RestorePlan& plan);
