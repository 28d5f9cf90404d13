#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "BatchEngine.h"
#include "BatchFakes.h"

namespace {

using namespace batch_fakes;
using testing::ElementsAreArray;

class Observer : public BatchObserver {
  public:
    void Changed(const BatchCameraStatus& update) override {
        std::lock_guard lock(m_mutex);
        m_states[update.mac] = update.state;
        const auto running = std::count_if(m_states.begin(), m_states.end(),
                                           [](const auto& entry) { return entry.second == BatchCameraState::Running; });
        m_maxRunning = std::max(m_maxRunning, static_cast<int>(running));
    }
    void AddressTaken(const MacAddress&, uint32_t, bool) override {}

    std::map<BatchCameraState, int> Counts() const {
        std::lock_guard lock(m_mutex);
        std::map<BatchCameraState, int> counts;
        for (const auto& [mac, state] : m_states) {
            ++counts[state];
        }
        return counts;
    }
    int MaxRunning() const {
        std::lock_guard lock(m_mutex);
        return m_maxRunning;
    }

  private:
    mutable std::mutex m_mutex;
    std::map<MacAddress, BatchCameraState> m_states;
    int m_maxRunning = 0;
};

TEST(BatchEngineTest, CamerasRunSideBySideAndEndOnTheirOwn) {
    using State = BatchCameraState;
    using Reason = BatchReason;
    struct Expected {
        State state;
        uint32_t address;
        int attempts;
        Reason reason;
    };
    struct Case {
        const char* name;
        int jobs;
        std::vector<Camera> cameras;
        std::optional<AddressSpan> range;
        std::set<uint32_t> inUse;  // addresses another host answers for
        bool holdAtJobs = false;   // hold the installations until `jobs` of them run
        bool stopWhileHeld = false;
        std::vector<Expected> expected;
        bool fatal = false;
        bool watch = false;  // the cameras are added one by one once it has started
    };
    Camera noSocket = At(101);
    noSocket.noEchoSocket = true;
    const auto scripted = [](int last, std::deque<Step> script) {
        Camera camera = At(last);
        camera.script = std::move(script);
        return camera;
    };
    const auto transfer = [](int last, std::function<void(FakeTransfer&)> change) {
        Camera camera = At(last);
        camera.transfer = std::move(change);
        return camera;
    };
    const std::vector<Case> cases{
        {"at most jobs at once; a refused login fails that camera only",
         2,
         {At(100), At(101), At(102), At(103, "changed", "wrong"), At(104, "changed", "changed")},
         std::nullopt,
         {},
         true,
         false,
         {{State::Installed, Host(100), 1, Reason::Installed},
          {State::Installed, Host(101), 1, Reason::Installed},
          {State::Installed, Host(102), 1, Reason::Installed},
          {State::Failed, Host(103), 1, Reason::FtpLogin},
          {State::Installed, Host(104), 1, Reason::Installed}}},
        {"an address in use is skipped for the next free one, until none is left",
         1,
         {At(0), At(0), At(0)},
         AddressSpan{Host(100), Host(103)},
         {Host(101), Host(103)},
         false,
         false,
         {{State::Installed, Host(100), 1, Reason::Installed},
          {State::Installed, Host(102), 2, Reason::Installed},
          {State::Failed, Host(103), 1, Reason::AddressInUse}}},
        {"a stop ends the running cameras cleanly and starts no other",
         2,
         {At(100), At(101), At(102), At(103)},
         std::nullopt,
         {},
         true,
         true,
         {{State::Stopped, Host(100), 1, Reason::Stopped},
          {State::Stopped, Host(101), 1, Reason::Stopped},
          {State::Stopped, Host(102), 0, Reason::Stopped},
          {State::Stopped, Host(103), 0, Reason::Stopped}}},
        {"a fatal echo socket stops the batch instead of ending the process",
         1,
         {At(100), noSocket, At(102)},
         std::nullopt,
         {},
         false,
         false,
         {{State::Installed, Host(100), 1, Reason::Installed},
          {State::Failed, Host(101), 1, Reason::Fatal},
          {State::Stopped, Host(102), 0, Reason::Stopped}},
         true},
        {"every failure says why",
         8,
         {At(100), scripted(101, {{Step::Silence}}), scripted(102, {{Step::Silence}, {Step::Fail}}),
          transfer(103, [](FakeTransfer& t) { t.m_openOk = false; }),
          transfer(104, [](FakeTransfer& t) { t.m_downloadOk = false; }),
          transfer(105, [](FakeTransfer& t) { t.m_uploadResults = {FileTransfer::Result::Failed}; }),
          transfer(106,
                   [](FakeTransfer& t) {
                       t.m_uploadResults = {FileTransfer::Result::Interrupted, FileTransfer::Result::Failed};
                   }),
          scripted(107, {{Step::Silence}, {Step::Answer}}), At(108)},
         std::nullopt,
         {Host(108)},
         false,
         false,
         {{State::Installed, Host(100), 1, Reason::Installed},
          {State::Failed, Host(101), 1, Reason::NoAnswer},
          {State::Failed, Host(102), 1, Reason::Network},
          {State::Failed, Host(103), 1, Reason::Network},
          {State::Failed, Host(104), 1, Reason::Download},
          {State::Failed, Host(105), 1, Reason::Upload},
          {State::Failed, Host(106), 1, Reason::ConfigIncomplete},
          {State::Failed, Host(107), 1, Reason::NoRestart},
          {State::Failed, Host(108), 1, Reason::AddressInUse}}},
        {"cameras added while it runs wait for a free lane",
         2,
         {At(100), At(101), At(102), At(103, "changed", "wrong"), At(104)},
         std::nullopt,
         {},
         true,
         false,
         {{State::Installed, Host(100), 1, Reason::Installed},
          {State::Installed, Host(101), 1, Reason::Installed},
          {State::Installed, Host(102), 1, Reason::Installed},
          {State::Failed, Host(103), 1, Reason::FtpLogin},
          {State::Installed, Host(104), 1, Reason::Installed}},
         false,
         true},
        {"a camera added after every lane has ended starts one again",
         3,
         {At(100), At(101), At(102)},
         std::nullopt,
         {},
         false,
         false,
         {{State::Installed, Host(100), 1, Reason::Installed},
          {State::Installed, Host(101), 1, Reason::Installed},
          {State::Installed, Host(102), 1, Reason::Installed}},
         false,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Gate gate;
        std::vector<std::unique_ptr<Fakes>> fakes;
        std::vector<BatchItem> items;
        for (size_t i = 0; i < c.cameras.size(); ++i) {
            fakes.push_back(std::make_unique<Fakes>(c.cameras[i], i, c.inUse, c.holdAtJobs ? &gate : nullptr));
            CameraRecord camera{.mac = CameraMac(i), .address = kCameraAddress, .gateway = Host(1)};
            InstallParams params = InstallParams::ForCamera(camera);
            params.m_newAddress = c.cameras[i].address;
            items.push_back({camera, params, std::nullopt, c.cameras[i].ftpPassword});
        }
        std::optional<AddressAllocator> range;
        if (c.range) {
            range.emplace(*c.range, 0xFFFFFF00u, std::set<uint32_t>{});
        }
        BatchStateFile state("");
        RecordingDiagnostics diagnostics;
        Observer observer;
        std::set<uint16_t> identifiers;
        std::mutex identifiersMutex;
        BatchEngine engine(
            c.watch ? std::vector<BatchItem>{} : std::move(items),
            {c.jobs, range ? &*range : nullptr, &state, &diagnostics, kFirstIdentifier, c.watch},
            [&](uint16_t identifier, Diagnostics&) {
                std::lock_guard lock(identifiersMutex);
                identifiers.insert(identifier);
                return std::make_unique<Borrowed>(*fakes.at(static_cast<uint16_t>(identifier - kFirstIdentifier)));
            },
            observer);
        engine.Start();
        if (c.watch) {
            for (size_t i = 0; i < items.size(); ++i) {
                // Unheld, the first camera ends before the next comes, and its lane with it.
                if (i == 1 && !c.holdAtJobs) {
                    EXPECT_TRUE(Eventually([&] { return IsFinal(engine.Results()[0].state); }));
                }
                engine.Add(std::move(items[i]));
            }
            engine.Close();
        }
        if (c.holdAtJobs) {
            EXPECT_TRUE(Eventually([&] { return observer.Counts()[State::Running] == c.jobs; }));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(observer.Counts()[State::Running], c.jobs);
            EXPECT_EQ(observer.Counts()[State::Waiting], static_cast<int>(c.cameras.size()) - c.jobs);
            if (c.stopWhileHeld) {
                engine.RequestStop();
            }
            gate.Open();
        }
        engine.Join();

        EXPECT_TRUE(engine.Finished());
        EXPECT_EQ(engine.Fatal(), c.fatal);
        EXPECT_LE(observer.MaxRunning(), c.jobs);
        const std::vector<BatchCameraStatus> results = engine.Results();
        ASSERT_EQ(results.size(), c.expected.size());
        for (size_t i = 0; i < results.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(results[i].mac, CameraMac(i));
            EXPECT_EQ(results[i].state, c.expected[i].state) << results[i].message;
            EXPECT_EQ(results[i].reason, c.expected[i].reason) << results[i].message;
            EXPECT_EQ(results[i].newAddress, c.expected[i].address);
            const auto record = state.Find(CameraMac(i));
            ASSERT_TRUE(record);
            EXPECT_EQ(record->state, c.expected[i].state);
            EXPECT_EQ(record->attempts, c.expected[i].attempts);
            EXPECT_EQ(record->reason, c.expected[i].reason);
            // Nothing is left behind, and nobody ends the process.
            EXPECT_TRUE(fakes[i]->assignment.m_begun.empty());
            EXPECT_TRUE(fakes[i]->exitCodes.empty());
            if (c.expected[i].attempts == 0) {
                EXPECT_TRUE(fakes[i]->log.events.empty());
            }
        }
        EXPECT_EQ(identifiers.size(),
                  static_cast<size_t>(std::count_if(c.expected.begin(), c.expected.end(),
                                                    [](const Expected& e) { return e.attempts > 0; })));
    }
}

// A disk that stalls: every write of the record waits until the test lets it go.
class StalledStateFile : public BatchStateFile {
  public:
    StalledStateFile() : BatchStateFile("stalled.json") {}
    int Writes() const {
        std::lock_guard lock(m_mutex);
        return m_writes;
    }
    Gate gate;

  protected:
    bool Save(const std::string&, std::string*) override {
        {
            std::lock_guard lock(m_mutex);
            ++m_writes;
        }
        gate.Pass();
        return true;
    }

  private:
    mutable std::mutex m_mutex;
    int m_writes = 0;
};

// An observer stuck in its first call, like a full stdout pipe or a busy window.
class StalledObserver : public BatchObserver {
  public:
    void Changed(const BatchCameraStatus&) override { gate.Pass(); }
    void AddressTaken(const MacAddress&, uint32_t, bool) override { gate.Pass(); }
    Gate gate;
};

TEST(BatchEngineTest, NoInstallationWaitsForTheStateFileOrTheObserver) {
    constexpr size_t kCameras = 6;
    const std::set<uint32_t> inUse;
    const auto item = [](size_t i) {
        CameraRecord camera{.mac = CameraMac(i), .address = kCameraAddress, .gateway = Host(1)};
        InstallParams params = InstallParams::ForCamera(camera);
        params.m_newAddress = Host(100 + static_cast<int>(i));
        return BatchItem{camera, params, std::nullopt, std::nullopt};
    };
    // The pauses one camera takes when nothing else runs.
    Fakes alone(At(100), 0, inUse, nullptr);
    {
        BatchStateFile state("");
        Observer observer;
        BatchEngine engine(
            {item(0)}, {1, nullptr, &state, nullptr, kFirstIdentifier},
            [&](uint16_t, Diagnostics&) { return std::make_unique<Borrowed>(alone); }, observer);
        engine.Start();
        engine.Join();
        ASSERT_EQ(engine.Results()[0].state, BatchCameraState::Installed);
    }

    std::vector<std::unique_ptr<Fakes>> fakes;
    std::vector<BatchItem> items;
    for (size_t i = 0; i < kCameras; ++i) {
        fakes.push_back(std::make_unique<Fakes>(At(100 + static_cast<int>(i)), i, inUse, nullptr));
        items.push_back(item(i));
    }
    StalledStateFile state;
    StalledObserver observer;
    BatchEngine engine(
        std::move(items), {static_cast<int>(kCameras), nullptr, &state, nullptr, kFirstIdentifier},
        [&](uint16_t identifier, Diagnostics&) {
            return std::make_unique<Borrowed>(*fakes.at(static_cast<uint16_t>(identifier - kFirstIdentifier)));
        },
        observer);
    engine.Start();
    const auto allEnded = [&] {
        const auto results = engine.Results();
        return std::all_of(results.begin(), results.end(),
                           [](const BatchCameraStatus& r) { return r.state == BatchCameraState::Installed; });
    };
    EXPECT_TRUE(Eventually(allEnded)) << "an installation waited for the disk or the observer";
    EXPECT_FALSE(engine.Finished()) << "the observer has not heard of the endings yet";
    EXPECT_LE(state.Writes(), 1);
    state.gate.Open();
    observer.gate.Open();
    engine.Join();

    for (size_t i = 0; i < kCameras; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fakes[i]->clock.m_slept, alone.clock.m_slept);
        EXPECT_EQ(fakes[i]->log.Matching("sleep"), alone.log.Matching("sleep"));
        EXPECT_EQ(state.Find(CameraMac(i))->state, BatchCameraState::Installed);
    }
    // Everything that changed while the first write hung went out in one more write.
    EXPECT_LE(state.Writes(), 2);
}

}  // namespace
