#include <gtest/gtest.h>

#include <QPushButton>
#include <QTreeWidget>

#include <functional>

#include "CBatchDlg.h"
#include "Diagnostics.h"
#include "IpAddressEdit.h"

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

}  // namespace
