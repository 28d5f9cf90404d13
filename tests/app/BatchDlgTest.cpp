#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <functional>

#include "BatchFakes.h"
#include "CBatchDlg.h"
#include "Diagnostics.h"
#include "InstallWorker.h"
#include "IpAddressEdit.h"
#include "ModelStrings.h"

namespace {

CameraRecord Camera(const char* mac, uint32_t address, Assignment assigned) {
    CameraRecord camera;
    camera.mac = *MacAddress::Parse(mac);
    camera.address = address;
    camera.assigned = assigned;
    camera.mask = 0xFFFFFF00;
    camera.wireless = false;
    camera.model = 102;
    return camera;
}

// Nothing may reach an installation when the dialog refuses what it was given.
TEST(BatchDlgTest, StartRefusesAMissingOrTooSmallRangeWithAMessage) {
    const std::vector<CameraRecord> cameras = {
        Camera("02-5E-A1-CD-E1-01", 0x0AD50764, Assignment::No),   // 10.213.7.100
        Camera("02-5E-A1-CD-E1-02", 0x0AD50765, Assignment::No),   // 10.213.7.101
        Camera("02-5E-A1-CD-E1-03", 0x0AD50716, Assignment::Yes),  // 10.213.7.22
    };
    const std::vector<AdapterInfo> adapters = {{"10.213.7.1", "255.255.255.0", "eth0", 2}};
    const struct {
        const char* name;
        uint32_t first, last;  // 0: the field left blank
        bool checked;
    } cases[] = {
        {"blank first address", 0, 0x0AD507FE, true},
        {"blank last address", 0x0AD50714, 0, true},
        {"first above last", 0x0AD50720, 0x0AD50714, true},
        {"one address for two cameras", 0x0AD50714, 0x0AD50714, true},
        {"the second address is a listed camera's", 0x0AD50715, 0x0AD50716, true},
        {"no camera checked", 0x0AD50714, 0x0AD507FE, false},
    };
    for (const auto& c : cases) {
        RecordingDiagnostics diagnostics;
        QStringList messages;
        CBatchDlg::Seams seams;
        seams.showMessage = [&](const QString& text, const QString&) { messages << text; };
        seams.platforms = [&](uint16_t, Diagnostics&) -> std::unique_ptr<InstallPlatformSource> {
            ADD_FAILURE() << c.name << ": an installation was started";
            return nullptr;
        };
        CBatchDlg dialog(cameras, adapters, diagnostics, seams);
        ASSERT_EQ(dialog.Table()->topLevelItemCount(), 2) << "only the rows reading No";
        for (const auto& [field, value] : {std::pair{CBatchDlg::kFirstIp, c.first}, {CBatchDlg::kLastIp, c.last}}) {
            if (value == 0) {
                dialog.RangeField(field)->Clear();
            } else {
                dialog.RangeField(field)->SetAddress(value);
            }
        }
        for (int row = 0; row < 2 && !c.checked; ++row) {
            dialog.Table()->topLevelItem(row)->setCheckState(CBatchDlg::kColumnMac, Qt::Unchecked);
        }
        dialog.StartButton()->click();
        EXPECT_EQ(messages.size(), 1) << c.name << ": " << messages.join(" | ").toStdString();
        EXPECT_FALSE(dialog.Running()) << c.name;
        EXPECT_TRUE(dialog.StartButton()->isEnabled()) << c.name;
    }
}

QString Cell(const CBatchDlg& dialog, const MacAddress& mac, int column) {
    const auto found = dialog.Table()->findItems(QString::fromStdString(mac.Text()), Qt::MatchExactly);
    return found.size() == 1 ? found.front()->text(column) : QStringLiteral("(no row)");
}

// Before Start each checked camera shows the address it will get; in watch mode a camera that appears later joins,
// one the user unchecked never does, and each ending shows its reason and keeps its lines.
TEST(BatchDlgTest, PlansAddressesThenInstallsCamerasAsTheyAppear) {
    using namespace batch_fakes;
    auto listed = [](size_t index) {
        CameraRecord camera = Camera("02-5E-A1-CD-E1-01", Host(200 + static_cast<int>(index)), Assignment::No);
        camera.mac = CameraMac(index);
        camera.gateway = Host(1);
        return camera;
    };
    std::vector<CameraRecord> shown{listed(0), listed(1)};
    const std::set<uint32_t> inUse;
    Fakes first(At(0), 0, inUse, nullptr);
    Fakes late(At(0, "changed"), 2, inUse, nullptr);  // refuses the factory FTP login
    RecordingDiagnostics diagnostics;
    CBatchDlg::Seams seams;
    seams.showMessage = [](const QString& text, const QString&) { ADD_FAILURE() << text.toStdString(); };
    seams.cameras = [&] { return shown; };
    seams.recordsDirectory = RecordsDirectory() + "/camera-setup";
    seams.platforms = [&](uint16_t identifier, Diagnostics& lines) -> std::unique_ptr<InstallPlatformSource> {
        // The batch's installations in the order they started: the camera listed first, then the late one.
        return std::make_unique<Borrowed>(identifier == InstallWorker::ProcessIdentifier() ? first : late, &lines);
    };
    CBatchDlg dialog(shown, {{"192.168.10.1", "255.255.255.0", "eth0", 2}}, diagnostics, seams);

    const std::string_view model = *ModelStringText(shown[0].model);
    EXPECT_EQ(Cell(dialog, CameraMac(0), CBatchDlg::kColumnModel).toStdString(), model);
    EXPECT_EQ(Cell(dialog, CameraMac(0), CBatchDlg::kColumnNewIp), QStringLiteral("192.168.10.20"));
    EXPECT_EQ(Cell(dialog, CameraMac(1), CBatchDlg::kColumnNewIp), QStringLiteral("192.168.10.21"));
    dialog.Table()->topLevelItem(0)->setCheckState(CBatchDlg::kColumnMac, Qt::Unchecked);
    EXPECT_EQ(Cell(dialog, CameraMac(0), CBatchDlg::kColumnNewIp), QStringLiteral("-"));
    EXPECT_EQ(Cell(dialog, CameraMac(1), CBatchDlg::kColumnNewIp), QStringLiteral("192.168.10.20"));
    dialog.Table()->topLevelItem(0)->setCheckState(CBatchDlg::kColumnMac, Qt::Checked);
    dialog.Table()->topLevelItem(1)->setCheckState(CBatchDlg::kColumnMac, Qt::Unchecked);

    dialog.WatchBox()->setChecked(true);
    dialog.StartButton()->click();
    ASSERT_TRUE(dialog.Running());
    ASSERT_TRUE(QTest::qWaitFor([&] { return Cell(dialog, CameraMac(0), CBatchDlg::kColumnReason) == "installed"; }))
        << Cell(dialog, CameraMac(0), CBatchDlg::kColumnState).toStdString();
    shown.push_back(listed(2));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Cell(dialog, CameraMac(2), CBatchDlg::kColumnReason) == "ftp-login"; }));
    EXPECT_TRUE(dialog.Running()) << "a range keeps watching until stopped";
    dialog.StopButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return dialog.Ended(); }));

    const std::vector<BatchCameraStatus> results = dialog.Results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].mac, CameraMac(0));
    EXPECT_EQ(results[0].newAddress, Host(20));
    EXPECT_EQ(results[1].mac, CameraMac(2));
    EXPECT_EQ(results[1].newAddress, Host(21));
    EXPECT_EQ(results[1].reason, BatchReason::FtpLogin);
    EXPECT_TRUE(dialog.DiagnosticLines(CameraMac(2)).contains(QStringLiteral("refused")))
        << dialog.DiagnosticLines(CameraMac(2)).toStdString();
    EXPECT_TRUE(dialog.DiagnosticLines(CameraMac(1)).isEmpty());

    // Export to a report's name: the site report of the batch's cameras, from their records.
    QTemporaryDir out;
    ASSERT_TRUE(dialog.ExportResults(out.filePath(QStringLiteral("site.json"))));
    QFile site(out.filePath(QStringLiteral("site.json")));
    ASSERT_TRUE(site.open(QIODevice::ReadOnly));
    const QJsonArray cameras = QJsonDocument::fromJson(site.readAll()).object()["cameras"].toArray();
    ASSERT_EQ(cameras.size(), 2);
    EXPECT_EQ(cameras[0].toObject()["mac"].toString().toStdString(), CameraMac(0).Text());
    EXPECT_EQ(cameras[0].toObject()["outcome"].toString(), QStringLiteral("installed"));
    EXPECT_EQ(cameras[1].toObject()["mac"].toString().toStdString(), CameraMac(2).Text());
    EXPECT_EQ(cameras[1].toObject()["outcome"].toString(), QStringLiteral("not-changed"));
}

}  // namespace
