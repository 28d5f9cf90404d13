#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "RecordStore.h"
#include "RestorePlan.h"
#include "TempFolder.h"

namespace {

class RecordStoreTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(m_dir.empty()); }

    InstallRecord Record(const char* stem, const char* outcome, uint32_t oldAddress, uint32_t newAddress) {
        InstallRecord r;
        r.mac = m_mac;
        r.stem = stem;
        r.time = stem;
        r.outcome = outcome;
        r.oldAddress = oldAddress;
        r.newAddress = newAddress;
        return r;
    }

    const TempFolder m_folder{"record-store-test"};
    const std::string m_dir = m_folder.Path();
    MacAddress m_mac = *MacAddress::Parse("00-1A-2B-3C-4D-5E");
};

TEST_F(RecordStoreTest, OnlyItsOwnRecordsAreReadBackOldestFirst) {
    RecordStore store(m_dir + "/camera-setup");
    std::string error;
    InstallRecord second = Record("20261209T100000.000Z", "installed", 0x0A000032, 0x0A000064);
    ASSERT_TRUE(store.Backup(second, "old", "new", &error)) << error;
    InstallRecord first = Record("20261208T100000.000Z", "address-in-use", 0x0A000032, 0x0A000063);
    ASSERT_TRUE(store.Save(first, &error)) << error;
    const std::string folder = store.CameraDirectory(m_mac);
    // Whatever else lies there is passed over: text that is no record, a record under another name or of another
    // camera, a stem that would name files elsewhere.
    std::ofstream(folder + "/garbage.json") << "{not json";
    InstallRecord renamed = second;
    std::ofstream(folder + "/20261210T000000.000Z.json") << RecordToJson(renamed);
    InstallRecord other = second;
    other.mac = *MacAddress::Parse("00-1A-2B-3C-4D-5F");
    std::ofstream(folder + "/" + other.stem + "x.json") << RecordToJson(other);
    std::string escaping = RecordToJson(second);
    escaping.replace(escaping.find(second.stem, escaping.find("\"stem\"")), second.stem.size(), "../../x");
    std::ofstream(folder + "/escaping.json") << escaping;

    const std::vector<InstallRecord> records = store.Records(m_mac);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0], first);
    EXPECT_EQ(records[1], second);
    EXPECT_EQ(store.AllRecords(), records);
    EXPECT_EQ(store.LatestBackup(m_mac), second);
    // A pair is never replaced: another installation in the same millisecond takes the next name.
    InstallRecord again = second;
    ASSERT_TRUE(store.Backup(again, "x", "y", &error)) << error;
    EXPECT_EQ(again.stem, second.stem + "-2");
    EXPECT_EQ(*RecordStore::ReadFile(store.PreviousPath(second), &error), "old");
}

TEST_F(RecordStoreTest, RestoreGoesBackToTheAddressBeforeFromWhereTheCameraIsNow) {
    RecordStore store(m_dir + "/camera-setup");
    CameraRecord camera;
    camera.mac = m_mac;
    camera.address = 0x0A0000C8;  // the lease the list still shows
    std::string error;
    RestoreProblem problem = RestoreProblem::None;
    EXPECT_FALSE(PlanRestore(store, camera, std::nullopt, std::nullopt, &problem, &error));
    EXPECT_EQ(problem, RestoreProblem::NothingKept);

    InstallRecord noAddress = Record("20261208T100000.000Z", "installed", 0, 0x0A000063);
    ASSERT_TRUE(store.Backup(noAddress, "first", "x", &error));
    EXPECT_FALSE(PlanRestore(store, camera, std::nullopt, std::nullopt, &problem, &error));
    EXPECT_EQ(problem, RestoreProblem::NoAddress);

    InstallRecord installed = Record("20261209T100000.000Z", "installed", 0x0A000032, 0x0A000064);
    ASSERT_TRUE(store.Backup(installed, "second", "y", &error));
    ASSERT_TRUE(store.Save(Record("20261209T110000.000Z", "address-in-use", 0x0A000064, 0x0A000065), &error));
    struct Case {
        std::optional<uint32_t> ip;
        uint32_t to;
        bool held;
    };
    for (const Case c : {Case{std::nullopt, 0x0A000032, false}, Case{0x0A000064, 0x0A000064, true}}) {
        const std::optional<RestorePlan> plan = PlanRestore(store, camera, c.ip, std::nullopt, &problem, &error);
        ASSERT_TRUE(plan) << error;
        EXPECT_EQ(plan->target.address, 0x0A000064u);  // where the last installation that ended there left it
        EXPECT_EQ(plan->params.m_newAddress, c.to);
        EXPECT_EQ(plan->restore.cameraHoldsAddress, c.held);
        EXPECT_EQ(plan->restore.file, "second");
    }
    EXPECT_FALSE(PlanRestore(store, camera, std::nullopt, m_dir + "/missing.ini", &problem, &error));
    EXPECT_EQ(problem, RestoreProblem::Unreadable);
    EXPECT_NE(error.find("missing.ini: No such file"), std::string::npos) << error;
}

}  // namespace
