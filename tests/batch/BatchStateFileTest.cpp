#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "BatchStateFile.h"
#include "TempFolder.h"

namespace {

namespace fs = std::filesystem;

class BatchStateFileTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(m_dir.empty()); }

    std::string Path(const char* name) const { return (m_dir / name).string(); }
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    static std::string Read(const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    const TempFolder m_folder{"batch-state"};
    const fs::path m_dir = m_folder.Path();
};

const MacAddress kMac = *MacAddress::Parse("02-5E-A1-CD-E1-01");

BatchCameraStatus Waiting(const MacAddress& mac) {
    BatchCameraStatus status;
    status.mac = mac;
    return status;
}

TEST_F(BatchStateFileTest, RecordSurvivesARoundTripAndNoTemporaryFileIsLeft) {
    std::string error;
    BatchStateFile state(Path("state.json"));
    ASSERT_TRUE(state.Load(&error)) << error;  // a missing file is an empty record
    EXPECT_FALSE(state.Find(kMac));
    BatchCameraStatus record = BatchCameraStatus::Final(kMac, BatchCameraState::Failed, BatchReason::ConfigIncomplete,
                                                        0x0AD50714, "Install Fail \"x\"");
    record.attempts = 2;
    record.started = "2026-12-08T15:00:00.000Z";
    record.ended = BatchTimestampNow();
    ASSERT_TRUE(state.Put(record, &error)) << error;
    ASSERT_TRUE(state.Put(Waiting(*MacAddress::Parse("02-5E-A1-CD-E1-02")), &error)) << error;
    EXPECT_EQ(Files(), std::vector<std::string>{"state.json"});

    BatchStateFile again(Path("state.json"));
    ASSERT_TRUE(again.Load(&error)) << error;
    const auto loaded = again.Find(kMac);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->newAddress, record.newAddress);
    EXPECT_EQ(loaded->state, record.state);
    EXPECT_EQ(loaded->attempts, record.attempts);
    EXPECT_EQ(loaded->reason, record.reason);
    EXPECT_EQ(loaded->message, record.message);
    EXPECT_EQ(loaded->started, record.started);
    EXPECT_EQ(loaded->ended, record.ended);
    EXPECT_EQ(again.Find(*MacAddress::Parse("02-5E-A1-CD-E1-02"))->newAddress, 0u);
    EXPECT_EQ(record.ended.size(), std::string("2026-12-08T15:00:00.000Z").size()) << record.ended;
    EXPECT_EQ(record.ended.back(), 'Z');
}

TEST_F(BatchStateFileTest, MalformedFileIsRefusedAndKept) {
    const std::string valid = R"({"version": 1, "cameras": {"02-5E-A1-CD-E1-01": {"target": "10.0.0.5",
        "state": "installed", "attempts": 1, "reason": "installed", "message": "", "started": "", "ended": ""}}})";
    const struct {
        std::string from;
        std::string to;
    } breaks[] = {
        {"{\"version\"", "[\"version\""},
        {"\"version\": 1", "\"version\": 2"},
        {"02-5E-A1-CD-E1-01", "not a mac"},
        {"10.0.0.5", "10.0.0.500"},
        {"installed", "done"},
        {"\"attempts\": 1", "\"attempts\": 1.5"},
        {"\"attempts\": 1", "\"attempts\": -1"},
        {"\"reason\": \"installed\"", "\"reason\": \"done\""},
        {"\"message\": \"\"", "\"message\": 3"},
        {"\"ended\": \"\"", "\"finished\": \"\""},
        {"}}}", "}}"},
    };
    std::string error;
    for (const auto& b : breaks) {
        std::string text = valid;
        text.replace(text.find(b.from), b.from.size(), b.to);
        std::ofstream(Path("state.json")) << text;
        BatchStateFile state(Path("state.json"));
        EXPECT_FALSE(state.Load(&error)) << text;
        EXPECT_FALSE(state.Put(Waiting(kMac), &error)) << text;
        EXPECT_EQ(Read(Path("state.json")), text);
    }
    std::ofstream(Path("state.json")) << valid;
    BatchStateFile state(Path("state.json"));
    EXPECT_TRUE(state.Load(&error)) << error;
}

TEST_F(BatchStateFileTest, UnwritablePathIsAnErrorAndLeavesNothingBehind) {
    std::string error;
    BatchStateFile state(Path("gone/state.json"));
    EXPECT_FALSE(state.Load(&error));
    BatchStateFile unread(Path("gone/state.json"));
    EXPECT_FALSE(unread.Put(Waiting(kMac), &error));
    EXPECT_NE(error.find("gone/state.json"), std::string::npos) << error;
    // The rename onto a folder fails after the temporary file was written.
    fs::create_directories(Path("folder/inside"));
    BatchStateFile folder(Path("folder"));
    EXPECT_FALSE(folder.Put(Waiting(kMac), &error));
    EXPECT_EQ(Files(), std::vector<std::string>{"folder"});
}

}  // namespace
