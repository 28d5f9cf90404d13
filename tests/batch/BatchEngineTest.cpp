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
#include "InstallFakes.h"

namespace {

using testing::ElementsAreArray;

constexpr uint16_t kFirstIdentifier = 0xFFFE;  // the identifiers wrap

MacAddress CameraMac(size_t index) {
    return MacAddress({0x02, 0x5E, 0xA1, 0xCD, 0xE1, static_cast<uint8_t>(index + 1)});
}

uint32_t Host(int last) {
    return 0xC0A80A00u | static_cast<uint32_t>(last);  // 192.168.10.last
}

// Holds every installation at its echo socket until opened.
class Gate {
  public:
    void Pass() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_open; });
    }
    void Open() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

// The camera's echo behaviour is chosen by the address it is asked about: an address in use answers at once.
class AddressChannel : public EchoChannel {
  public:
    AddressChannel(Log& log, FakeClock& clock, const std::set<uint32_t>& inUse, std::vector<int>& waits)
        : m_log(log), m_clock(clock), m_inUse(inUse), m_waits(waits) {}
    Result Send(uint32_t destination, std::span<const uint8_t> message) override {
        if (!m_inner) {
            std::deque<Step> script{{Step::Answer}};
            if (!m_inUse.contains(destination)) {
                script = {{Step::Silence}, {Step::Answer}, {Step::Silence}, {Step::Answer}};
            }
            m_inner = std::make_unique<FakeChannel>(m_log, script, m_clock, false, m_waits);
        }
        return m_inner->Send(destination, message);
    }
    Result Receive(std::span<uint8_t> buffer, uint32_t& sender, int timeoutMs) override {
        return m_inner->Receive(buffer, sender, timeoutMs);
    }
    bool DeliversIpHeader() const override { return true; }
    uint16_t ReplyIdentifier() const override { return kIdentifier; }

  private:
    Log& m_log;
    FakeClock& m_clock;
    const std::set<uint32_t>& m_inUse;
    std::vector<int>& m_waits;
    std::unique_ptr<FakeChannel> m_inner;
};

struct Camera {
    uint32_t address = 0;  // 0: from the range
    std::string password;  // the camera's FTP password; empty: its factory one
    std::optional<std::string> ftpPassword;
    bool noEchoSocket = false;
};

Camera At(int last, std::string password = "", std::optional<std::string> ftpPassword = std::nullopt) {
    Camera camera;
    camera.address = last == 0 ? 0 : Host(last);
    camera.password = std::move(password);
    camera.ftpPassword = std::move(ftpPassword);
    return camera;
}

// One camera's fakes, kept over its attempts so that the test can look at them afterwards.
struct Fakes : InstallPlatformSource {
    Fakes(const Camera& camera, size_t index, const std::set<uint32_t>& inUse, Gate* gate)
        : camera(camera), inUse(inUse), gate(gate) {
        transfer.m_password = camera.password.empty() ? CameraMac(index).PasswordText() : camera.password;
    }
    InstallWorker::Platform Platform() override {
        return {[this] {
                    log.Add("echo open");
                    if (gate != nullptr) {
                        gate->Pass();
                    }
                    IcmpEchoChannel::Opened opened;
                    if (camera.noEchoSocket) {
                        opened.failure = IcmpEchoChannel::Failure::Socket;
                        opened.error = 1;
                    } else {
                        opened.channel = std::make_unique<AddressChannel>(log, clock, inUse, waits);
                    }
                    return opened;
                },
                neighbours,
                transfer,
                clock,
                diagnostics,
                [this](int code) { exitCodes.push_back(code); },
                kIdentifier,
                "config.ini"};
    }

    Camera camera;
    const std::set<uint32_t>& inUse;
    Gate* gate;
    Log log;
    FakeClock clock{log};
    FakeAssignment neighbours{log};
    FakeTransfer transfer{log};
    RecordingDiagnostics diagnostics;
    std::vector<int> waits;
    std::vector<int> exitCodes;
};

// Hands the engine each installation's fakes behind a thin source the engine may destroy.
struct Borrowed : InstallPlatformSource {
    explicit Borrowed(Fakes& fakes) : fakes(fakes) {}
    InstallWorker::Platform Platform() override { return fakes.Platform(); }
    Fakes& fakes;
};

class Observer : public BatchObserver {
  public:
    void Changed(const BatchUpdate& update) override {
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

bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

TEST(BatchEngineTest, CamerasRunSideBySideAndEndOnTheirOwn) {
    using State = BatchCameraState;
    struct Expected {
        State state;
        uint32_t address;
        int attempts;
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
    };
    Camera noSocket = At(101);
    noSocket.noEchoSocket = true;
    const std::vector<Case> cases{
        {"at most jobs at once; a refused login fails that camera only",
         2,
         {At(100), At(101), At(102), At(103, "changed", "wrong"), At(104, "changed", "changed")},
         std::nullopt,
         {},
         true,
         false,
         {{State::Installed, Host(100), 1},
          {State::Installed, Host(101), 1},
          {State::Installed, Host(102), 1},
          {State::Failed, Host(103), 1},
          {State::Installed, Host(104), 1}}},
        {"an address in use is skipped for the next free one, until none is left",
         1,
         {At(0), At(0), At(0)},
         AddressSpan{Host(100), Host(103)},
         {Host(101), Host(103)},
         false,
         false,
         {{State::Installed, Host(100), 1}, {State::Installed, Host(102), 2}, {State::Failed, Host(103), 1}}},
        {"a stop ends the running cameras cleanly and starts no other",
         2,
         {At(100), At(101), At(102), At(103)},
         std::nullopt,
         {},
         true,
         true,
         {{State::Stopped, Host(100), 1},
          {State::Stopped, Host(101), 1},
          {State::Stopped, Host(102), 0},
          {State::Stopped, Host(103), 0}}},
        {"a fatal echo socket stops the batch instead of ending the process",
         1,
         {At(100), noSocket, At(102)},
         std::nullopt,
         {},
         false,
         false,
         {{State::Installed, Host(100), 1}, {State::Failed, Host(101), 1}, {State::Stopped, Host(102), 0}},
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
            std::move(items), {c.jobs, range ? &*range : nullptr, &state, &diagnostics, kFirstIdentifier},
            [&](uint16_t identifier, Diagnostics&) {
                std::lock_guard lock(identifiersMutex);
                identifiers.insert(identifier);
                return std::make_unique<Borrowed>(*fakes.at(static_cast<uint16_t>(identifier - kFirstIdentifier)));
            },
            observer);
        engine.Start();
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
        const std::vector<BatchEngine::Result> results = engine.Results();
        ASSERT_EQ(results.size(), c.expected.size());
        for (size_t i = 0; i < results.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(results[i].mac, CameraMac(i));
            EXPECT_EQ(results[i].state, c.expected[i].state) << results[i].message;
            EXPECT_EQ(results[i].newAddress, c.expected[i].address);
            const auto record = state.Find(CameraMac(i));
            ASSERT_TRUE(record);
            EXPECT_EQ(record->state, c.expected[i].state);
            EXPECT_EQ(record->attempts, c.expected[i].attempts);
            // Nothing is left behind, and nobody ends the process.
            EXPECT_TRUE(fakes[i]->neighbours.m_begun.empty());
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

}  // namespace
