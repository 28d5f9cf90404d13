#pragma once

// "Install several cameras": the installable cameras of the list with a check box each, their model and the
// address each will get, a range of addresses (or an imported plan) and a batch that installs them in parallel,
// optionally also every camera that appears while it runs. The batch runs on its own threads; their reports reach
// this dialog through queued calls only. Closing the dialog stops the batch and joins it.

#include <QDialog>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "AdapterInfo.h"
#include "BatchEngine.h"
#include "BatchPlan.h"
#include "BatchSetup.h"
#include "CameraRecord.h"

class Diagnostics;
class IpAddressEdit;
class QBoxLayout;
class QCheckBox;
class PrivilegedHelper;
class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

class CBatchDlg : public QDialog {
    Q_OBJECT
  public:
    // The prefilled range starts this far above the adapter's network address.
    static constexpr uint32_t kRangeOffset = 20;

    enum Field { kFirstIp, kLastIp, kMask, kGateway, kDns1, kDns2, kFieldCount };
    enum Column { kColumnMac, kColumnModel, kColumnNewIp, kColumnState, kColumnReason, kColumnProgress };

    struct Seams {
        // Default: each installation on the real platform through `helper` (unstarted when null).
        BatchEngine::PlatformFactory platforms;
        PrivilegedHelper* helper = nullptr;
        std::function<void(const QString& text, const QString& caption)> showMessage;  // default: QMessageBox
        // The file dialogs; an empty name cancels. Default: QFileDialog.
        std::function<QString(const QString& caption, const QString& filter)> openFileName;
        std::function<QString(const QString& caption, const QString& filter)> saveFileName;
        // GUI thread: the camera holds `address` now (as for one installation); the main window's list follows.
        std::function<void(const MacAddress& mac, uint32_t address, bool installed)> addressTaken;
        // GUI thread: the main window's list as it is now, for cameras installed as they appear. Default: the
        // cameras the dialog was opened with.
        std::function<std::vector<CameraRecord>()> cameras;
        // The window showing a camera's diagnostic lines. Default: a message box with the lines as details.
        std::function<void(const QString& mac, const QString& lines)> showLines;
        // Where the installation records are, for the site report. Default: RecordStore::DefaultDirectory().
        std::optional<std::string> recordsDirectory;
    };

    // cameras: the whole list (those reading "No" are offered; every address counts as in use). adapters: this
    // PC's, the first one prefills the range. `diagnostics` outlives the dialog.
    CBatchDlg(std::vector<CameraRecord> cameras, std::vector<AdapterInfo> adapters, Diagnostics& diagnostics,
              Seams seams, QWidget* parent = nullptr);
    // Stops the batch and waits for its installations' cleanup.
    ~CBatchDlg() override;

    // Reads a plan; its rows replace the range. False (the error shown with its line) when it is refused.
    bool ImportPlan(const QString& path);
    void OnStart();
    void OnStop();
    // Writes the results CSV; false (with a message) when it cannot be written.
    // By the name's extension: .pdf, .html or .json the site report of this batch's cameras (their records since
    // Start), anything else the results CSV.
    bool ExportResults(const QString& path);

    bool Running() const;
    // The lines the batch's installations wrote for this camera, in order.
    QString DiagnosticLines(const MacAddress& mac) const;
    void ShowDiagnosticLines(const MacAddress& mac);
    // Whether a batch ran and every camera has ended.
    bool Ended() const { return m_ended; }
    std::vector<BatchCameraStatus> Results() const;

    QTreeWidget* Table() const { return m_table; }
    IpAddressEdit* RangeField(Field field) const { return m_fields.at(field); }
    QPushButton* StartButton() const { return m_start; }
    QPushButton* StopButton() const { return m_stop; }
    QCheckBox* WatchBox() const { return m_watch; }
    QLabel* Summary() const { return m_summary; }
    QProgressBar* OverallProgress() const { return m_overall; }

  public slots:
    void done(int result) override;

  private:
    class Observer;
    class CapturedDiagnostics;
    struct Row {
        QTreeWidgetItem* item = nullptr;
        QProgressBar* progress = nullptr;
        BatchCameraState state = BatchCameraState::Waiting;
        int percent = 0;
    };

    void CreateControls();
    void CreateTable(QBoxLayout& layout);
    void CreateRangeFields(QBoxLayout& layout);
    void CreateButtons(QBoxLayout& layout);
    void PrefillRange();
    void AddCameraRow(const MacAddress& mac);
    void ShowPlannedAddresses();
    bool StartWatching();
    void Watch();
    std::vector<MacAddress> CheckedMacs() const;
    // The range the fields give; nothing while the first, last or mask field is blank.
    std::optional<RangeRequest> RangeFromFields() const;
    std::unique_ptr<AddressAllocator> AllocatorFor(const RangeRequest& request) const;
    std::optional<BatchSelection> Select();
    void Apply(const BatchCameraStatus& status);
    void ShowState(Row& row, BatchCameraState state, uint32_t address, const std::string& text, BatchReason reason);
    void UpdateOverall();
    void CheckEnded();
    void LeaveOut(const std::vector<BatchCameraStatus>& leftOut);
    void EnableControls();
    void StopAndJoin();
    void ShowMessage(const QString& text, const QString& caption);

    std::vector<CameraRecord> m_cameras;
    std::vector<AdapterInfo> m_adapters;
    Diagnostics& m_diagnostics;
    Seams m_seams;
    std::optional<std::vector<PlanRow>> m_plan;

    QTreeWidget* m_table = nullptr;
    std::vector<IpAddressEdit*> m_fields;
    QLabel* m_planLabel = nullptr;
    QPushButton* m_import = nullptr;
    QPushButton* m_start = nullptr;
    QPushButton* m_stop = nullptr;
    QPushButton* m_export = nullptr;
    std::string m_startedAt;  // UTC, as records spell their times
    QPushButton* m_close = nullptr;
    QCheckBox* m_watch = nullptr;
    QProgressBar* m_overall = nullptr;
    QLabel* m_summary = nullptr;
    std::map<MacAddress, Row> m_rows;

    // Declared last: destroyed first, while everything its threads report to still exists.
    std::unique_ptr<CapturedDiagnostics> m_captured;
    std::unique_ptr<Observer> m_observer;
    std::unique_ptr<AddressAllocator> m_range;
    std::unique_ptr<BatchWatch> m_watcher;  // while cameras are installed as they appear
    std::set<MacAddress> m_unchecked;       // left out by the user: never installed as they appear
    std::vector<BatchCameraStatus> m_leftOut;
    std::unique_ptr<BatchEngine> m_engine;
    bool m_ended = false;
};
