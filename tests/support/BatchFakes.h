#pragma once

// The fakes of a batch's installations, shared by the engine's and the dialog's tests: each camera's platform
// (echo replies chosen by the address asked about, FTP server, neighbour table, clock), kept by the test so that
// it can look at them after the engine has let go.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "InstallFakes.h"
#include "InstallPlatformSource.h"
#include "TempFolder.h"

namespace batch_fakes {

inline constexpr uint16_t kFirstIdentifier = 0xFFFE;  // the identifiers wrap

inline MacAddress CameraMac(size_t index) {
    return MacAddress({0x02, 0x5E, 0xA1, 0xCD, 0xE1, static_cast<uint8_t>(index + 1)});
}

inline uint32_t Host(int last) {
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
    AddressChannel(Log& log, FakeClock& clock, const std::set<uint32_t>& inUse, std::vector<int>& waits,
                   std::deque<Step> script)
        : m_log(log), m_clock(clock), m_inUse(inUse), m_waits(waits), m_script(std::move(script)) {}
    Result Send(uint32_t destination, std::span<const uint8_t> message) override {
        if (!m_inner) {
            std::deque<Step> script{{Step::Answer}};
            if (!m_inUse.contains(destination)) {
                script = m_script.empty()
                             ? std::deque<Step>{{Step::Silence}, {Step::Answer}, {Step::Silence}, {Step::Answer}}
                             : m_script;
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
    std::deque<Step> m_script;  // the echo replies of an address not in use; empty: a camera that installs
    std::unique_ptr<FakeChannel> m_inner;
};

struct Camera {
    uint32_t address = 0;  // 0: from the range
    std::string password;  // the camera's FTP password; empty: its factory one
    std::optional<std::string> ftpPassword;
    bool noEchoSocket = false;
    std::deque<Step> script;  // see AddressChannel
    std::function<void(FakeTransfer&)> transfer;
};

inline Camera At(int last, std::string password = "", std::optional<std::string> ftpPassword = std::nullopt) {
    Camera camera;
    camera.address = last == 0 ? 0 : Host(last);
    camera.password = std::move(password);
    camera.ftpPassword = std::move(ftpPassword);
    return camera;
}

// The user's data folder of the installations' records: one per test process, removed at its end.
inline const std::string& RecordsDirectory() {
    static const TempFolder folder("batch-records");
    static const std::string path = folder.Path().empty() ? "/nonexistent" : folder.Path();
    return path;
}

// One camera's fakes, kept over its attempts so that the test can look at them afterwards.
struct Fakes : InstallPlatformSource {
    Fakes(const Camera& camera, size_t index, const std::set<uint32_t>& inUse, Gate* gate)
        : camera(camera), inUse(inUse), gate(gate) {
        transfer.m_password = camera.password.empty() ? CameraMac(index).PasswordText() : camera.password;
        if (camera.transfer) {
            camera.transfer(transfer);
        }
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
                        opened.channel = std::make_unique<AddressChannel>(log, clock, inUse, waits, camera.script);
                    }
                    return opened;
                },
                assignment,
                transfer,
                clock,
                diagnostics,
                [this](int code) { exitCodes.push_back(code); },
                kIdentifier,
                "config.ini",
                RecordsDirectory() + "/camera-setup",
                nullptr};
    }

    Camera camera;
    const std::set<uint32_t>& inUse;
    Gate* gate;
    Log log;
    FakeClock clock{log};
    FakeAssignment assignment{log};
    FakeTransfer transfer{log};
    RecordingDiagnostics diagnostics;
    std::vector<int> waits;
    std::vector<int> exitCodes;
};

// Hands the engine each installation's fakes behind a thin source the engine may destroy; its lines go to `lines`
// (the engine's, as on the real platform) when given.
struct Borrowed : InstallPlatformSource {
    explicit Borrowed(Fakes& fakes, Diagnostics* lines = nullptr) : fakes(fakes), lines(lines) {}
    InstallWorker::Platform Platform() override {
        InstallWorker::Platform p = fakes.Platform();
        return {std::move(p.openEcho),
                p.assignment,
                p.transfer,
                p.clock,
                lines != nullptr ? *lines : p.diagnostics,
                std::move(p.exitProcess),
                p.identifier,
                std::move(p.remoteFileName),
                std::move(p.recordsDirectory),
                std::move(p.wallClockMs)};
    }
    Fakes& fakes;
    Diagnostics* lines;
};

inline bool Eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

}  // namespace batch_fakes
