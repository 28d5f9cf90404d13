#pragma once

// The main window (dialog 102): the list of found cameras, Search, Install, Web page, Exit and About.
// It owns the discovery object (DHCP listeners, XRM worker, device table, re-query timer 1000).
//
// Worker threads reach it only through its window messages (WindowMessages.h) and the thread-safe calls
// marked below; everything else is GUI-thread only.

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <future>
#include <memory>
#include <optional>

#include "CameraDiscovery.h"
#include "CameraRecord.h"
#include "CommandButton.h"
#include "RestorePlan.h"

class CMessageDlg;
class InstallSession;
class StopSignal;
class StatusOpenEvent;
class DeviceTableModel;
class QFrame;
class QLabel;
class QTreeView;

class CCameraSetupDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kWidth = 573;
    static constexpr int kHeight = 534;
    static constexpr int kSearchDurationMs = 5000;
    static constexpr int kAboutCommand = 16;
    static constexpr int kBatchCommand = 17;
    static constexpr int kExportCommand = 18;
    static constexpr int kRestoreCommand = 19;

    // Control ids.
    static constexpr int kInstallButton = 1000;
    static constexpr int kSearchButton = 1002;
    static constexpr int kWebPageButton = 1004;
    static constexpr int kExitButton = 1006;
    static constexpr int kAboutButton = 1008;
    static constexpr int kList = 1011;
    static constexpr int kListFrame = 1013;
    static constexpr int kHint = 1014;

    // Replaceable for tests; the defaults are the real desktop.
    struct Seams {
        std::optional<CameraDiscovery::Environment> environment;  // default: the real sockets
        std::function<bool(const QUrl&)> openUrl;                 // default: QDesktopServices::openUrl
        std::function<void(const QString& text, const QString& caption)> showMessage;  // default: QMessageBox
        int searchDurationMs = kSearchDurationMs;
        // The privileged operations (the DHCP relay, the installation's assignment); without a helper and
        // without an environment seam they fail as for a user the helper refuses.
        PrivilegedHelper* helper = nullptr;
        // The export's file and the filter chosen for it; an empty name cancels. Default: QFileDialog.
        std::function<QString(const QString& filters, QString* chosenFilter)> exportFileName;
        // Where the installation records are. Default: RecordStore::DefaultDirectory().
        std::optional<std::string> recordsDirectory;
        // Asks a yes/no question; true for yes. Default: QMessageBox.
        std::function<bool(const QString& text)> confirm;
    };

    // What the Install button starts: the install worker, given this window, which holds its session
    // (HoldInstall). A press while the held installation runs starts nothing.
    using InstallStarter = std::function<void(CCameraSetupDlg& window)>;
    // What "Restore previous settings..." starts, held the same way.
    using RestoreStarter = std::function<void(CCameraSetupDlg& window, const RestorePlan& plan)>;

    // `helper` outlives the window.
    CCameraSetupDlg(Diagnostics& diagnostics, PrivilegedHelper& helper, QWidget* parent = nullptr);
    CCameraSetupDlg(Diagnostics& diagnostics, Seams seams, QWidget* parent = nullptr);
    ~CCameraSetupDlg() override;

    // Initialises the window (start-up steps 1 to 7), shows it, runs the first search once it is on screen,
    // and returns when the window ends.
    int DoModal();
    // Start-up without the modal run, for tests: everything DoModal does before showing the window.
    void OnInitDialog();

    void SetInstallStarter(InstallStarter starter) { m_installStarter = std::move(starter); }
    void SetRestoreStarter(RestoreStarter starter) { m_restoreStarter = std::move(starter); }
    // The window holds the installation from here on; its end (the destructor) stops it and joins it. GUI thread.
    void HoldInstall(std::unique_ptr<InstallSession> session);
    // Whether the held installation is still running (its cleanup included).
    bool InstallRunning() const;

    // The handlers, public so that tests and the context menu reach them.
    void OnSearch();
    void OnWebPage();
    void OnInstall();
    void OnAbout();
    // "Install several cameras...": the batch dialog over the installable rows. Not while one installation runs.
    void OnBatchInstall();
    // "Export list...": the list as CSV or JSON (by the chosen filter, or the name's extension), written whole
    // or not at all.
    void OnExportList();
    // "Restore previous settings...": after a confirmation naming the kept file's time, puts back what the camera
    // had before its last installation, and its address. Nothing while an installation runs.
    void OnRestore(const MacAddress& mac);
    // Whether the camera has a kept file to go back to.
    bool HasBackup(const MacAddress& mac) const;
    // Writes the list to `path`; false (with a message naming the file and the reason) when it cannot.
    bool ExportList(const QString& path, bool json);
    // The list's click logic: from the current selection, take the selected camera and enable the buttons.
    void OnClickList();

    // The list key of the camera whose installation has given it its address but has not ended yet, empty when
    // none. Its row shows "Yes" from that moment, but its web page is offered only after "Install OK".
    // GUI thread only.
    void SetInstallInProgress(std::optional<MacAddress> mac) { m_installInProgress = mac; }
    // An installation has given the camera `address`: its row shows it with "Yes". GUI thread only.
    void TakeAddress(const MacAddress& mac, uint32_t address);

    CameraDiscovery& Discovery() { return *m_discovery; }
    PrivilegedHelper* Helper() const { return m_seams.helper; }
    const CameraRecord& Selected() const { return m_selectedCamera; }
    QTreeView* List() const { return m_list; }
    CommandButton* Button(int id) const;
    CameraDiscovery::StartReport StartReport() const { return m_startReport; }

    // The status dialog opened on WM_STATUS_OPEN, or nullptr. GUI thread only.
    CMessageDlg* StatusDialog() const { return m_statusDialog; }
    // The dialog run by the last Search while it runs, or nullptr (tests watch it).
    CMessageDlg* SearchDialog() const { return m_searchDialog; }

    // Thread-safe: asks for the status dialog and returns a future that becomes true once it is on screen,
    // false if it could not be opened (the window went away).
    std::future<bool> PostStatusOpen();
    // The same, waited for: whether the dialog is on screen. A stop gives up the wait (false).
    bool OpenStatus(const StopSignal* stop);
    // Thread-safe, synchronous: delivers `event` (WM_STATUS_CLOSE, _TEXT, _PROGRESS) to the status dialog on
    // the GUI thread and waits; false when no status dialog exists (the message is lost, as on a missing
    // window). Must not be called once this window has been destroyed. A message not yet handled when `stop`
    // is requested is dropped.
    bool SendToStatusDialog(QEvent& event, const StopSignal* stop = nullptr);
    // Thread-safe: WM_END_WAIT and WM_REFRESH_CONTROLS, handled before they return (or dropped on a stop).
    void SendEndWait(const StopSignal* stop = nullptr);
    void SendRefreshControls(const StopSignal* stop = nullptr);

  signals:
    // After the first search of the start-up has ended (tests and screenshots wait for it).
    void StartupSearchDone();

  protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    class MessageUi;

    void CreateControls();
    void CreatePictures();
    void CreateDeviceList();
    void CreateCommandButtons();
    void OnStatusOpen(StatusOpenEvent& event);
    void EndWaitCursor();
    void ShowMessage(const QString& text, const QString& caption);

    Diagnostics& m_diagnostics;
    Seams m_seams;
    std::unique_ptr<MessageUi> m_messageUi;
    std::unique_ptr<CameraDiscovery> m_discovery;
    std::unique_ptr<DeviceTableModel> m_model;
    QTreeView* m_list = nullptr;
    CommandButton* m_installButton = nullptr;
    CommandButton* m_webPageButton = nullptr;
    CommandButton* m_exitButton = nullptr;
    CommandButton* m_aboutButton = nullptr;
    CommandButton* m_searchButton = nullptr;
    QLabel* m_sidePicture = nullptr;
    QLabel* m_hint = nullptr;
    QFrame* m_listFrame = nullptr;
    CMessageDlg* m_statusDialog = nullptr;
    CMessageDlg* m_searchDialog = nullptr;
    CameraRecord m_selectedCamera;
    CameraDiscovery::StartReport m_startReport;
    InstallStarter m_installStarter;
    RestoreStarter m_restoreStarter;
    std::unique_ptr<InstallSession> m_install;
    std::optional<MacAddress> m_installInProgress;
    int m_waitCursors = 0;
    bool m_initialised = false;
};
