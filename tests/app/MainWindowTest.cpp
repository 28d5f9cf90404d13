#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QTreeWidget>

#include <atomic>
#include <functional>
#include <thread>

#include "AppTestSupport.h"
#include "CAboutDlg.h"
#include "CBatchDlg.h"
#include "CCameraSetupDlg.h"
#include "CMessageDlg.h"
#include "DeviceListFormat.h"
#include "Diagnostics.h"
#include "RecordStore.h"
#include "WindowMessages.h"
#include "XrmProtocol.h"

namespace {

CameraRecord Row(const std::string& mac, uint32_t address, Assignment assigned, bool wireless = false) {
    CameraRecord camera;
    camera.mac = *MacAddress::Parse(mac);
    camera.address = address;
    camera.assigned = assigned;
    camera.mask = 0xFFFFFF00;
    camera.gateway = 0xC0A80101;
    camera.dns1 = 0xC0A80102;
    camera.dns2 = 0;
    camera.wireless = wireless;
    camera.model = 102;
    camera.xrmSupport = true;
    return camera;
}

class MainWindowTest : public ::testing::Test {
  protected:
    // The entries of a popped-up menu, in order.
    static QStringList Texts(const QMenu& menu) {
        QStringList texts;
        for (const QAction* action : menu.actions()) {
            texts << action->text();
        }
        return texts;
    }

    void SetUp() override {
        CCameraSetupDlg::Seams seams;
        seams.environment = LoopbackEnvironment();
        seams.openUrl = [this](const QUrl& url) {
            m_opened.push_back(url.toString());
            return false;  // as the offscreen platform answers
        };
        seams.showMessage = [this](const QString& text, const QString& caption) {
            m_messages.push_back(caption + ": " + text);
        };
        seams.searchDurationMs = 50;
        seams.exportFileName = [this](const QString&, QString* chosenFilter) {
            *chosenFilter = m_exportFilter;
            return m_exportPath;
        };
        seams.recordsDirectory = m_records.path().toStdString();
        seams.confirm = [this](const QString& text) {
            m_messages.push_back("confirm: " + text);
            return m_confirm;
        };
        m_window = std::make_unique<CCameraSetupDlg>(m_diagnostics, std::move(seams));
        m_window->OnInitDialog();
        m_window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void TearDown() override { m_window.reset(); }

    DeviceTable& Table() { return m_window->Discovery().Table(); }
    QPushButton* Button(int id) { return m_window->Button(id); }

    void ClickRow(int row) {
        QTreeView* list = m_window->List();
        const QRect rect = list->visualRect(list->model()->index(row, 0));
        ASSERT_TRUE(rect.isValid()) << row;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
    }

    void ClickEmptySpace() {
        QTreeView* list = m_window->List();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(20, list->viewport()->height() - 5));
    }

    QTemporaryDir m_records;
    bool m_confirm = true;
    RecordingDiagnostics m_diagnostics;
    std::vector<QString> m_opened;
    std::vector<QString> m_messages;
    QString m_exportPath;
    QString m_exportFilter;
    std::unique_ptr<CCameraSetupDlg> m_window;
};

TEST_F(MainWindowTest, WindowAndControlsSitWhereTheLayoutPutsThem) {
    EXPECT_EQ(m_window->windowTitle(), "Davuvive Zazezo");
    EXPECT_EQ(m_window->size(), QSize(573, 534));
    EXPECT_EQ(m_window->minimumSize(), m_window->maximumSize());
    EXPECT_EQ(m_window->palette().color(QPalette::Window), QColor(196, 203, 209));
    const struct {
        const char* id;
        QRect geometry;
        bool visible;
    } controls[] = {
        {"1002", {27, 200, 109, 50}, true},  {"1000", {27, 255, 109, 50}, true},   {"1004", {27, 310, 109, 50}, true},
        {"1006", {27, 365, 109, 50}, true},  {"1008", {27, 420, 109, 50}, true},   {"1015", {5, 130, 153, 55}, true},
        {"1077", {190, 80, 355, 98}, true},  {"1073", {299, 90, 44, 41}, false},   {"1074", {389, 90, 39, 44}, false},
        {"1075", {465, 140, 66, 50}, false}, {"1076", {190, 120, 80, 61}, false},  {"1013", {190, 190, 355, 290}, true},
        {"1014", {202, 200, 330, 30}, true}, {"1011", {200, 235, 335, 235}, true}, {"1001", {0, 0, 567, 107}, true},
    };
    for (const auto& control : controls) {
        auto* widget = m_window->findChild<QWidget*>(QString::fromLatin1(control.id));
        ASSERT_NE(widget, nullptr) << control.id;
        EXPECT_EQ(widget->geometry(), control.geometry) << control.id;
        EXPECT_EQ(widget->isVisible(), control.visible) << control.id;
    }
    auto* hint = m_window->findChild<QLabel*>("1014");
    EXPECT_EQ(hint->text(), "Please restart your machine and select one by clicking\nthe Mac Address");
    EXPECT_TRUE(Button(1002)->isEnabled());
    EXPECT_FALSE(Button(1000)->isEnabled());
    EXPECT_FALSE(Button(1004)->isEnabled());
    EXPECT_TRUE(Button(1006)->isEnabled());
    EXPECT_TRUE(Button(1008)->isEnabled());
}

TEST_F(MainWindowTest, ListShowsTenColumnsWithTheDataColumnsHidden) {
    QTreeView* list = m_window->List();
    ASSERT_EQ(list->model()->columnCount(), 10);
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(list->model()->headerData(0, Qt::Horizontal).toString(), "Mac Address");
    EXPECT_EQ(list->columnWidth(0), 105);
    EXPECT_EQ(list->columnWidth(1), 108);
    EXPECT_EQ(list->columnWidth(2), 58);
    for (int column = 0; column < 10; ++column) {
        EXPECT_EQ(list->isColumnHidden(column), column >= 3) << column;
    }
    EXPECT_TRUE(list->header()->isVisible());
    EXPECT_GE(list->header()->height(), list->fontMetrics().height());
    // A whole MAC text fits its column.
    EXPECT_LE(list->fontMetrics().horizontalAdvance("02-5E-A1-CC-55-C7") + 6, list->columnWidth(0));
}

TEST_F(MainWindowTest, ClickEnablesTheButtonsByTheAssignedColumn) {
    Table().Append(Row("02-5E-A1-CC-55-C7", 0, Assignment::No, true));
    Table().Append(Row("02-5E-A1-CC-55-C8", 0, Assignment::Pending));
    Table().Append(Row("02-5E-A1-CC-55-C9", 0xC0A80114, Assignment::Yes));
    Table().Append(Row("02-5E-A1-CC-55-CB", 0, Assignment::Yes));  // no page to open at 0.0.0.0
    const struct {
        int row;
        bool install;
        bool webPage;
    } cases[] = {{0, true, false}, {1, false, false}, {2, false, true}, {3, false, false}, {0, true, false}};
    for (const auto& c : cases) {
        ClickRow(c.row);
        EXPECT_EQ(Button(1000)->isEnabled(), c.install) << c.row;
        EXPECT_EQ(Button(1004)->isEnabled(), c.webPage) << c.row;
    }
    EXPECT_EQ(m_window->Selected(), Table().Record(0));

    ClickRow(2);
    EXPECT_EQ(m_window->Selected().address, 0xC0A80114u);
    ClickEmptySpace();
    EXPECT_TRUE(m_window->List()->selectionModel()->selectedRows().isEmpty());
    EXPECT_EQ(m_window->Selected().address, 0u);
    EXPECT_FALSE(Button(1000)->isEnabled());
    EXPECT_FALSE(Button(1004)->isEnabled());
}

TEST_F(MainWindowTest, KeyboardSelectionMovesTheButtonsToo) {
    Table().Append(Row("02-5E-A1-CC-55-C7", 0, Assignment::No));
    Table().Append(Row("02-5E-A1-CC-55-C9", 0xC0A80114, Assignment::Yes));
    ClickRow(0);
    ASSERT_TRUE(Button(1000)->isEnabled());
    QTest::keyClick(m_window->List(), Qt::Key_Down);
    EXPECT_FALSE(Button(1000)->isEnabled());
    EXPECT_TRUE(Button(1004)->isEnabled());
    EXPECT_EQ(m_window->Selected().mac.Text(), "02-5E-A1-CC-55-C9");
}

TEST_F(MainWindowTest, WebPageOpensHttpOfTheSelectedAddress) {
    Table().Append(Row("02-5E-A1-CC-55-C9", 0xC0A80114, Assignment::Yes));
    m_window->OnWebPage();  // nothing selected: nothing opened
    EXPECT_TRUE(m_opened.empty());
    ClickRow(0);
    QTest::mouseClick(Button(1004), Qt::LeftButton);
    ASSERT_EQ(m_opened.size(), 1u);
    EXPECT_EQ(m_opened[0], "http://192.168.1.20");
}

TEST_F(MainWindowTest, ReturnOnAFocusedCommandButtonPressesIt) {
    Table().Append(Row("02-5E-A1-CC-55-C7", 0, Assignment::No));
    Table().Append(Row("02-5E-A1-CC-55-C9", 0xC0A80114, Assignment::Yes));
    int installs = 0;
    m_window->SetInstallStarter([&](CCameraSetupDlg&) { ++installs; });
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    const struct {
        int row;
        int button;
        Qt::Key key;
        std::function<bool()> pressed;
    } cases[] = {
        {0, CCameraSetupDlg::kInstallButton, Qt::Key_Return, [&] { return installs == 1; }},
        {1, CCameraSetupDlg::kWebPageButton, Qt::Key_Enter, [&] { return m_opened.size() == 1; }},
        {1, CCameraSetupDlg::kExitButton, Qt::Key_Return, [&] { return m_window->result() == QDialog::Accepted; }},
    };
    for (const auto& c : cases) {
        ClickRow(c.row);
        Button(c.button)->setFocus();
        ASSERT_TRUE(Button(c.button)->hasFocus()) << c.button;
        QTest::keyClick(Button(c.button), c.key);
        EXPECT_TRUE(c.pressed()) << c.button;
    }
}

TEST_F(MainWindowTest, SearchEmptiesTheListButKeepsPendingXrmCount) {
    // An XRM-capable camera's discover: a "------" row and one pending XRM answer.
    const auto discover = DhcpDiscover({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC7}, "NV4413-0102");
    ASSERT_EQ(m_window->Discovery().Core().HandleClientPacket(discover), 0);
    Table().Append(Row("02-5E-A1-CC-55-C8", 0, Assignment::No));
    ASSERT_EQ(Table().RowCount(), 2u);
    ASSERT_EQ(Table().Cell(0, 2), "------");
    ASSERT_EQ(m_window->Discovery().PendingXrmCount(), 1);
    ClickRow(1);
    ASSERT_TRUE(Button(1000)->isEnabled());

    bool searchDialogSeen = false;
    OnNextModal(
        [&](QWidget* modal) {
            auto* status = qobject_cast<CMessageDlg*>(modal);
            searchDialogSeen = status != nullptr && status == m_window->SearchDialog() && status->SearchMode != 0 &&
                               status->SearchDurationMs == 50;
        },
        m_window.get());
    QTest::mouseClick(Button(1002), Qt::LeftButton);  // returns when the search dialog has closed itself
    EXPECT_TRUE(searchDialogSeen);
    EXPECT_EQ(m_window->SearchDialog(), nullptr);
    EXPECT_EQ(Table().RowCount(), 0u);
    EXPECT_EQ(m_window->List()->model()->rowCount(), 0);
    EXPECT_EQ(m_window->Discovery().PendingXrmCount(), 1);
    // The row that was selected is gone, and so is what the buttons offered for it.
    EXPECT_FALSE(Button(1000)->isEnabled());
    EXPECT_FALSE(Button(1004)->isEnabled());
}

TEST_F(MainWindowTest, AboutButtonAndWindowMenuOpenTheSameAboutBox) {
    std::vector<QString> titles;
    auto closeAbout = [&](QWidget* modal) {
        auto* about = qobject_cast<CAboutDlg*>(modal);
        ASSERT_NE(about, nullptr);
        titles.push_back(about->windowTitle());
        EXPECT_EQ(about->size(), QSize(573, 451));
        EXPECT_EQ(about->OkButton()->geometry(), QRect(380, 350, 109, 50));
        QTest::mouseClick(about->OkButton(), Qt::LeftButton);
    };
    OnNextModal(closeAbout, m_window.get());
    QTest::mouseClick(Button(1008), Qt::LeftButton);

    QString entry;
    OnNextModal(
        [&](QWidget* popup) {
            auto* menu = qobject_cast<QMenu*>(popup);
            ASSERT_NE(menu, nullptr);
            ASSERT_EQ(menu->actions().size(), 3);
            entry = menu->actions().front()->text();
            OnNextModal(closeAbout, m_window.get());
            QTest::keyClick(menu, Qt::Key_Down);
            QTest::keyClick(menu, Qt::Key_Return);
        },
        m_window.get());
    QContextMenuEvent request(QContextMenuEvent::Mouse, QPoint(300, 20), m_window->mapToGlobal(QPoint(300, 20)));
    QCoreApplication::sendEvent(m_window.get(), &request);

    EXPECT_EQ(entry, "&About Vestrix...");
    ASSERT_EQ(titles.size(), 2u);
    EXPECT_EQ(titles[0], "About Davuvive Zazezo");
    EXPECT_EQ(titles[1], titles[0]);
}

TEST_F(MainWindowTest, WindowMenuOpensTheBatchDialogOverTheInstallableRows) {
    Table().Append(Row("02-5E-A1-CC-55-C9", 0xC0A80114, Assignment::Yes));
    Table().Append(Row("02-5E-A1-CC-55-C7", 0, Assignment::No));
    Table().Append(Row("02-5E-A1-CC-55-C8", 0, Assignment::Pending));
    Table().Append(Row("02-5E-A1-CC-55-C6", 0, Assignment::No));
    QStringList entries;
    QStringList listed;
    OnNextModal(
        [&](QWidget* popup) {
            auto* menu = qobject_cast<QMenu*>(popup);
            ASSERT_NE(menu, nullptr);
            entries = Texts(*menu);
            OnNextModal(
                [&](QWidget* modal) {
                    auto* dialog = qobject_cast<CBatchDlg*>(modal);
                    ASSERT_NE(dialog, nullptr);
                    for (int i = 0; i < dialog->Table()->topLevelItemCount(); ++i) {
                        listed << dialog->Table()->topLevelItem(i)->text(CBatchDlg::kColumnMac);
                    }
                    dialog->reject();
                },
                m_window.get());
            menu->setActiveAction(menu->actions().at(1));
            QTest::keyClick(menu, Qt::Key_Return);
        },
        m_window.get());
    QContextMenuEvent request(QContextMenuEvent::Mouse, QPoint(300, 20), m_window->mapToGlobal(QPoint(300, 20)));
    QCoreApplication::sendEvent(m_window.get(), &request);

    EXPECT_EQ(entries, QStringList({"&About Vestrix...", "Install several cameras...", "Export list..."}));
    EXPECT_EQ(listed, QStringList({"02-5E-A1-CC-55-C6", "02-5E-A1-CC-55-C7"}));
}

TEST_F(MainWindowTest, RowWithKeptSettingsOffersToRestoreThemAfterAConfirmation) {
    Table().Append(Row("02-5E-A1-CC-55-C9", 0xC0A80196, Assignment::No));  // its DHCP lease
    Table().Append(Row("02-5E-A1-CC-55-C7", 0xC0A80115, Assignment::Yes));
    InstallRecord record;
    record.mac = *MacAddress::Parse("02-5E-A1-CC-55-C9");
    record.stem = "20261209T154901.123Z";
    record.time = "2026-12-09T15:49:01.123Z";
    record.outcome = "installed";
    record.oldAddress = 0xC0A80196;
    record.newAddress = 0xC0A8013D;
    RecordStore store(m_records.path().toStdString());
    std::string error;
    ASSERT_TRUE(store.Backup(record, "<reset system>\r\nNO\r\n", "<reset system>\r\nYES\r\n", &error)) << error;
    std::vector<RestorePlan> started;
    m_window->SetRestoreStarter([&](CCameraSetupDlg&, const RestorePlan& plan) { started.push_back(plan); });

    // Rows without a record offer nothing; the choice is confirmed or not.
    struct Case {
        int row;
        bool confirm;
        QStringList entries;
        size_t started;
    };
    const QStringList plain{"&About Vestrix...", "Install several cameras...", "Export list..."};
    const std::vector<Case> cases{{1, true, plain, 0},
                                  {0, false, plain + QStringList{"Restore previous settings..."}, 0},
                                  {0, true, plain + QStringList{"Restore previous settings..."}, 1}};
    for (const Case& c : cases) {
        m_confirm = c.confirm;
        m_messages.clear();
        QStringList entries;
        OnNextModal(
            [&](QWidget* popup) {
                auto* menu = qobject_cast<QMenu*>(popup);
                ASSERT_NE(menu, nullptr);
                entries = Texts(*menu);
                if (entries.size() == 4) {
                    menu->setActiveAction(menu->actions().at(3));
                    QTest::keyClick(menu, Qt::Key_Return);
                } else {
                    menu->close();
                }
            },
            m_window.get());
        QTreeView* list = m_window->List();
        const QPoint global = list->viewport()->mapToGlobal(list->visualRect(list->model()->index(c.row, 0)).center());
        QContextMenuEvent request(QContextMenuEvent::Mouse, m_window->mapFromGlobal(global), global);
        QCoreApplication::sendEvent(m_window.get(), &request);
        EXPECT_EQ(entries, c.entries) << c.row;
        EXPECT_EQ(started.size(), c.started) << c.row;
        if (entries.size() == 4) {
            ASSERT_EQ(m_messages.size(), 1u);
            EXPECT_EQ(m_messages[0],
                      "confirm: Restore the settings that 02-5E-A1-CC-55-C9 had before its installation "
                      "of 2026-12-09 15:49:01 UTC?\n\nThe camera gets that configuration file back "
                      "and the address 192.168.1.150, then restarts.");
        }
    }
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].target.address, 0xC0A8013Du);  // where the installation left it
    EXPECT_EQ(started[0].params.m_newAddress, 0xC0A80196u);
    EXPECT_EQ(started[0].restore.file, "<reset system>\r\nNO\r\n");
    EXPECT_FALSE(started[0].restore.cameraHoldsAddress);
}

// The file holds what `list --format` prints; the name's extension wins over the chosen filter; a failed write
// names the file and leaves nothing behind.
TEST_F(MainWindowTest, ExportListWritesTheListFormatOrNothing) {
    Table().Append(Row("02-5E-A1-CC-55-C9", 0xC0A80114, Assignment::Yes));
    Table().Append(Row("02-5E-A1-CC-55-C7", 0, Assignment::No, true));
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    const QString csv = QStringLiteral("CSV (*.csv)");
    const QString json = QStringLiteral("JSON (*.json)");
    const struct {
        const char* name;
        QString filter;
        const char* written;  // nullptr: nothing may exist afterwards
        ListFormat format;
    } cases[] = {
        {"list", json, "list.json", ListFormat::Json},
        {"list", csv, "list.csv", ListFormat::Csv},
        {"table.csv", json, "table.csv", ListFormat::Csv},
        {"no-such-directory/list.json", json, nullptr, ListFormat::Json},
    };
    for (const auto& c : cases) {
        m_messages.clear();
        m_exportPath = directory.filePath(QString::fromLatin1(c.name));
        m_exportFilter = c.filter;
        m_window->OnExportList();
        if (c.written == nullptr) {
            ASSERT_EQ(m_messages.size(), 1u) << c.name;
            EXPECT_TRUE(m_messages[0].contains(m_exportPath)) << m_messages[0].toStdString();
            EXPECT_FALSE(QFileInfo::exists(directory.filePath("no-such-directory"))) << c.name;
            continue;
        }
        EXPECT_TRUE(m_messages.empty()) << c.name;
        QFile file(directory.filePath(QString::fromLatin1(c.written)));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << c.written;
        EXPECT_EQ(file.readAll().toStdString(), FormatDeviceTable(Table(), c.format)) << c.name;
    }
}

// The install worker's road to the status dialog: open request posted from its thread, released once the
// dialog is up with the checking text and an empty bar; then text, progress and close by synchronous sends.
TEST_F(MainWindowTest, WorkerOpensDrivesAndClosesTheStatusDialog) {
    std::atomic<bool> finished{false};
    bool openedOk = false;
    bool sentToMissing = true;
    QString firstText;
    int firstValue = -1;
    QString laterText;
    bool cursorDuring = false;
    std::thread worker([&] {
        openedOk = m_window->PostStatusOpen().get();
        InvokeBlocking(m_window.get(), [&] {
            CMessageDlg* status = m_window->StatusDialog();
            firstText = status->findChild<QLabel*>("1042")->text();
            firstValue = status->findChild<QProgressBar*>("1041")->value();
            cursorDuring = QApplication::overrideCursor() != nullptr;
        });
        StatusTextEvent text("This IP is assigned. Changing settings...");
        m_window->SendToStatusDialog(text);
        StatusProgressEvent progress(30);
        m_window->SendToStatusDialog(progress);
        InvokeBlocking(m_window.get(),
                       [&] { laterText = m_window->StatusDialog()->findChild<QLabel*>("1042")->text(); });
        QEvent close(WindowMessages::Type(WindowMessages::kStatusClose));
        m_window->SendToStatusDialog(close);
        QEvent again(WindowMessages::Type(WindowMessages::kStatusClose));
        sentToMissing = m_window->SendToStatusDialog(again);
        m_window->SendEndWait();
        finished = true;
    });
    QElapsedTimer clock;
    clock.start();
    while (!finished && clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    worker.join();
    QCoreApplication::processEvents();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(openedOk);
    EXPECT_EQ(firstText, "Checking the IP address if it is valid...");
    EXPECT_EQ(firstValue, 0);
    EXPECT_TRUE(cursorDuring);
    EXPECT_EQ(laterText, "This IP is assigned. Changing settings...");
    EXPECT_FALSE(sentToMissing);
    EXPECT_EQ(m_window->StatusDialog(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(MainWindowRunTest, StartsSearchesAndExitsPromptly) {
    RecordingDiagnostics diagnostics;
    CCameraSetupDlg::Seams seams;
    seams.environment = LoopbackEnvironment();
    seams.searchDurationMs = 50;
    std::vector<QString> messages;
    seams.showMessage = [&](const QString& text, const QString&) { messages.push_back(text); };
    CCameraSetupDlg window(diagnostics, seams);
    bool searched = false;
    QObject::connect(&window, &CCameraSetupDlg::StartupSearchDone, [&] {
        searched = true;
        EXPECT_TRUE(window.isVisible());
        QTest::mouseClick(window.Button(CCameraSetupDlg::kExitButton), Qt::LeftButton);
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(window.DoModal(), QDialog::Accepted);
    EXPECT_TRUE(searched);
    EXPECT_TRUE(messages.empty()) << messages.front().toStdString();
    EXPECT_TRUE(window.StartReport().xrm);
    EXPECT_TRUE(window.StartReport().clientSocket);
    EXPECT_LT(clock.elapsed(), 3000);
}

TEST(MainWindowRunTest, DiscoveryFailuresAreToldAndTheWindowStillRuns) {
    RecordingDiagnostics diagnostics;
    CCameraSetupDlg::Seams seams;
    seams.environment = LoopbackEnvironment();
    seams.environment->enumerateAdapters = [] { return std::optional<std::vector<AdapterInfo>>(); };
    seams.searchDurationMs = 50;
    std::vector<QString> messages;
    seams.showMessage = [&](const QString& text, const QString& caption) { messages.push_back(caption + ": " + text); };
    CCameraSetupDlg window(diagnostics, seams);
    QObject::connect(&window, &CCameraSetupDlg::StartupSearchDone, [&] { window.reject(); });
    window.DoModal();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "Error: Get computer network info failed");
}

TEST(AboutDlgTest, TitleSizeAndTextsThatFitTheirPlaces) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "About Davuvive Zazezo");
    EXPECT_EQ(about.size(), QSize(573, 451));
    EXPECT_TRUE(about.OkButton()->isDefault());
    int texts = 0;
    bool version = false;
    for (const QLabel* label : about.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) {
            continue;
        }
        ++texts;
        version = version || label->text() == "Version : 3.01";
        EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width()) << label->text().toStdString();
        EXPECT_LE(label->fontMetrics().height(), label->height() + 2) << label->text().toStdString();
    }
    EXPECT_EQ(texts, 7);  // version, notice, five legal lines
    EXPECT_TRUE(version);
}

// A camera on loopback that answers the window's XRM queries.
class LoopbackCamera {
  public:
    LoopbackCamera() {
        int error = 0;
        m_socket = UdpSocket::Create(&error);
        if (m_socket && m_socket->Bind(0x7F000001u, 0) != 0) {
            m_socket.reset();
        }
    }
    bool Ok() const { return m_socket != nullptr; }
    uint16_t Port() const { return m_socket->LocalPort(); }

    // Waits for one query and answers it with a record for `mac`; false on a time-out. The record builder writes
    // no address option, so the camera reports none.
    bool AnswerOneQuery(const std::array<uint8_t, 6>& mac) {
        if (m_socket->WaitReadable(3000) <= 0) {
            return false;
        }
        std::array<uint8_t, 1500> buffer{};
        UdpSocket::Datagram from;
        if (m_socket->Receive(buffer, &from) != 0) {
            return false;
        }
        const auto query = ParseXrmDatagram(std::span<const uint8_t>(buffer.data(), from.length));
        if (!query || query->type != kXrmQuery) {
            return false;
        }
        XrmAnswer record;
        record.type = kXrmRecord;
        record.identifier = query->identifier;
        record.model = "QM52X3";
        record.mac = mac;
        record.address = {127, 0, 0, 5};
        record.secondText = "V3.01";
        record.value = 1;
        std::array<uint8_t, kXrmMaxDatagram> out{};
        const auto length = BuildXrmDatagram(out, record);
        return length && m_socket->SendTo(std::span<const uint8_t>(out.data(), *length), from.sourceAddress,
                                          from.sourcePort) == 0;
    }

  private:
    std::unique_ptr<UdpSocket> m_socket;
};

TEST(MainWindowCloseTest, ClosingWhileAnXrmAnswerWaitsForTheWindowReturnsAtOnce) {
    LoopbackCamera camera;
    ASSERT_TRUE(camera.Ok());
    RecordingDiagnostics diagnostics;
    CCameraSetupDlg::Seams seams;
    seams.environment = LoopbackEnvironment();
    seams.environment->enumerateAdapters = [] {
        return std::optional<std::vector<AdapterInfo>>(std::vector<AdapterInfo>{{"127.0.0.1", "255.0.0.0", "lo", 1}});
    };
    seams.environment->xrm.destinationPort = camera.Port();
    seams.showMessage = [](const QString&, const QString&) {};
    auto window = std::make_unique<CCameraSetupDlg>(diagnostics, seams);
    window->OnInitDialog();
    ASSERT_TRUE(window->StartReport().xrm);

    // The answer reaches the list while the window runs.
    ASSERT_EQ(window->Discovery().PostBroadcast(), 0);
    ASSERT_TRUE(camera.AnswerOneQuery({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC7}));
    QElapsedTimer clock;
    clock.start();
    while (window->Discovery().Table().RowCount() == 0 && clock.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    ASSERT_EQ(window->Discovery().Table().RowCount(), 1u);
    EXPECT_EQ(window->Discovery().Table().Cell(0, kColumnAssigned), "No");  // no address yet: installable

    // The next answer waits for the window, which is closed before it looks.
    ASSERT_EQ(window->Discovery().PostBroadcast(), 0);
    ASSERT_TRUE(camera.AnswerOneQuery({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC8}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    clock.restart();
    window.reset();
    EXPECT_LT(clock.elapsed(), 1000);
    QCoreApplication::processEvents();  // the stale hand-over, if still queued, finds nobody
}

}  // namespace
