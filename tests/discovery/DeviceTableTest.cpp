#include "CameraAddressFilter.h"
#include "DeviceTable.h"
#include "DeviceTableModel.h"
#include "QtApp.h"
#include "SelectedCamera.h"

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QSize>

#include <gtest/gtest.h>

namespace {

DeviceInfo Row(const std::string& mac, const std::string& address = "") {
    DeviceInfo row;
    row.cells[kColumnMac] = mac;
    row.cells[kColumnAddress] = address;
    return row;
}

class LoggingObserver : public DeviceTableObserver {
  public:
    explicit LoggingObserver(DeviceTable& table) : m_table(table) {}
    void RowAboutToBeAppended(size_t row) override { log += "about(" + std::to_string(row) + "," + Count() + ") "; }
    void RowAppended(size_t row) override { log += "appended(" + std::to_string(row) + "," + Count() + ") "; }
    void CellChanged(size_t row, size_t column) override {
        log += "cell(" + std::to_string(row) + "," + std::to_string(column) + ") ";
    }
    void AboutToBeCleared() override { log += "clearing(" + Count() + ") "; }
    void Cleared() override { log += "cleared(" + Count() + ") "; }
    std::string log;

  private:
    std::string Count() const { return std::to_string(m_table.RowCount()); }
    DeviceTable& m_table;
};

}  // namespace

TEST(CameraAddressFilter, AcceptsOnlyTheCameraRanges) {
    struct Case {
        HardwareAddress mac;
        bool accepted;
    } cases[] = {
        {{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA}, true},  {{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBB}, false},
        {{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC6}, false}, {{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC7}, true},
        {{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xCA}, true},  {{0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xCB}, false},
        {{0x02, 0x5E, 0xA1, 0xCD, 0xDB, 0x77}, false}, {{0x02, 0x5E, 0xA1, 0xCD, 0xDB, 0x78}, true},
        {{0x02, 0x5E, 0xA1, 0xCD, 0xDD, 0x6B}, true},  {{0x02, 0x5E, 0xA1, 0xCD, 0xDD, 0x6C}, false},
        {{0x02, 0x5E, 0xA1, 0xCD, 0xE0, 0x8C}, true},  {{0x02, 0x5E, 0xA1, 0xCE, 0x55, 0xBB}, true},
        {{0x02, 0x5E, 0xA1, 0xCE, 0x55, 0xBC}, false}, {{0x02, 0x5E, 0xA3, 0x7C, 0xE3, 0x32}, false},
        {{0x02, 0x5E, 0xA3, 0x7C, 0xE3, 0x33}, true},  {{0x02, 0x5E, 0xA3, 0x7E, 0x69, 0xD2}, true},
        {{0x02, 0x5E, 0xA3, 0x7E, 0x69, 0xD3}, false}, {{0x03, 0x5E, 0xA1, 0xCC, 0x55, 0xBA}, false},
        {{0x02, 0x5F, 0xA1, 0xCC, 0x55, 0xBA}, false}, {{0x02, 0x5E, 0xA2, 0xCC, 0x55, 0xBA}, false},
        {{0x02, 0x5E, 0xA3, 0xCC, 0x55, 0xBA}, false},  // an A1 range under the A3 prefix
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CameraAddressFilter(c.mac), c.accepted) << FormatHardwareAddress(c.mac);
    }
    EXPECT_EQ(FormatHardwareAddress({0x02, 0x5E, 0xA1, 0x0C, 0x05, 0xBA}), "02-5E-A1-0C-05-BA");
}

TEST(DeviceTable, FindsByWholeKeyAndTheFirstMatchWins) {
    DeviceTable table;
    table.Append(Row("02-5E-A1-CC-55-BA", "first"));
    table.Append(Row("02-5E-A1-CC-55-C7"));
    table.Append(Row("02-5E-A1-CC-55-BA", "second"));
    EXPECT_EQ(table.Find("02-5E-A1-CC-55-BA"), 0u);
    EXPECT_EQ(table.Find("02-5E-A1-CC-55-C7"), 1u);
    EXPECT_EQ(table.Find("02-5E-A1-CC-55"), std::nullopt);
    EXPECT_EQ(table.Find("02-5e-a1-cc-55-ba"), std::nullopt);
    EXPECT_EQ(table.Find(""), std::nullopt);

    // Changing a key moves the lookup to the next row that holds it.
    table.SetCell(0, kColumnMac, "02-5E-A1-CC-55-C8");
    EXPECT_EQ(table.Find("02-5E-A1-CC-55-BA"), 2u);
    EXPECT_EQ(table.Find("02-5E-A1-CC-55-C8"), 0u);

    table.Clear();
    EXPECT_EQ(table.RowCount(), 0u);
    EXPECT_EQ(table.Find("02-5E-A1-CC-55-C7"), std::nullopt);
    EXPECT_EQ(table.Append(Row("x")), 0u);
    EXPECT_THROW(table.SetCell(1, 0, "y"), std::out_of_range);
    EXPECT_THROW(table.SetCell(0, kDeviceColumnCount, "y"), std::out_of_range);
}

TEST(DeviceTable, TellsObserversBeforeAndAfterEachChange) {
    DeviceTable table;
    LoggingObserver observer(table);
    table.AddObserver(&observer);
    table.Append(Row("a"));
    table.SetCell(0, kColumnAssigned, "No");
    table.SetCell(0, kColumnAssigned, "No");  // unchanged: silent
    table.Clear();
    table.RemoveObserver(&observer);
    table.Append(Row("b"));
    EXPECT_EQ(observer.log, "about(0,0) appended(0,1) cell(0,2) clearing(1) cleared(0) ");
}

TEST(DeviceTableModel, FollowsTheTableWithoutACopy) {
    EnsureQtApp();
    DeviceTable table;
    table.Append(Row("02-5E-A1-CC-55-BA", "10.0.0.5"));
    DeviceTableModel model(table);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    EXPECT_EQ(model.columnCount(), 10);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Current IP Address");
    EXPECT_EQ(model.headerData(9, Qt::Horizontal).toString(), "XRM Support");
    EXPECT_EQ(model.headerData(2, Qt::Horizontal, Qt::SizeHintRole).toSize().width(), 58);
    EXPECT_EQ(model.headerData(3, Qt::Horizontal, Qt::SizeHintRole).toSize().width(), 0);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), "10.0.0.5");

    table.Append(Row("02-5E-A1-CC-55-C7"));
    EXPECT_EQ(model.rowCount(), 2);
    table.SetCell(1, kColumnAssigned, "Yes");
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex(), model.index(1, 2));
    EXPECT_EQ(model.data(model.index(1, 2)).toString(), "Yes");
    table.Clear();
    EXPECT_EQ(model.rowCount(), 0);
}

TEST(SelectedCamera, ConvertsTheRowWithInetAddrRules) {
    DeviceTable table;
    DeviceInfo row;
    row.cells = {"02-5E-A1-CC-55-BA",
                 "192.168.0.20",
                 "No",
                 "255.255.255.0",
                 "192.168.0.1",
                 "8.8.8.8",
                 "",
                 "YES",
                 "Tavix-11+",
                 "NO"};
    table.Append(row);
    row.cells[kColumnWireless] = "NO";
    row.cells[kColumnAddress] = "0x0A.1";  // inet_addr reads hex and short forms
    table.Append(row);

    const SelectedCamera first = SelectedCameraFromRow(table, 0);
    EXPECT_EQ(first.address, 0xC0A80014u);
    EXPECT_EQ(first.mask, 0xFFFFFF00u);
    EXPECT_EQ(first.gateway, 0xC0A80001u);
    EXPECT_EQ(first.dns1, 0x08080808u);
    EXPECT_EQ(first.dns2, 0xFFFFFFFFu);  // empty cell: INADDR_NONE
    EXPECT_EQ(first.mac, "02-5E-A1-CC-55-BA");
    EXPECT_TRUE(first.wireless);

    const SelectedCamera second = SelectedCameraFromRow(table, 1);
    EXPECT_EQ(second.address, 0x0A000001u);
    EXPECT_FALSE(second.wireless);
}
