#include "CBatchDlg.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <set>

#include "AppStyle.h"
#include "BatchResults.h"
#include "BatchSetup.h"
#include "Bitmaps.h"
#include "CommandButton.h"
#include "Diagnostics.h"
#include "DottedAddress.h"
#include "InstallWorker.h"
#include "InvokeBlocking.h"
#include "IpAddressEdit.h"
#include "Ipv4Text.h"
#include "ModelStrings.h"
#include "PrivilegedHelper.h"
#include "RecordStore.h"
#include "SiteReport.h"
#include "StringTable.h"

namespace {

constexpr const char* kCaption = "Install several cameras";
constexpr const char* kPlanFilter = "CSV plan (*.csv);;All files (*)";
constexpr const char* kResultsFilter = "Results CSV (*.csv);;Site report (*.pdf *.html *.json)";
constexpr int kPollMs = 100;
constexpr const char* kWatchText = "Install cameras as they appear";
constexpr const char* kLinesText = "Show diagnostic lines...";
constexpr const char* kRangeNeededText = "Enter the first and last address of the range and its subnet mask.";

QString Dotted(uint32_t address) {
    return address == 0 ? QStringLiteral("-") : QString::fromStdString(FormatDottedAddress(address));
}

std::optional<uint32_t> Optional(const IpAddressEdit* field) {
    return field->IsBlank() ? std::nullopt : std::optional<uint32_t>(field->Address());
}

}  // namespace

// Called on the installations' threads: everything is handed to the GUI thread and never waited for, so the
// dialog may join the batch from the GUI thread. The list's updates go to the main window, which outlives the
// dialog, so a camera's last update is not lost when the dialog closes right after it.
class CBatchDlg::Observer : public BatchObserver {
  public:
    explicit Observer(CBatchDlg& dialog)
        : m_dialog(&dialog),
          m_listOwner(dialog.parent() != nullptr ? dialog.parent() : &dialog),
          m_addressTaken(dialog.m_seams.addressTaken) {}

    void Changed(const BatchCameraStatus& status) override {
        CBatchDlg* dialog = m_dialog;
        InvokeLater(dialog, [dialog, status] { dialog->Apply(status); });
    }

    void AddressTaken(const MacAddress& mac, uint32_t address, bool installed) override {
        if (m_addressTaken) {
            InvokeLater(m_listOwner,
                        [call = m_addressTaken, mac, address, installed] { call(mac, address, installed); });
        }
    }

  private:
    CBatchDlg* m_dialog;
    QObject* m_listOwner;
    std::function<void(const MacAddress&, uint32_t, bool)> m_addressTaken;
};

// Every line of the batch goes on to the program's diagnostics; each camera's lines (prefixed with its MAC by the
// engine) are also kept for the dialog to show on request.
class CBatchDlg::CapturedDiagnostics : public Diagnostics {
  public:
    explicit CapturedDiagnostics(Diagnostics& out) : m_out(out) {}

    void Write(Stream stream, std::string_view text) override {
        m_out.Write(stream, text);
        std::lock_guard lock(m_mutex);
        std::string& pending = m_pending[stream == Stream::Err ? 1 : 0];
        pending.append(text);
        for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
            const std::string line = pending.substr(0, end);
            const size_t colon = line.find(": ");
            if (const auto mac = MacAddress::Parse(line.substr(0, colon)); mac && colon != std::string::npos) {
                m_lines[*mac] += line.substr(colon + 2) + "\n";
            }
        }
    }

    std::string Lines(const MacAddress& mac) const {
        std::lock_guard lock(m_mutex);
        const auto found = m_lines.find(mac);
        return found == m_lines.end() ? std::string() : found->second;
    }

  private:
    Diagnostics& m_out;
    mutable std::mutex m_mutex;
    std::string m_pending[2];
    std::map<MacAddress, std::string> m_lines;
};

CBatchDlg::CBatchDlg(std::vector<CameraRecord> cameras, std::vector<AdapterInfo> adapters, Diagnostics& diagnostics,
                     Seams seams, QWidget* parent)
    : QDialog(parent),
      m_cameras(std::move(cameras)),
      m_adapters(std::move(adapters)),
      m_diagnostics(diagnostics),
      m_seams(std::move(seams)) {
    setObjectName(QStringLiteral("CBatchDlg"));
    setWindowTitle(QString::fromLatin1(kCaption));
    if (!m_seams.platforms) {
        static PrivilegedHelper unstarted;  // every privileged step then fails with its own message
        m_seams.platforms = RealBatchPlatforms(m_seams.helper != nullptr ? *m_seams.helper : unstarted,
                                               StringTable::Load(StringTable::kConfigFileName));
    }
    if (!m_seams.cameras) {
        m_seams.cameras = [this] { return m_cameras; };
    }
    if (!m_seams.openFileName) {
        m_seams.openFileName = [this](const QString& caption, const QString& filter) {
            return QFileDialog::getOpenFileName(this, caption, QString(), filter);
        };
    }
    if (!m_seams.saveFileName) {
        m_seams.saveFileName = [this](const QString& caption, const QString& filter) {
            return QFileDialog::getSaveFileName(this, caption, QString(), filter);
        };
    }
    CreateControls();
    // In MAC order, the order a range hands out its addresses in.
    std::vector<MacAddress> installable;
    for (const CameraRecord& camera : m_cameras) {
        if (camera.assigned == Assignment::No) {
            installable.push_back(camera.mac);
        }
    }
    std::sort(installable.begin(), installable.end());
    for (const MacAddress& mac : installable) {
        AddCameraRow(mac);
    }
    PrefillRange();
    ShowPlannedAddresses();
    UpdateOverall();
    EnableControls();
}

CBatchDlg::~CBatchDlg() {
    StopAndJoin();
}

void CBatchDlg::CreateControls() {
    auto* layout = new QVBoxLayout(this);
    CreateTable(*layout);
    CreateRangeFields(*layout);
    m_overall = new QProgressBar(this);
    m_overall->setObjectName(QStringLiteral("OverallProgress"));
    m_overall->setRange(0, 100);
    layout->addWidget(m_overall);
    m_summary = new QLabel(this);
    m_summary->setObjectName(QStringLiteral("Summary"));
    layout->addWidget(m_summary);
    CreateButtons(*layout);
}

void CBatchDlg::CreateTable(QBoxLayout& layout) {
    m_table = new QTreeWidget(this);
    m_table->setObjectName(QStringLiteral("BatchTable"));
    m_table->setRootIsDecorated(false);
    m_table->setUniformRowHeights(true);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setHeaderLabels({QStringLiteral("MAC Address"), QStringLiteral("Model"), QStringLiteral("New IP"),
                              QStringLiteral("State"), QStringLiteral("Reason"), QStringLiteral("Progress")});
    m_table->setColumnWidth(kColumnMac, 150);
    m_table->setColumnWidth(kColumnModel, 110);
    m_table->setColumnWidth(kColumnNewIp, 110);
    m_table->setColumnWidth(kColumnState, 220);
    m_table->setColumnWidth(kColumnReason, 110);
    m_table->setMinimumSize(840, 260);
    m_table->setContextMenuPolicy(Qt::CustomContextMenu);
    layout.addWidget(m_table);
    connect(m_table, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem*, int column) {
        if (column == kColumnMac && !m_engine) {
            ShowPlannedAddresses();
        }
    });
    const auto macOf = [](const QTreeWidgetItem* item) {
        return MacAddress::Parse(item->data(kColumnMac, Qt::UserRole).toString().toStdString());
    };
    connect(m_table, &QTreeWidget::itemDoubleClicked, this, [this, macOf](QTreeWidgetItem* item) {
        if (const auto mac = macOf(item)) {
            ShowDiagnosticLines(*mac);
        }
    });
    connect(m_table, &QWidget::customContextMenuRequested, this, [this, macOf](const QPoint& position) {
        QTreeWidgetItem* item = m_table->itemAt(position);
        const auto mac = item != nullptr ? macOf(item) : std::nullopt;
        if (!mac) {
            return;
        }
        QMenu menu(this);
        QAction* lines = menu.addAction(QString::fromLatin1(kLinesText));
        if (menu.exec(m_table->viewport()->mapToGlobal(position)) == lines) {
            ShowDiagnosticLines(*mac);
        }
    });
}

void CBatchDlg::CreateRangeFields(QBoxLayout& layout) {
    auto* range = new QFormLayout;
    const char* labels[kFieldCount] = {"First IP", "Last IP", "Subnet Mask", "Gateway", "DNS 1", "DNS 2"};
    for (const char* label : labels) {
        auto* field = new IpAddressEdit(this);
        field->setObjectName(QString::fromLatin1(label));
        field->setFixedSize(140, 22);
        range->addRow(QString::fromLatin1(label), field);
        m_fields.push_back(field);
        connect(field, &IpAddressEdit::AddressEdited, this, &CBatchDlg::ShowPlannedAddresses);
    }
    m_watch = new QCheckBox(QString::fromLatin1(kWatchText), this);
    m_watch->setObjectName(QStringLiteral("Watch"));
    range->addRow(m_watch);
    connect(m_watch, &QCheckBox::toggled, this, &CBatchDlg::EnableControls);
    m_planLabel = new QLabel(this);
    range->addRow(m_planLabel);
    layout.addLayout(range);
}

void CBatchDlg::CreateButtons(QBoxLayout& layout) {
    // The faces every dialog of the program uses; each names its command.
    auto* buttons = new QHBoxLayout;
    int id = 1;
    auto addButton = [&](const char* name, int face, int disabledFace) {
        CommandButton* button = CreateCommandButton(this, id++, face, face, disabledFace, QRect(0, 0, 109, 50));
        button->setFixedSize(109, 50);
        button->setToolTip(QString::fromLatin1(name));
        button->setAccessibleName(QString::fromLatin1(name));
        buttons->addWidget(button);
        return button;
    };
    m_import = addButton("Import plan", Bitmaps::kImport, Bitmaps::kImportDisabled);
    m_start = addButton("Start", Bitmaps::kStart, Bitmaps::kStartDisabled);
    m_stop = addButton("Stop", Bitmaps::kStop, Bitmaps::kStopDisabled);
    m_export = addButton("Export results", Bitmaps::kExport, Bitmaps::kExportDisabled);
    buttons->addStretch();
    m_close = addButton("Close", Bitmaps::kClose, 0);
    layout.addLayout(buttons);

    connect(m_import, &QPushButton::clicked, this, [this] {
        const QString path = m_seams.openFileName(QStringLiteral("Import plan"), QString::fromLatin1(kPlanFilter));
        if (!path.isEmpty()) {
            ImportPlan(path);
        }
    });
    connect(m_start, &QPushButton::clicked, this, &CBatchDlg::OnStart);
    connect(m_stop, &QPushButton::clicked, this, &CBatchDlg::OnStop);
    connect(m_export, &QPushButton::clicked, this, [this] {
        const QString path =
            m_seams.saveFileName(QStringLiteral("Export results"), QString::fromLatin1(kResultsFilter));
        if (!path.isEmpty()) {
            ExportResults(path);
        }
    });
    connect(m_close, &QPushButton::clicked, this, &QDialog::reject);
}

// The first adapter's network: from network + kRangeOffset (or the first host of a smaller network) up to the
// address below the broadcast address. Gateway and name servers stay blank: each camera keeps what the network
// page shows first for it.
void CBatchDlg::PrefillRange() {
    if (m_adapters.empty()) {
        return;
    }
    const std::optional<uint32_t> address = ParseDottedAddress(m_adapters.front().address);
    const std::optional<uint32_t> mask = ParseDottedAddress(m_adapters.front().mask);
    if (!address || !mask || *mask == 0 || ~*mask < 2) {
        return;  // no room for hosts
    }
    const uint32_t network = *address & *mask;
    const uint32_t broadcast = network | ~*mask;
    const uint32_t first = broadcast - network > kRangeOffset ? network + kRangeOffset : network + 1;
    m_fields[kFirstIp]->SetAddress(first);
    m_fields[kLastIp]->SetAddress(broadcast - 1);
    m_fields[kMask]->SetAddress(*mask);
}

// Before Start: the address each checked camera will get, a range handing them out in MAC order.
void CBatchDlg::ShowPlannedAddresses() {
    if (m_engine || m_plan) {
        return;
    }
    std::unique_ptr<AddressAllocator> range;
    if (const std::optional<RangeRequest> request = RangeFromFields();
        request && request->span.first <= request->span.last) {
        range = AllocatorFor(*request);
    }
    const QSignalBlocker blocker(m_table);
    for (auto& [mac, row] : m_rows) {
        const bool checked = row.item->checkState(kColumnMac) == Qt::Checked;
        row.item->setText(kColumnNewIp, Dotted(checked && range ? range->Take().value_or(0) : 0));
    }
}

void CBatchDlg::AddCameraRow(const MacAddress& mac) {
    if (m_rows.count(mac) != 0) {
        return;
    }
    auto* item = new QTreeWidgetItem(m_table);
    item->setText(kColumnMac, QString::fromStdString(mac.Text()));
    const auto camera =
        std::find_if(m_cameras.begin(), m_cameras.end(), [&](const CameraRecord& c) { return c.mac == mac; });
    if (camera != m_cameras.end()) {
        const std::string_view model = ModelStringText(camera->model).value_or("");
        item->setText(kColumnModel, QString::fromUtf8(model.data(), static_cast<qsizetype>(model.size())));
    }
    item->setData(kColumnMac, Qt::UserRole, QString::fromStdString(mac.Text()));
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(kColumnMac, Qt::Checked);
    item->setText(kColumnNewIp, QStringLiteral("-"));
    auto* bar = new QProgressBar;
    bar->setRange(0, 100);
    bar->setValue(0);
    m_table->setItemWidget(item, kColumnProgress, bar);
    Row& row = m_rows[mac];
    row.item = item;
    row.progress = bar;
}

std::optional<RangeRequest> CBatchDlg::RangeFromFields() const {
    if (m_fields[kFirstIp]->IsBlank() || m_fields[kLastIp]->IsBlank() || m_fields[kMask]->IsBlank()) {
        return std::nullopt;
    }
    RangeRequest request;
    request.span = {m_fields[kFirstIp]->Address(), m_fields[kLastIp]->Address()};
    request.mask = m_fields[kMask]->Address();
    request.gateway = Optional(m_fields[kGateway]);
    request.dns1 = Optional(m_fields[kDns1]);
    request.dns2 = Optional(m_fields[kDns2]);
    return request;
}

// Never hands out an address this PC, a listed camera or one of the servers given holds.
std::unique_ptr<AddressAllocator> CBatchDlg::AllocatorFor(const RangeRequest& request) const {
    return std::make_unique<AddressAllocator>(request.span, request.mask,
                                              AddressesInUse(request, m_cameras, m_adapters));
}

std::vector<MacAddress> CBatchDlg::CheckedMacs() const {
    std::vector<MacAddress> macs;
    for (const auto& [mac, row] : m_rows) {
        if (row.item->checkState(kColumnMac) == Qt::Checked) {
            macs.push_back(mac);
        }
    }
    return macs;
}

bool CBatchDlg::ImportPlan(const QString& path) {
    if (Running() || m_ended) {
        return false;
    }
    std::string error;
    const std::optional<std::string> text = ReadPlanFile(path.toStdString(), &error);
    if (!text) {
        ShowMessage(QString::fromStdString(error), QString::fromLatin1(kErrorCaption));
        return false;
    }
    ParsedPlan plan = ParsePlan(*text);
    if (plan.error) {
        ShowMessage(QStringLiteral("%1: %2").arg(path, QString::fromStdString(PlanErrorText(*plan.error))),
                    QString::fromLatin1(kErrorCaption));
        return false;
    }
    // The plan names the cameras: its rows are checked (a camera not listed is added, to end failed), the rest
    // unchecked.
    const QSignalBlocker blocker(m_table);
    for (auto& [mac, row] : m_rows) {
        row.item->setCheckState(kColumnMac, Qt::Unchecked);
        row.item->setText(kColumnNewIp, QStringLiteral("-"));
    }
    for (const PlanRow& planRow : plan.rows) {
        AddCameraRow(planRow.options.mac);
        Row& row = m_rows.at(planRow.options.mac);
        row.item->setCheckState(kColumnMac, Qt::Checked);
        row.item->setText(kColumnNewIp, Dotted(planRow.options.ip.value_or(0)));
    }
    m_planLabel->setText(QStringLiteral("Plan %1: %2 cameras").arg(QFileInfo(path).fileName()).arg(plan.rows.size()));
    m_plan = std::move(plan.rows);
    EnableControls();
    return true;
}

std::optional<BatchSelection> CBatchDlg::Select() {
    const std::vector<MacAddress> macs = CheckedMacs();
    const QString caption = QString::fromLatin1(kErrorCaption);
    if (macs.empty()) {
        ShowMessage(QStringLiteral("Check the cameras to install."), caption);
        return std::nullopt;
    }
    BatchSelection selection;
    if (m_plan) {
        std::vector<PlanRow> rows;
        for (const PlanRow& row : *m_plan) {
            if (std::find(macs.begin(), macs.end(), row.options.mac) != macs.end()) {
                rows.push_back(row);
            }
        }
        selection = ItemsForPlan(rows, m_cameras, nullptr);
    } else {
        std::optional<RangeRequest> request = RangeFromFields();
        if (!request) {
            ShowMessage(QString::fromLatin1(kRangeNeededText), caption);
            return std::nullopt;
        }
        request->macs = macs;
        if (request->span.first > request->span.last) {
            ShowMessage(QStringLiteral("The first address of the range is above the last."), caption);
            return std::nullopt;
        }
        m_range = AllocatorFor(*request);
        selection = ItemsForRange(*request, m_cameras, *m_range, nullptr);
    }
    if (selection.error) {
        ShowMessage(QString::fromStdString(PlanErrorText(*selection.error)), caption);
        return std::nullopt;
    }
    return selection;
}

void CBatchDlg::OnStart() {
    if (m_engine || m_ended) {
        return;
    }
    m_startedAt = RecordTimeText(QDateTime::currentMSecsSinceEpoch());
    for (const auto& [mac, row] : m_rows) {
        if (row.item->checkState(kColumnMac) != Qt::Checked) {
            m_unchecked.insert(mac);
        }
    }
    std::optional<BatchSelection> selection;
    if (m_watch->isChecked()) {
        if (!StartWatching()) {
            m_unchecked.clear();
            return;
        }
        selection.emplace();
    } else {
        selection = Select();
        if (!selection) {
            m_range.reset();
            m_unchecked.clear();
            return;
        }
    }
    // Only the cameras of this batch stay in the table; in watch mode the checked ones wait for their turn and the
    // others join as they are taken.
    std::set<MacAddress> inBatch;
    for (const auto& [mac, row] : m_rows) {
        if (m_watcher && m_unchecked.count(mac) == 0) {
            inBatch.insert(mac);
            if (!m_plan) {
                row.item->setText(kColumnNewIp, Dotted(0));  // a range goes out in the order the cameras are taken
            }
            ShowState(m_rows.at(mac), BatchCameraState::Waiting, 0, std::string(), BatchReason::None);
        }
    }
    for (const BatchItem& item : selection->items) {
        inBatch.insert(item.camera.mac);
    }
    for (const BatchCameraStatus& status : selection->leftOut) {
        inBatch.insert(status.mac);
    }
    for (auto it = m_rows.begin(); it != m_rows.end();) {
        if (inBatch.count(it->first) == 0) {
            delete it->second.item;
            it = m_rows.erase(it);
        } else {
            ++it;
        }
    }
    for (const BatchItem& item : selection->items) {
        ShowState(m_rows.at(item.camera.mac), BatchCameraState::Waiting, item.params.m_newAddress, std::string(),
                  BatchReason::None);
    }
    LeaveOut(selection->leftOut);
    for (auto& [mac, row] : m_rows) {
        row.item->setFlags(row.item->flags() & ~Qt::ItemIsUserCheckable);
    }

    m_captured = std::make_unique<CapturedDiagnostics>(m_diagnostics);
    m_observer = std::make_unique<Observer>(*this);
    BatchEngine::Settings settings;
    settings.range = m_range.get();
    settings.diagnostics = m_captured.get();
    settings.firstIdentifier = InstallWorker::ProcessIdentifier();
    settings.watch = m_watcher != nullptr;
    m_engine = std::make_unique<BatchEngine>(std::move(selection->items), settings, m_seams.platforms, *m_observer);
    m_engine->Start();
    UpdateOverall();
    EnableControls();
    CheckEnded();
}

// Watch mode: the range's (or plan's) values checked now; the cameras are taken as the list shows them.
bool CBatchDlg::StartWatching() {
    const QString caption = QString::fromLatin1(kErrorCaption);
    if (m_plan) {
        std::vector<PlanRow> rows;
        for (const PlanRow& row : *m_plan) {
            if (m_unchecked.count(row.options.mac) == 0) {
                rows.push_back(row);
            }
        }
        m_watcher = std::make_unique<BatchWatch>(std::move(rows), nullptr);
        return true;
    }
    const std::optional<RangeRequest> request = RangeFromFields();
    if (!request || request->span.first > request->span.last) {
        ShowMessage(QString::fromLatin1(kRangeNeededText), caption);
        return false;
    }
    m_range = AllocatorFor(*request);
    m_watcher = std::make_unique<BatchWatch>(*request, *m_range, nullptr);
    return true;
}

// Watch mode, every poll: the cameras the list shows now that are wanted join the batch.
void CBatchDlg::Watch() {
    const auto now = std::chrono::steady_clock::now();
    for (const CameraRecord& camera : m_seams.cameras()) {
        if (m_unchecked.count(camera.mac) != 0) {
            continue;
        }
        if (std::none_of(m_cameras.begin(), m_cameras.end(),
                         [&](const CameraRecord& c) { return c.mac == camera.mac; })) {
            m_cameras.push_back(camera);
        }
        if (std::optional<BatchItem> item = m_watcher->Offer(camera, now)) {
            AddCameraRow(camera.mac);
            Row& row = m_rows.at(camera.mac);
            row.item->setFlags(row.item->flags() & ~Qt::ItemIsUserCheckable);
            ShowState(row, BatchCameraState::Waiting, item->params.m_newAddress, std::string(), BatchReason::None);
            m_engine->Add(std::move(*item));
        }
    }
    LeaveOut(m_watcher->TakeLeftOut());
    if (m_watcher->AllNamedHandled()) {
        m_engine->Close();
    }
}

void CBatchDlg::LeaveOut(const std::vector<BatchCameraStatus>& leftOut) {
    for (const BatchCameraStatus& status : leftOut) {
        AddCameraRow(status.mac);
        Row& row = m_rows.at(status.mac);
        row.item->setFlags(row.item->flags() & ~Qt::ItemIsUserCheckable);
        ShowState(row, status.state, status.newAddress, status.message, status.reason);
        m_leftOut.push_back(status);
    }
    UpdateOverall();
}

void CBatchDlg::OnStop() {
    if (Running()) {
        m_engine->RequestStop();
        m_stop->setEnabled(false);
    }
}

bool CBatchDlg::Running() const {
    return m_engine != nullptr && !m_ended;
}

void CBatchDlg::Apply(const BatchCameraStatus& status) {
    const auto found = m_rows.find(status.mac);
    if (found == m_rows.end() || IsFinal(found->second.state)) {
        return;  // the end already shown is the one the results hold
    }
    found->second.percent = std::clamp(status.progress, 0, 100);
    ShowState(found->second, status.state, status.newAddress, status.message, status.reason);
    UpdateOverall();
}

void CBatchDlg::ShowState(Row& row, BatchCameraState state, uint32_t address, const std::string& text,
                          BatchReason reason) {
    row.state = state;
    if (address != 0) {
        row.item->setText(kColumnNewIp, Dotted(address));
    }
    QString shown = QString::fromLatin1(BatchCameraStateName(state));
    if (IsFinal(state) && state != BatchCameraState::Installed && !text.empty()) {
        shown += QStringLiteral(": ") + QString::fromStdString(text);
    }
    row.item->setText(kColumnState, shown);
    row.item->setToolTip(kColumnState, QString::fromStdString(text));
    row.item->setText(kColumnReason, QString::fromLatin1(BatchReasonName(reason)));
    row.progress->setValue(IsFinal(state) ? 100 : row.percent);
}

void CBatchDlg::UpdateOverall() {
    int installed = 0;
    int failed = 0;
    int stopped = 0;
    int sum = 0;
    for (const auto& [mac, row] : m_rows) {
        installed += row.state == BatchCameraState::Installed || row.state == BatchCameraState::Skipped ? 1 : 0;
        failed += row.state == BatchCameraState::Failed ? 1 : 0;
        stopped += row.state == BatchCameraState::Stopped ? 1 : 0;
        sum += IsFinal(row.state) ? 100 : row.percent;
    }
    const int total = static_cast<int>(m_rows.size());
    m_overall->setValue(total == 0 || !m_engine ? 0 : sum / total);
    QString summary = QStringLiteral("%1 installed, %2 failed of %3").arg(installed).arg(failed).arg(total);
    if (stopped != 0) {
        summary += QStringLiteral(", %1 stopped").arg(stopped);
    }
    m_summary->setText(m_engine ? summary : QString());
}

// The batch ends on its own threads; its final states come from its results, whatever updates are still queued.
void CBatchDlg::CheckEnded() {
    if (!m_engine || m_ended) {
        return;
    }
    if (m_watcher && !m_engine->Finished()) {
        Watch();
    }
    if (!m_engine->Finished()) {
        QTimer::singleShot(kPollMs, this, &CBatchDlg::CheckEnded);
        return;
    }
    m_engine->Join();
    if (m_watcher) {
        LeaveOut(m_watcher->Unhandled());
    }
    for (const BatchCameraStatus& result : m_engine->Results()) {
        if (const auto found = m_rows.find(result.mac); found != m_rows.end()) {
            ShowState(found->second, result.state, result.newAddress, result.message, result.reason);
        }
    }
    m_ended = true;
    UpdateOverall();
    EnableControls();
    if (m_engine->Fatal()) {
        // As for one installation: without its echo socket this process can install nothing. The batch has
        // stopped and cleaned up every installation before this.
        ShowMessage(QString::fromStdString(FatalMessage(m_engine->Results())), QString::fromLatin1(kErrorCaption));
        std::_Exit(InstallWorker::kFatalExitCode);
    }
}

void CBatchDlg::EnableControls() {
    const bool before = !m_engine;
    for (IpAddressEdit* field : m_fields) {
        field->setEnabled(before && !m_plan);
    }
    m_import->setEnabled(before);
    m_watch->setEnabled(before);
    m_start->setEnabled(before && (!m_rows.empty() || m_watch->isChecked()));
    m_stop->setEnabled(Running());
    m_export->setEnabled(m_ended);
}

std::vector<BatchCameraStatus> CBatchDlg::Results() const {
    std::vector<BatchCameraStatus> results;
    if (!m_engine) {
        return results;
    }
    results = LeftOutResults(m_leftOut, m_cameras);
    if (m_ended) {
        std::vector<BatchCameraStatus> ran = m_engine->Results();
        results.insert(results.begin(), ran.begin(), ran.end());
    }
    return results;
}

QString CBatchDlg::DiagnosticLines(const MacAddress& mac) const {
    return m_captured ? QString::fromStdString(m_captured->Lines(mac)) : QString();
}

void CBatchDlg::ShowDiagnosticLines(const MacAddress& mac) {
    const QString name = QString::fromStdString(mac.Text());
    QString lines = DiagnosticLines(mac);
    if (m_seams.showLines) {
        m_seams.showLines(name, lines);
        return;
    }
    QMessageBox box(QMessageBox::Information, QString::fromLatin1(kCaption),
                    lines.isEmpty() ? QStringLiteral("%1: no diagnostic lines yet.").arg(name)
                                    : QStringLiteral("Diagnostic lines of %1").arg(name),
                    QMessageBox::Ok, this);
    if (!lines.isEmpty()) {
        box.setDetailedText(lines);
    }
    box.exec();
}

bool CBatchDlg::ExportResults(const QString& path) {
    std::string error;
    const std::optional<ReportFormat> report = ParseReportFormat(QFileInfo(path).suffix().toLower().toStdString());
    if (report && *report != ReportFormat::Csv) {
        std::vector<MacAddress> macs;
        for (const BatchCameraStatus& result : Results()) {
            macs.push_back(result.mac);
        }
        const RecordStore store(m_seams.recordsDirectory.value_or(RecordStore::DefaultDirectory()));
        if (WriteReport(ReportRows(store.AllRecords(), m_startedAt, macs), *report, path.toStdString(), &error)) {
            return true;
        }
    } else if (SaveTextFile(path.toStdString(), FormatBatchResults(Results()), &error)) {
        return true;
    }
    ShowMessage(QString::fromStdString(error), QString::fromLatin1(kErrorCaption));
    return false;
}

void CBatchDlg::StopAndJoin() {
    if (m_engine && !m_ended) {
        m_engine->RequestStop();
        m_engine->Join();
    }
}

void CBatchDlg::done(int result) {
    StopAndJoin();
    CheckEnded();
    QDialog::done(result);
}

void CBatchDlg::ShowMessage(const QString& text, const QString& caption) {
    if (m_seams.showMessage) {
        m_seams.showMessage(text, caption);
        return;
    }
    QMessageBox box(MessageBoxIcon(caption), caption, text, QMessageBox::Ok, this);
    box.exec();
}
