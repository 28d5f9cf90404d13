#include "CCameraSetupDlg.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QTimer>
#include <QTreeView>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "AppStyle.h"
#include "ArtworkPixmap.h"
#include "BatchResults.h"
#include "Bitmaps.h"
#include "CAboutDlg.h"
#include "CBatchDlg.h"
#include "CMessageDlg.h"
#include "DeviceListFormat.h"
#include "DeviceTableModel.h"
#include "InstallSession.h"
#include "InstallWorker.h"
#include "Ipv4Text.h"
#include "RecordStore.h"
#include "RestorePlan.h"
#include "StringTable.h"
#include "WindowMessages.h"

namespace {

constexpr const char* kHintText = "Please restart your machine and select one by clicking\nthe Mac Address";

QLabel* AddPicture(QWidget* parent, int id, int bitmap, const QRect& geometry) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::number(id));
    label->setPixmap(ArtworkPixmap(bitmap));
    label->setGeometry(geometry);
    return label;
}

QString Text(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

// Discovery's failures go to the user as message boxes, through the window's message seam.
class CCameraSetupDlg::MessageUi : public DiscoveryUi {
  public:
    explicit MessageUi(CCameraSetupDlg& window) : m_window(window) {}
    void ShowMessage(std::string_view text, std::string_view caption) override {
        m_window.ShowMessage(Text(text), Text(caption));
    }

  private:
    CCameraSetupDlg& m_window;
};

namespace {

CCameraSetupDlg::Seams WithHelper(PrivilegedHelper& helper) {
    CCameraSetupDlg::Seams seams;
    seams.helper = &helper;
    return seams;
}

}  // namespace

CCameraSetupDlg::CCameraSetupDlg(Diagnostics& diagnostics, PrivilegedHelper& helper, QWidget* parent)
    : CCameraSetupDlg(diagnostics, WithHelper(helper), parent) {}

CCameraSetupDlg::CCameraSetupDlg(Diagnostics& diagnostics, Seams seams, QWidget* parent)
    : QDialog(parent), m_diagnostics(diagnostics), m_seams(std::move(seams)), m_messageUi(new MessageUi(*this)) {
    setObjectName(QStringLiteral("CCameraSetupDlg"));
    if (!m_seams.openUrl) {
        m_seams.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    }
    if (!m_seams.environment) {
        static PrivilegedHelper unstarted;
        m_seams.environment = CameraDiscovery::DefaultEnvironment(m_seams.helper ? *m_seams.helper : unstarted);
    }
    m_discovery = std::make_unique<CameraDiscovery>(*m_messageUi, m_diagnostics, *m_seams.environment, this);
    m_model = std::make_unique<DeviceTableModel>(m_discovery->Table());
}

// Members go before the QDialog base deletes the child controls, so the view is cut off from the model and from
// this object's handlers first; then discovery stops its worker (never waiting for this thread) before the table
// it fills goes away.
CCameraSetupDlg::~CCameraSetupDlg() {
    // The installation reaches into this window until it has ended.
    m_install.reset();
    EndWaitCursor();
    if (m_list != nullptr) {
        m_list->viewport()->removeEventFilter(this);
        disconnect(m_list->selectionModel(), nullptr, this, nullptr);
        m_list->setModel(nullptr);
    }
    if (m_model) {
        disconnect(m_model.get(), nullptr, this, nullptr);
    }
    m_model.reset();
    if (m_discovery) {
        m_discovery->Stop();
    }
    m_discovery.reset();
}

int CCameraSetupDlg::DoModal() {
    OnInitDialog();
    // The first search runs once the window is on screen, so its status dialog stands in front of it.
    QTimer::singleShot(0, this, [this] {
        OnSearch();
        emit StartupSearchDone();
    });
    return exec();
}

void CCameraSetupDlg::OnInitDialog() {
    if (m_initialised) {
        return;
    }
    m_initialised = true;
    const QIcon icon{QString::fromLatin1(Bitmaps::kIconPath)};
    setWindowIcon(icon);
    setWindowTitle(QString::fromStdString(StringTable::Load(StringTable::kProductName)));
    ApplyDialogLook(*this);
    setFixedSize(kWidth, kHeight);
    CreateControls();
    CentreOnScreen(*this);
    // Adapters, both DHCP listeners and the XRM worker; each failure has told the user already.
    m_startReport = m_discovery->Start();
}

void CCameraSetupDlg::CreateControls() {
    CreatePictures();
    CreateDeviceList();
    CreateCommandButtons();
}

void CCameraSetupDlg::CreatePictures() {
    AddPicture(this, 1001, Bitmaps::kBanner, QRect(0, 0, 567, 107));
    AddPicture(this, 1012, Bitmaps::kVerticalBar, QRect(172, 110, 6, 420));
    AddPicture(this, 1015, Bitmaps::kSidePicture, QRect(5, 130, 153, 55));
    // Drawn over the banner's lower edge, so its top rows are transparent.
    AddPicture(this, 1077, Bitmaps::kNetworkPicture, QRect(190, 80, 355, 98));
    const struct {
        int id;
        int bitmap;
        QRect geometry;
    } hidden[] = {
        {1073, Bitmaps::kPicture165, QRect(299, 90, 44, 41)},
        {1074, Bitmaps::kPicture164, QRect(389, 90, 39, 44)},
        {1075, Bitmaps::kPicture162, QRect(465, 140, 66, 50)},
        {1076, Bitmaps::kPicture163, QRect(190, 120, 80, 61)},
    };
    for (const auto& picture : hidden) {
        AddPicture(this, picture.id, picture.bitmap, picture.geometry)->hide();
    }
}

void CCameraSetupDlg::CreateDeviceList() {
    m_listFrame = new QFrame(this);
    m_listFrame->setObjectName(QString::number(kListFrame));
    m_listFrame->setFrameShape(QFrame::Box);
    m_listFrame->setFrameShadow(QFrame::Sunken);
    m_listFrame->setGeometry(190, 190, 355, 290);

    m_hint = new QLabel(QString::fromLatin1(kHintText), this);
    m_hint->setObjectName(QString::number(kHint));
    m_hint->setAttribute(Qt::WA_TranslucentBackground);
    m_hint->setGeometry(202, 200, 330, 30);

    m_list = new QTreeView(this);
    m_list->setObjectName(QString::number(kList));
    m_list->setGeometry(200, 235, 335, 235);
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setUniformRowHeights(true);
    m_list->setAllColumnsShowFocus(true);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The column widths were made for a narrow dialog font: a condensed face keeps a whole MAC text in column 0.
    QFont listFont = m_list->font();
    listFont.setFamilies({QStringLiteral("DejaVu Sans Condensed"), listFont.family()});
    m_list->setFont(listFont);
    m_list->setModel(m_model.get());
    m_list->header()->setStretchLastSection(false);
    // The model's size hints carry only widths (height 0), which would fold the header away.
    m_list->header()->setFixedHeight(QFontMetrics(listFont).height() + 8);
    m_list->header()->setSectionsMovable(false);
    for (int column = 0; column < m_model->columnCount(); ++column) {
        const int width = m_model->headerData(column, Qt::Horizontal, Qt::SizeHintRole).toSize().width();
        if (width > 0) {
            m_list->setColumnWidth(column, width);
        } else {
            m_list->setColumnHidden(column, true);
        }
    }
    m_list->viewport()->installEventFilter(this);
    // Keyboard moves change the selection too; the buttons and the selected camera must follow it, or Install would
    // act on a row that is no longer the one shown selected.
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { OnClickList(); });
    connect(m_model.get(), &QAbstractItemModel::modelReset, this, [this] { OnClickList(); });
}

void CCameraSetupDlg::CreateCommandButtons() {
    // One place creates the command buttons, in the window's tab order.
    m_searchButton = CreateCommandButton(this, kSearchButton, Bitmaps::kSearch, Bitmaps::kSearch,
                                         Bitmaps::kSearchDisabled, QRect(27, 200, 109, 50));
    m_installButton = CreateCommandButton(this, kInstallButton, Bitmaps::kWizard, Bitmaps::kWizard,
                                          Bitmaps::kWizardDisabled, QRect(27, 255, 109, 50));
    m_webPageButton = CreateCommandButton(this, kWebPageButton, Bitmaps::kLink, Bitmaps::kLink, Bitmaps::kLinkDisabled,
                                          QRect(27, 310, 109, 50));
    m_exitButton = CreateCommandButton(this, kExitButton, Bitmaps::kExit, 0, 0, QRect(27, 365, 109, 50));
    m_aboutButton = CreateCommandButton(this, kAboutButton, Bitmaps::kAbout, 0, 0, QRect(27, 420, 109, 50));
    m_installButton->setEnabled(false);
    m_webPageButton->setEnabled(false);
    connect(m_searchButton, &QPushButton::clicked, this, &CCameraSetupDlg::OnSearch);
    connect(m_installButton, &QPushButton::clicked, this, &CCameraSetupDlg::OnInstall);
    connect(m_webPageButton, &QPushButton::clicked, this, &CCameraSetupDlg::OnWebPage);
    connect(m_exitButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_aboutButton, &QPushButton::clicked, this, &CCameraSetupDlg::OnAbout);
}

CommandButton* CCameraSetupDlg::Button(int id) const {
    switch (id) {
        case kInstallButton:
            return m_installButton;
        case kSearchButton:
            return m_searchButton;
        case kWebPageButton:
            return m_webPageButton;
        case kExitButton:
            return m_exitButton;
        case kAboutButton:
            return m_aboutButton;
        default:
            return nullptr;
    }
}

void CCameraSetupDlg::OnSearch() {
    if (m_searchDialog != nullptr) {
        return;  // already searching (a queued click while the dialog ran)
    }
    m_discovery->Search();
    CMessageDlg dialog;
    dialog.SearchMode = 1;
    dialog.SearchDurationMs = m_seams.searchDurationMs;
    m_searchDialog = &dialog;
    dialog.DoModal();
    m_searchDialog = nullptr;
}

void CCameraSetupDlg::OnClickList() {
    const QModelIndexList rows = m_list != nullptr && m_list->selectionModel() != nullptr
                                     ? m_list->selectionModel()->selectedRows()
                                     : QModelIndexList();
    const DeviceTable& table = m_discovery->Table();
    if (rows.isEmpty() || static_cast<size_t>(rows.front().row()) >= table.RowCount()) {
        m_selectedCamera.address = 0;
        m_installButton->setEnabled(false);
        m_webPageButton->setEnabled(false);
        return;
    }
    const auto row = static_cast<size_t>(rows.front().row());
    m_selectedCamera = table.Record(row);
    // There is no page to open at 0.0.0.0, nor before the camera has restarted with its new settings.
    const bool installing = m_installInProgress == m_selectedCamera.mac;
    m_installButton->setEnabled(m_selectedCamera.assigned == Assignment::No);
    m_webPageButton->setEnabled(m_selectedCamera.assigned == Assignment::Yes && m_selectedCamera.address != 0 &&
                                !installing);
}

void CCameraSetupDlg::OnWebPage() {
    const QModelIndexList rows = m_list->selectionModel()->selectedRows();
    const DeviceTable& table = m_discovery->Table();
    if (rows.isEmpty() || static_cast<size_t>(rows.front().row()) >= table.RowCount()) {
        return;
    }
    const std::string& address = table.Cell(static_cast<size_t>(rows.front().row()), kColumnAddress);
    const QUrl url(QStringLiteral("http://") + QString::fromStdString(address), QUrl::StrictMode);
    if (!url.isValid()) {
        m_diagnostics.Print(Diagnostics::Stream::Err, "web page: not a valid address: %s\n", address.c_str());
        return;
    }
    m_seams.openUrl(url);
}

void CCameraSetupDlg::HoldInstall(std::unique_ptr<InstallSession> session) {
    m_install = std::move(session);
}

bool CCameraSetupDlg::InstallRunning() const {
    return m_install && m_install->Running();
}

void CCameraSetupDlg::OnInstall() {
    if (m_installStarter && !InstallRunning()) {
        m_installStarter(*this);
    }
}

void CCameraSetupDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CCameraSetupDlg::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("WindowMenu"));
    QAction* about = nullptr;
    if (const std::string entry = StringTable::Load(StringTable::kAboutMenuEntry); !entry.empty()) {
        about = menu.addAction(QString::fromStdString(entry));
        about->setData(kAboutCommand);
    }
    QAction* batch = menu.addAction(QStringLiteral("Install several cameras..."));
    batch->setData(kBatchCommand);
    batch->setEnabled(!InstallRunning());
    QAction* exportList = menu.addAction(QStringLiteral("Export list..."));
    exportList->setData(kExportCommand);
    // The row under the pointer, when it has settings to go back to.
    QAction* restore = nullptr;
    std::optional<MacAddress> restoreMac;
    if (m_list != nullptr) {
        const QModelIndex index = m_list->indexAt(m_list->viewport()->mapFromGlobal(event->globalPos()));
        const DeviceTable& table = m_discovery->Table();
        if (index.isValid() && static_cast<size_t>(index.row()) < table.RowCount()) {
            const MacAddress mac = table.Record(static_cast<size_t>(index.row())).mac;
            if (HasBackup(mac)) {
                restoreMac = mac;
                restore = menu.addAction(QStringLiteral("Restore previous settings..."));
                restore->setData(kRestoreCommand);
                restore->setEnabled(!InstallRunning());
            }
        }
    }
    QAction* chosen = menu.exec(event->globalPos());
    if (chosen == nullptr) {
        return;
    }
    if (chosen == about) {
        OnAbout();
    } else if (chosen == batch) {
        OnBatchInstall();
    } else if (chosen == exportList) {
        OnExportList();
    } else if (chosen == restore && restoreMac) {
        OnRestore(*restoreMac);
    }
}

bool CCameraSetupDlg::HasBackup(const MacAddress& mac) const {
    return RecordStore(m_seams.recordsDirectory.value_or(RecordStore::DefaultDirectory()))
        .LatestBackup(mac)
        .has_value();
}

void CCameraSetupDlg::OnRestore(const MacAddress& mac) {
    const DeviceTable& table = m_discovery->Table();
    const std::optional<size_t> row = table.Find(mac);
    if (InstallRunning() || !row || !m_restoreStarter) {
        return;
    }
    const RecordStore store(m_seams.recordsDirectory.value_or(RecordStore::DefaultDirectory()));
    RestoreProblem problem = RestoreProblem::None;
    std::string error;
    const std::optional<RestorePlan> plan =
        PlanRestore(store, table.Record(*row), std::nullopt, std::nullopt, &problem, &error);
    if (!plan) {
        ShowMessage(QString::fromStdString(error), QStringLiteral("Error"));
        return;
    }
    QString time = QString::fromStdString(plan->from->time);
    time.replace(QLatin1Char('T'), QLatin1Char(' '));
    time.chop(5);  // ".123Z"
    const QString text = QStringLiteral(
                             "Restore the settings that %1 had before its installation of %2 UTC?\n\n"
                             "The camera gets that configuration file back and the address %3, then restarts.")
                             .arg(QString::fromStdString(mac.Text()), time,
                                  QString::fromStdString(FormatDottedAddress(plan->params.m_newAddress)));
    const bool yes = m_seams.confirm ? m_seams.confirm(text)
                                     : QMessageBox::question(this, QStringLiteral("Message"), text) == QMessageBox::Yes;
    if (yes) {
        m_restoreStarter(*this, *plan);
    }
}

void CCameraSetupDlg::OnBatchInstall() {
    if (InstallRunning()) {
        return;
    }
    const DeviceTable& table = m_discovery->Table();
    std::vector<CameraRecord> cameras;
    for (size_t row = 0; row < table.RowCount(); ++row) {
        cameras.push_back(table.Record(row));
    }
    CBatchDlg::Seams seams;
    seams.helper = m_seams.helper;
    seams.showMessage = m_seams.showMessage;
    seams.addressTaken = [this](const MacAddress& mac, uint32_t address, bool) { TakeAddress(mac, address); };
    seams.cameras = [this] {
        const DeviceTable& list = m_discovery->Table();
        std::vector<CameraRecord> now;
        for (size_t row = 0; row < list.RowCount(); ++row) {
            now.push_back(list.Record(row));
        }
        return now;
    };
    CBatchDlg dialog(std::move(cameras), m_discovery->Adapters(), m_diagnostics, std::move(seams), this);
    dialog.exec();
}

void CCameraSetupDlg::OnExportList() {
    const QString csv = QStringLiteral("CSV (*.csv)");
    const QString json = QStringLiteral("JSON (*.json)");
    const QString filters = csv + QStringLiteral(";;") + json;
    QString chosen;
    QString path = m_seams.exportFileName
                       ? m_seams.exportFileName(filters, &chosen)
                       : QFileDialog::getSaveFileName(this, QStringLiteral("Export list"), QString(), filters, &chosen);
    if (path.isEmpty()) {
        return;
    }
    // The name's own extension wins over the filter; a name without one gets the filter's.
    const QString suffix = QFileInfo(path).suffix().toLower();
    const bool asJson = suffix == QStringLiteral("json") || (suffix != QStringLiteral("csv") && chosen == json);
    if (suffix.isEmpty()) {
        path += asJson ? QStringLiteral(".json") : QStringLiteral(".csv");
    }
    ExportList(path, asJson);
}

bool CCameraSetupDlg::ExportList(const QString& path, bool json) {
    const std::string text = FormatDeviceTable(m_discovery->Table(), json ? ListFormat::Json : ListFormat::Csv);
    std::string error;
    if (SaveTextFile(path.toStdString(), text, &error)) {
        return true;
    }
    ShowMessage(QString::fromStdString(error), QStringLiteral("Error"));
    return false;
}

void CCameraSetupDlg::TakeAddress(const MacAddress& mac, uint32_t address) {
    DeviceTable& table = m_discovery->Table();
    if (const auto row = table.Find(mac)) {
        CameraRecord camera = table.Record(*row);
        camera.address = address;
        camera.assigned = Assignment::Yes;
        table.Update(*row, camera);
    }
    OnClickList();
}

// A dialog sends Return only to its default button, and the command buttons are never one: the focused one is
// pressed instead, as a dialog's push button is.
void CCameraSetupDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        for (CommandButton* button : {m_searchButton, m_installButton, m_webPageButton, m_exitButton, m_aboutButton}) {
            if (button != nullptr && button->hasFocus() && button->isEnabled()) {
                button->click();
                return;
            }
        }
    }
    QDialog::keyPressEvent(event);
}

bool CCameraSetupDlg::eventFilter(QObject* watched, QEvent* event) {
    if (m_list != nullptr && watched == m_list->viewport() && event->type() == QEvent::MouseButtonRelease) {
        // A click on empty space selects nothing, as the list control does, and reports "no row".
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (!m_list->indexAt(mouse->position().toPoint()).isValid()) {
            m_list->clearSelection();
        }
        OnClickList();
    }
    return QDialog::eventFilter(watched, event);
}

bool CCameraSetupDlg::event(QEvent* event) {
    switch (static_cast<int>(event->type())) {
        case WindowMessages::kStatusOpen:
            OnStatusOpen(*static_cast<StatusOpenEvent*>(event));
            return true;
        case WindowMessages::kEndWait:
            EndWaitCursor();
            return true;
        case WindowMessages::kRefreshControls:
            // The worker changed cells of the selected row: the buttons follow them.
            OnClickList();
            update();
            return true;
        default:
            return QDialog::event(event);
    }
}

void CCameraSetupDlg::OnStatusOpen(StatusOpenEvent& event) {
    if (m_statusDialog != nullptr) {
        event.Fulfil(true);  // one is up already: the worker addresses that one
        return;
    }
    CMessageDlg dialog;
    dialog.SetStatusText(QString::fromLatin1(kCheckingAddressText));
    // The event stays alive through this handler, and so does its promise.
    dialog.SetOnOpened([&event] { event.Fulfil(true); });
    m_statusDialog = &dialog;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++m_waitCursors;
    dialog.DoModal();
    m_statusDialog = nullptr;
    event.Fulfil(false);  // ended before it was ever shown
}

void CCameraSetupDlg::EndWaitCursor() {
    for (; m_waitCursors > 0; --m_waitCursors) {
        QApplication::restoreOverrideCursor();
    }
}

std::future<bool> CCameraSetupDlg::PostStatusOpen() {
    auto* event = new StatusOpenEvent;
    std::future<bool> opened = event->Opened();
    PostWindowMessage(this, event);
    return opened;
}

bool CCameraSetupDlg::OpenStatus(const StopSignal* stop) {
    std::future<bool> opened = PostStatusOpen();
    while (opened.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
        if (stop != nullptr && stop->Requested()) {
            return false;
        }
    }
    return opened.get();
}

bool CCameraSetupDlg::SendToStatusDialog(QEvent& event, const StopSignal* stop) {
    return InvokeBlocking(
        this,
        [this, &event] { return m_statusDialog != nullptr && QCoreApplication::sendEvent(m_statusDialog, &event); },
        stop);
}

void CCameraSetupDlg::SendEndWait(const StopSignal* stop) {
    QEvent event(WindowMessages::Type(WindowMessages::kEndWait));
    SendWindowMessage(this, event, stop);
}

void CCameraSetupDlg::SendRefreshControls(const StopSignal* stop) {
    QEvent event(WindowMessages::Type(WindowMessages::kRefreshControls));
    SendWindowMessage(this, event, stop);
}

void CCameraSetupDlg::ShowMessage(const QString& text, const QString& caption) {
    if (m_seams.showMessage) {
        m_seams.showMessage(text, caption);
        return;
    }
    QMessageBox box(MessageBoxIcon(caption), caption, text, QMessageBox::Ok, isVisible() ? this : nullptr);
    box.exec();
}
