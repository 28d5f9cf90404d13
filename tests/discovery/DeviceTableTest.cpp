#include "CameraAddressFilter.h"
#include "DeviceTable.h"
#include "DeviceTableModel.h"
#include "QtApp.h"

#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QSize>

#include <gtest/gtest.h>

namespace {

const MacAddress kFirst({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xBA});
const MacAddress kSecond({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC7});
const MacAddress kThird({0x02, 0x5E, 0xA1, 0xCC, 0x55, 0xC8});

CameraRecord Row(const MacAddress& mac, uint32_t address = 0) {
    CameraRecord camera;
    camera.mac = mac;
    camera.address = address;
    return camera;
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
        MacAddress::Bytes mac;
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
        EXPECT_EQ(CameraAddressFilter(MacAddress(c.mac)), c.accepted) << MacAddress(c.mac).Text();
    }
}

TEST(DeviceTable, FindsByAddressAndTheFirstMatchWins) {
    DeviceTable table;
    table.Append(Row(kFirst, 1));
    table.Append(Row(kSecond));
    table.Append(Row(kFirst, 2));
    EXPECT_EQ(table.Find(kFirst), 0u);
    EXPECT_EQ(table.Find(kSecond), 1u);
    EXPECT_EQ(table.Find(kThird), std::nullopt);

    // Changing a key moves the lookup to the next row that holds it.
    table.Update(0, Row(kThird));
    EXPECT_EQ(table.Find(kFirst), 2u);
    EXPECT_EQ(table.Find(kThird), 0u);

    table.Clear();
    EXPECT_EQ(table.RowCount(), 0u);
    EXPECT_EQ(table.Find(kSecond), std::nullopt);
    EXPECT_EQ(table.Append(Row(kSecond)), 0u);
    EXPECT_THROW(table.Update(1, Row(kSecond)), std::out_of_range);
}

TEST(DeviceTable, TellsObserversOfEachChangedCell) {
    DeviceTable table;
    LoggingObserver observer(table);
    table.AddObserver(&observer);
    CameraRecord camera = Row(kFirst);
    table.Append(camera);
    camera.assigned = Assignment::Yes;
    camera.dns2 = 0;
    table.Update(0, camera);
    camera.arrivalInterface = 3;
    table.Update(0, camera);  // no text changed: silent
    EXPECT_EQ(table.Record(0).arrivalInterface, 3);
    table.Clear();
    table.RemoveObserver(&observer);
    table.Append(Row(kSecond));
    EXPECT_EQ(observer.log, "about(0,0) appended(0,1) cell(0,2) cell(0,6) clearing(1) cleared(0) ");
}

TEST(DeviceTable, MakesTheTenTextsOfARecord) {
    CameraRecord full = Row(kFirst, 0xC0A80014);
    full.assigned = Assignment::Pending;
    full.mask = 0xFFFFFF00;
    full.gateway = 0xC0A80001;
    full.dns1 = 0x08080808;
    full.dns2 = 0;
    full.wireless = true;
    full.model = 104;
    full.xrmSupport = false;
    CameraRecord bare = Row(kSecond);
    bare.assigned = Assignment::Yes;
    bare.wireless = false;
    struct Case {
        CameraRecord camera;
        DeviceCells cells;
    } cases[] = {
        {full,
         {"02-5E-A1-CC-55-BA", "192.168.0.20", "------", "255.255.255.0", "192.168.0.1", "8.8.8.8", "0.0.0.0", "YES",
          "Tavix-11+", "NO"}},
        {bare, {"02-5E-A1-CC-55-C7", "0.0.0.0", "Yes", "", "", "", "", "NO", "", ""}},
        {Row(kThird), {"02-5E-A1-CC-55-C8", "0.0.0.0", "No", "", "", "", "", "", "", ""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DeviceTexts(c.camera), c.cells) << c.cells[0];
    }
}

TEST(DeviceTableModel, FollowsTheTableWithoutACopy) {
    EnsureQtApp();
    DeviceTable table;
    table.Append(Row(kFirst, 0x0A000005));
    DeviceTableModel model(table);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    EXPECT_EQ(model.columnCount(), 10);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Current IP Address");
    EXPECT_EQ(model.headerData(9, Qt::Horizontal).toString(), "XRM Support");
    EXPECT_EQ(model.headerData(2, Qt::Horizontal, Qt::SizeHintRole).toSize().width(), 58);
    EXPECT_EQ(model.headerData(3, Qt::Horizontal, Qt::SizeHintRole).toSize().width(), 0);
    EXPECT_EQ(model.data(model.index(0, 1)).toString(), "10.0.0.5");

    table.Append(Row(kSecond));
    EXPECT_EQ(model.rowCount(), 2);
    CameraRecord camera = table.Record(1);
    camera.assigned = Assignment::Yes;
    table.Update(1, camera);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex(), model.index(1, 2));
    EXPECT_EQ(model.data(model.index(1, 2)).toString(), "Yes");
    table.Clear();
    EXPECT_EQ(model.rowCount(), 0);
}
