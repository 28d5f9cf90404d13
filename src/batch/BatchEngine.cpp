#include "BatchEngine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <utility>

#include "InstallSession.h"
#include "InstallUi.h"

namespace {

using Stream = Diagnostics::Stream;
using SteadyTime = std::chrono::steady_clock::time_point;

constexpr const char* kRangeUsedUpText = "No free address is left in the range";

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

bool Ended(BatchCameraState state) {
    return state != BatchCameraState::Waiting && state != BatchCameraState::Running;
}

class DiscardDiagnostics : public Diagnostics {
  public:
    void Write(Stream, std::string_view) override {}
};

// Every line of one installation, prefixed with its camera, so that the lines of many at once can be told apart.
class PrefixedDiagnostics : public Diagnostics {
  public:
    PrefixedDiagnostics(Diagnostics& out, std::string prefix) : m_out(out), m_prefix(std::move(prefix)) {}

    void Write(Stream stream, std::string_view text) override {
        std::lock_guard lock(m_mutex);
        bool& atStart = m_atLineStart[stream == Stream::Err ? 1 : 0];
        std::string prefixed;
        for (const char c : text) {
            if (atStart) {
                prefixed += m_prefix;
            }
            prefixed += c;
            atStart = c == '\n';
        }
        m_out.Write(stream, prefixed);
    }

  private:
    Diagnostics& m_out;
    std::string m_prefix;
    std::mutex m_mutex;
    bool m_atLineStart[2] = {true, true};
};

}  // namespace

class BatchEngine::Impl {
  public:
    Impl(std::vector<BatchItem> items, Settings settings, PlatformFactory factory, BatchObserver& observer)
        : m_settings(settings), m_factory(std::move(factory)), m_observer(observer) {
        m_settings.jobs = std::clamp(m_settings.jobs, 1, kMaxJobs);
        if (m_settings.diagnostics == nullptr) {
            m_settings.diagnostics = &m_discard;
        }
        for (BatchItem& item : items) {
            Entry entry;
            entry.result.mac = item.camera.mac;
            entry.result.oldAddress = item.camera.address;
            entry.result.newAddress = item.params.m_newAddress;
            entry.fromRange = item.params.m_newAddress == 0 && m_settings.range != nullptr;
            if (m_settings.state != nullptr) {
                entry.record = m_settings.state->Find(item.camera.mac).value_or(BatchCameraRecord{});
            }
            entry.record.target = item.params.m_newAddress;
            entry.record.state = BatchCameraState::Waiting;
            entry.record.ended.clear();
            entry.item = std::move(item);
            m_entries.push_back(std::move(entry));
        }
    }

    ~Impl() {
        RequestStop();
        Join();
    }

    void Start() {
        std::lock_guard lock(m_lanesMutex);
        if (m_started) {
            return;
        }
        m_started = true;
        for (size_t i = 0; i < m_entries.size(); ++i) {
            Publish(i, BatchCameraState::Waiting, "");
        }
        const size_t lanes = std::min(m_entries.size(), static_cast<size_t>(m_settings.jobs));
        for (size_t i = 0; i < lanes; ++i) {
            m_lanes.push_back(std::make_unique<InstallSession>([this](const StopSignal& stop) {
                RunLane(stop);
                return InstallOutcome::Stopped;
            }));
        }
        if (m_stopping) {
            for (auto& lane : m_lanes) {
                lane->RequestStop();
            }
        }
    }

    void RequestStop() {
        std::lock_guard lock(m_lanesMutex);
        m_stopping = true;
        for (auto& lane : m_lanes) {
            lane->RequestStop();
        }
    }

    void Join() {
        std::vector<InstallSession*> lanes;
        {
            std::lock_guard lock(m_lanesMutex);
            for (auto& lane : m_lanes) {
                lanes.push_back(lane.get());
            }
        }
        for (InstallSession* lane : lanes) {
            lane->Join();
        }
        // Stopped before it started: no lane was left to claim the rest.
        for (size_t i = 0; i < m_entries.size(); ++i) {
            if (!Ended(State(i))) {
                Publish(i, BatchCameraState::Stopped, "");
            }
        }
    }

    bool Finished() const {
        std::lock_guard lock(m_mutex);
        return std::all_of(m_entries.begin(), m_entries.end(),
                           [](const Entry& entry) { return Ended(entry.result.state); });
    }

    bool Fatal() const { return m_fatal; }

    std::vector<Result> Results() const {
        std::lock_guard lock(m_mutex);
        std::vector<Result> results;
        for (const Entry& entry : m_entries) {
            results.push_back(entry.result);
        }
        return results;
    }

  private:
    struct Entry {
        BatchItem item;
        Result result;
        BatchCameraRecord record;
        bool fromRange = false;  // its address comes from the range, and another one may be taken
        SteadyTime started;      // claimed by a lane
        int progress = 0;
        bool published = false;
    };

    // The InstallUi of one installation of the batch: the item's settings stand in for the wizard, the status
    // goes to the observer, and nobody is there to answer a question.
    class ItemUi : public InstallUi {
      public:
        ItemUi(Impl& impl, size_t index) : m_impl(impl), m_index(index) {
            const BatchItem& item = impl.m_entries[index].item;
            if (item.ftpPort || item.ftpPassword) {
                m_firstAnswer = ServerSettings{item.ftpPort.value_or(21), item.ftpPassword.value_or("")};
                m_firstAnswerPassword = item.ftpPassword.has_value();
            }
        }

        std::optional<InstallParams> RunWizard(const CameraRecord&) override { return m_impl.Params(m_index); }
        void OpenStatus() override {
            m_text = kCheckingAddressText;
            m_impl.Publish(m_index, BatchCameraState::Running, m_text, 0);
        }
        void SetStatusText(const std::string& text) override {
            m_text = text;
            m_impl.Publish(m_index, BatchCameraState::Running, m_text);
        }
        void SetStatusProgress(int position) override {
            m_impl.Publish(m_index, BatchCameraState::Running, m_text, position);
        }
        void CloseStatus() override {}
        void EndWait() override {}
        void ShowMessage(const std::string& text, const std::string&) override { m_message = text; }
        bool AskServerSettings(FileTransfer::Result, ServerSettings& settings) override {
            if (!m_firstAnswer) {
                return false;
            }
            settings.port = m_firstAnswer->port;
            if (m_firstAnswerPassword) {
                settings.password = m_firstAnswer->password;
            }
            m_firstAnswer.reset();
            return true;
        }
        void UpdateRow(const MacAddress& mac, uint32_t address, bool installed) override {
            std::lock_guard lock(m_impl.m_notifyMutex);
            m_impl.m_observer.AddressTaken(mac, address, installed);
        }

        const std::string& Message() const { return m_message; }

      private:
        Impl& m_impl;
        size_t m_index;
        std::string m_text;
        std::string m_message;
        std::optional<ServerSettings> m_firstAnswer;
        bool m_firstAnswerPassword = false;
    };

    // One of at most `jobs` threads: installs the next waiting camera until none is left or the batch stops.
    void RunLane(const StopSignal& stop) {
        while (const std::optional<size_t> index = Claim()) {
            if (stop.Requested()) {
                Publish(*index, BatchCameraState::Stopped, "");
            } else {
                RunItem(*index, stop);
            }
        }
    }

    // The next camera in order, with its address from the range taken now, so that the range goes out in the
    // cameras' order whichever lane gets there first.
    std::optional<size_t> Claim() {
        std::lock_guard lock(m_mutex);
        if (m_next >= m_entries.size()) {
            return std::nullopt;
        }
        const size_t index = m_next++;
        Entry& entry = m_entries[index];
        entry.started = std::chrono::steady_clock::now();
        if (entry.item.params.m_newAddress == 0 && m_settings.range != nullptr && !m_stopping) {
            entry.item.params.m_newAddress = m_settings.range->Take().value_or(0);
        }
        return index;
    }

    InstallParams Params(size_t index) const {
        std::lock_guard lock(m_mutex);
        return m_entries[index].item.params;
    }

    BatchCameraState State(size_t index) const {
        std::lock_guard lock(m_mutex);
        return m_entries[index].result.state;
    }

    void RunItem(size_t index, const StopSignal& stop) {
        PrefixedDiagnostics diagnostics(*m_settings.diagnostics, m_entries[index].item.camera.mac.Text() + ": ");
        for (;;) {
            const uint32_t address = Params(index).m_newAddress;
            if (address == 0) {
                Publish(index, BatchCameraState::Failed, kRangeUsedUpText);
                return;
            }
            {
                std::lock_guard lock(m_mutex);
                Entry& entry = m_entries[index];
                entry.result.newAddress = address;
                entry.record.target = address;
                entry.record.attempts += 1;
                entry.record.started = BatchTimestampNow();
                entry.record.ended.clear();
            }
            Publish(index, BatchCameraState::Running, kCheckingAddressText, 0);

            std::string message;
            const InstallOutcome outcome = InstallOnce(index, stop, diagnostics, message);
            const bool retry = outcome == InstallOutcome::AddressInUse && m_entries[index].fromRange;
            if (outcome == InstallOutcome::Stopped || (retry && stop.Requested())) {
                Publish(index, BatchCameraState::Stopped, "");
                return;
            }
            if (retry) {
                m_settings.range->MarkInUse(address);
                Publish(index, BatchCameraState::Running, message);
                std::lock_guard lock(m_mutex);
                m_entries[index].item.params.m_newAddress = m_settings.range->Take().value_or(0);
                continue;
            }
            Publish(index,
                    outcome == InstallOutcome::Installed ? BatchCameraState::Installed : BatchCameraState::Failed,
                    message, outcome == InstallOutcome::Installed ? 100 : kKeepProgress);
            return;
        }
    }

    // One run of the install worker; its final message in *message.
    InstallOutcome InstallOnce(size_t index, const StopSignal& stop, Diagnostics& diagnostics, std::string& message) {
        const uint16_t identifier = static_cast<uint16_t>(m_settings.firstIdentifier + index);
        const std::unique_ptr<InstallPlatformSource> source = m_factory(identifier, diagnostics);
        InstallWorker::Platform platform = source->Platform();
        // A fatal failure would end the process in the middle of the others: the batch stops them cleanly
        // instead, and its owner ends the process afterwards.
        platform.exitProcess = [this](int) {
            m_fatal = true;
            RequestStop();
        };
        ItemUi ui(*this, index);
        InstallWorker worker(m_entries[index].item.camera, ui, std::move(platform), stop);
        const InstallOutcome outcome = worker.Run();
        message = ui.Message();
        return outcome;
    }

    static constexpr int kKeepProgress = -1;

    // Records the camera's change, writes the state file when state, address or text changed, tells the observer.
    void Publish(size_t index, BatchCameraState state, const std::string& text, int progress = kKeepProgress) {
        BatchUpdate update;
        BatchCameraRecord record;
        bool changed = false;
        {
            std::lock_guard lock(m_mutex);
            Entry& entry = m_entries[index];
            const std::string line = OneLine(text);
            changed = !entry.published || entry.result.state != state || entry.result.message != line ||
                      entry.record.target != entry.result.newAddress;
            entry.published = true;
            entry.result.state = state;
            entry.result.message = line;
            if (progress != kKeepProgress) {
                entry.progress = progress;
            }
            entry.record.state = state;
            entry.record.message = line;
            if (Ended(state)) {
                if (entry.started != SteadyTime{}) {
                    entry.result.seconds =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - entry.started).count();
                    entry.record.ended = BatchTimestampNow();
                }
            }
            update = {entry.item.camera.mac, state, entry.result.newAddress, entry.progress, line};
            record = entry.record;
        }
        std::lock_guard lock(m_notifyMutex);
        if (changed && m_settings.state != nullptr) {
            std::string error;
            if (!m_settings.state->Put(update.mac, record, &error)) {
                m_settings.diagnostics->Print(Stream::Err, "%s: %s\n", update.mac.Text().c_str(), error.c_str());
            }
        }
        m_observer.Changed(update);
    }

    Settings m_settings;
    PlatformFactory m_factory;
    BatchObserver& m_observer;
    DiscardDiagnostics m_discard;
    std::atomic<bool> m_fatal{false};
    std::atomic<bool> m_stopping{false};

    mutable std::mutex m_mutex;  // the entries and m_next
    std::vector<Entry> m_entries;
    size_t m_next = 0;

    std::mutex m_notifyMutex;  // one observer call and state file write at a time

    std::mutex m_lanesMutex;
    bool m_started = false;
    std::vector<std::unique_ptr<InstallSession>> m_lanes;  // last: their threads use everything above
};

BatchEngine::BatchEngine(std::vector<BatchItem> items, Settings settings, PlatformFactory factory,
                         BatchObserver& observer)
    : m_impl(std::make_unique<Impl>(std::move(items), settings, std::move(factory), observer)) {}

BatchEngine::~BatchEngine() = default;

void BatchEngine::Start() {
    m_impl->Start();
}

void BatchEngine::RequestStop() {
    m_impl->RequestStop();
}

void BatchEngine::Join() {
    m_impl->Join();
}

bool BatchEngine::Finished() const {
    return m_impl->Finished();
}

bool BatchEngine::Fatal() const {
    return m_impl->Fatal();
}

std::vector<BatchEngine::Result> BatchEngine::Results() const {
    return m_impl->Results();
}
