#include "BatchEngine.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "InstallSession.h"
#include "InstallUi.h"
#include "SerialQueue.h"

namespace {

using Stream = Diagnostics::Stream;

constexpr const char* kRangeUsedUpText = "No free address is left in the range";

std::string OneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
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

BatchReason ReasonFor(const InstallResult& result) {
    switch (result.outcome) {
        case InstallOutcome::Installed:
            return BatchReason::Installed;
        case InstallOutcome::AddressInUse:
            return BatchReason::AddressInUse;
        case InstallOutcome::AssignFailed:
            return BatchReason::NoAnswer;
        case InstallOutcome::SettingsNotChanged:
            switch (result.failedStep) {
                case TransferStep::Login:
                    return BatchReason::FtpLogin;
                case TransferStep::Download:
                    return BatchReason::Download;
                case TransferStep::Upload:
                    return BatchReason::Upload;
                case TransferStep::Open:
                case TransferStep::None:
                    return BatchReason::Network;
            }
            return BatchReason::Network;
        case InstallOutcome::SettingsIncomplete:
            return BatchReason::ConfigIncomplete;
        case InstallOutcome::RestartFailed:
            return BatchReason::NoRestart;
        case InstallOutcome::NotKept:
            return BatchReason::NotKept;
        case InstallOutcome::BackupFailed:
            return BatchReason::Backup;
        case InstallOutcome::NetworkFailed:
            return BatchReason::Network;
        case InstallOutcome::Fatal:
            return BatchReason::Fatal;
        case InstallOutcome::WizardCancelled:
        case InstallOutcome::Stopped:
            return BatchReason::Stopped;
    }
    return BatchReason::Fatal;
}

// Writes the state file on a queue of its own: the latest status of every camera, as many changes per write as
// came in while the last one was under way.
class StateWriter {
  public:
    StateWriter(BatchStateFile& file, Diagnostics& diagnostics) : m_file(file), m_diagnostics(diagnostics) {}

    // The change's number, for WaitWritten.
    uint64_t Post(const BatchCameraStatus& status) {
        std::lock_guard lock(m_mutex);
        m_pending[status.mac] = status;
        if (!m_scheduled) {
            m_scheduled = true;
            m_queue.Post([this] { WritePending(); });
        }
        return ++m_posted;
    }

    // Until the file holds the change (or a write of it failed).
    void WaitWritten(uint64_t change) {
        std::unique_lock lock(m_mutex);
        m_written.wait(lock, [&] { return m_covered >= change; });
    }

    // Writes what is left.
    void Finish() { m_queue.Finish(); }

  private:
    void WritePending() {
        std::map<MacAddress, BatchCameraStatus> statuses;
        uint64_t covered = 0;
        {
            std::lock_guard lock(m_mutex);
            statuses.swap(m_pending);
            covered = m_posted;
            m_scheduled = false;
        }
        std::string error;
        if (!m_file.PutAll(statuses, &error)) {
            m_diagnostics.Print(Stream::Err, "%s\n", error.c_str());
        }
        std::lock_guard lock(m_mutex);
        m_covered = covered;
        m_written.notify_all();
    }

    BatchStateFile& m_file;
    Diagnostics& m_diagnostics;
    std::mutex m_mutex;
    std::condition_variable m_written;
    std::map<MacAddress, BatchCameraStatus> m_pending;
    bool m_scheduled = false;  // a write is queued that has not taken m_pending yet
    uint64_t m_posted = 0;
    uint64_t m_covered = 0;  // changes the file holds
    SerialQueue m_queue;     // last: its thread uses everything above
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
        m_closed = !m_settings.watch;
        for (BatchItem& item : items) {
            AddLocked(std::move(item));
        }
        if (m_settings.state != nullptr) {
            m_writer = std::make_unique<StateWriter>(*m_settings.state, *m_settings.diagnostics);
        }
    }

    ~Impl() {
        RequestStop();
        Join();
    }

    void Start() {
        std::vector<Entry*> entries;
        {
            std::lock_guard lock(m_mutex);
            if (m_started) {
                return;
            }
            m_started = true;
            for (Entry& entry : m_entries) {
                entries.push_back(&entry);
            }
        }
        for (Entry* entry : entries) {
            Publish(*entry, BatchCameraState::Waiting, "");
        }
        std::lock_guard lock(m_mutex);
        const size_t waiting = m_entries.size() - m_next;
        for (size_t lane = 0; lane < waiting && m_lanesRunning < m_settings.jobs && !m_stopping; ++lane) {
            StartLaneLocked();
        }
    }

    void Add(BatchItem item) {
        Entry* entry = nullptr;
        {
            std::lock_guard lock(m_mutex);
            if (m_closed || m_stopping) {
                return;
            }
            entry = &AddLocked(std::move(item));
        }
        Publish(*entry, BatchCameraState::Waiting, "");
        std::lock_guard lock(m_mutex);
        // Every running lane may be busy with a camera of its own; one that is not takes this one first, and the
        // new lane then finds nothing and ends.
        if (m_started && !m_closed && m_lanesRunning < m_settings.jobs) {
            StartLaneLocked();
        }
    }

    void Close() {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }

    void RequestStop() {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_closed = true;
        for (auto& lane : m_lanes) {
            lane->RequestStop();
        }
    }

    void Join() {
        std::vector<InstallSession*> lanes;
        {
            // Closed: no lane starts (and none is reaped) from now on.
            std::lock_guard lock(m_mutex);
            m_closed = true;
            for (auto& lane : m_lanes) {
                lanes.push_back(lane.get());
            }
        }
        for (InstallSession* lane : lanes) {
            lane->Join();
        }
        // Stopped before it started: no lane was left to claim the rest.
        std::vector<Entry*> left;
        {
            std::lock_guard lock(m_mutex);
            for (Entry& entry : m_entries) {
                if (!IsFinal(entry.status.state)) {
                    left.push_back(&entry);
                }
            }
        }
        for (Entry* entry : left) {
            Publish(*entry, BatchCameraState::Stopped, "", kKeepProgress, BatchReason::Stopped);
        }
        if (m_writer) {
            m_writer->Finish();
        }
        m_reporter.Finish();
    }

    bool Finished() const {
        {
            std::lock_guard lock(m_mutex);
            if (!m_closed || !std::all_of(m_entries.begin(), m_entries.end(),
                                          [](const Entry& entry) { return IsFinal(entry.status.state); })) {
                return false;
            }
        }
        return m_reporter.Idle();
    }

    bool Fatal() const { return m_fatal; }

    std::vector<BatchCameraStatus> Results() const {
        std::lock_guard lock(m_mutex);
        std::vector<BatchCameraStatus> results;
        for (const Entry& entry : m_entries) {
            results.push_back(entry.status);
        }
        return results;
    }

  private:
    struct Entry {
        size_t index = 0;  // in the order given
        BatchItem item;
        BatchCameraStatus status;
        bool fromRange = false;  // its address comes from the range, and another one may be taken
        bool claimed = false;    // by a lane
        bool published = false;
        uint32_t publishedAddress = 0;  // the new address last handed to the state writer
    };

    // The InstallUi of one installation of the batch: the item's settings stand in for the wizard, the status
    // goes to the observer, and nobody is there to answer a question.
    class ItemUi : public InstallUi {
      public:
        ItemUi(Impl& impl, Entry& entry) : m_impl(impl), m_entry(entry) {
            const BatchItem& item = entry.item;
            if (item.ftpPort || item.ftpPassword) {
                m_firstAnswer = ServerSettings{item.ftpPort.value_or(21), item.ftpPassword.value_or("")};
                m_firstAnswerPassword = item.ftpPassword.has_value();
            }
        }

        std::optional<InstallParams> RunWizard(const CameraRecord&) override { return m_impl.Params(m_entry); }
        void OpenStatus() override {
            m_text = kCheckingAddressText;
            m_impl.Publish(m_entry, BatchCameraState::Running, m_text, 0);
        }
        void SetStatusText(const std::string& text) override {
            m_text = text;
            m_impl.Publish(m_entry, BatchCameraState::Running, m_text);
        }
        void SetStatusProgress(int position) override {
            m_impl.Publish(m_entry, BatchCameraState::Running, m_text, position);
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
            BatchObserver& observer = m_impl.m_observer;
            m_impl.m_reporter.Post(
                [&observer, mac, address, installed] { observer.AddressTaken(mac, address, installed); });
        }

        const std::string& Message() const { return m_message; }

      private:
        Impl& m_impl;
        Entry& m_entry;
        std::string m_text;
        std::string m_message;
        std::optional<ServerSettings> m_firstAnswer;
        bool m_firstAnswerPassword = false;
    };

    // m_mutex held. A deque keeps every entry where it is while more are added. A camera the state file knows
    // keeps its attempts and start time from the earlier runs.
    Entry& AddLocked(BatchItem item) {
        Entry& entry = m_entries.emplace_back();
        entry.index = m_entries.size() - 1;
        BatchCameraStatus& status = entry.status;
        if (m_settings.state != nullptr) {
            status = m_settings.state->Find(item.camera.mac).value_or(BatchCameraStatus{});
        }
        status.mac = item.camera.mac;
        status.oldAddress = item.camera.address;
        status.newAddress = item.params.m_newAddress;
        status.state = BatchCameraState::Waiting;
        status.reason = BatchReason::None;
        status.message.clear();
        status.ended.clear();
        entry.fromRange = item.params.m_newAddress == 0 && m_settings.range != nullptr;
        entry.item = std::move(item);
        return entry;
    }

    // m_mutex held: one more of at most `jobs` threads. A lane that has ended is joined here, so that a long watch
    // keeps no more threads than `jobs`.
    void StartLaneLocked() {
        std::erase_if(m_lanes, [](const std::unique_ptr<InstallSession>& lane) { return !lane->Running(); });
        ++m_lanesRunning;
        m_lanes.push_back(std::make_unique<InstallSession>([this](const StopSignal& stop) {
            RunLane(stop);
            return InstallOutcome::Stopped;
        }));
    }

    // Installs the next waiting camera until none is left or the batch stops.
    void RunLane(const StopSignal& stop) {
        while (Entry* entry = Claim()) {
            if (stop.Requested()) {
                Publish(*entry, BatchCameraState::Stopped, "", kKeepProgress, BatchReason::Stopped);
            } else {
                RunItem(*entry, stop);
            }
        }
    }

    // The next camera in order, with its address from the range taken now, so that the range goes out in the
    // cameras' order whichever lane gets there first; nothing (and the lane ends) when none waits.
    Entry* Claim() {
        std::lock_guard lock(m_mutex);
        if (m_next >= m_entries.size()) {
            --m_lanesRunning;
            return nullptr;
        }
        Entry& entry = m_entries[m_next++];
        entry.claimed = true;
        if (entry.item.params.m_newAddress == 0 && m_settings.range != nullptr && !m_stopping) {
            entry.item.params.m_newAddress = m_settings.range->Take().value_or(0);
        }
        return &entry;
    }

    InstallParams Params(const Entry& entry) const {
        std::lock_guard lock(m_mutex);
        return entry.item.params;
    }

    void RunItem(Entry& entry, const StopSignal& stop) {
        PrefixedDiagnostics diagnostics(*m_settings.diagnostics, entry.item.camera.mac.Text() + ": ");
        for (;;) {
            const uint32_t address = Params(entry).m_newAddress;
            if (address == 0) {
                Publish(entry, BatchCameraState::Failed, kRangeUsedUpText, kKeepProgress, BatchReason::AddressInUse);
                return;
            }
            {
                std::lock_guard lock(m_mutex);
                entry.status.newAddress = address;
                entry.status.attempts += 1;
                entry.status.started = BatchTimestampNow();
                entry.status.ended.clear();
            }
            Publish(entry, BatchCameraState::Running, kCheckingAddressText, 0);

            std::string message;
            const InstallResult result = InstallOnce(entry, stop, diagnostics, message);
            const bool retry = result.outcome == InstallOutcome::AddressInUse && entry.fromRange;
            if (result.outcome == InstallOutcome::Stopped || (retry && stop.Requested())) {
                Publish(entry, BatchCameraState::Stopped, "", kKeepProgress, BatchReason::Stopped);
                return;
            }
            if (retry) {
                m_settings.range->MarkInUse(address);
                Publish(entry, BatchCameraState::Running, message);
                std::lock_guard lock(m_mutex);
                entry.item.params.m_newAddress = m_settings.range->Take().value_or(0);
                continue;
            }
            const bool installed = result.outcome == InstallOutcome::Installed;
            Publish(entry, installed ? BatchCameraState::Installed : BatchCameraState::Failed, message,
                    installed ? 100 : kKeepProgress, ReasonFor(result));
            return;
        }
    }

    // One run of the install worker; its final message in *message.
    InstallResult InstallOnce(Entry& entry, const StopSignal& stop, Diagnostics& diagnostics, std::string& message) {
        const uint16_t identifier = static_cast<uint16_t>(m_settings.firstIdentifier + entry.index);
        const std::unique_ptr<InstallPlatformSource> source = m_factory(identifier, diagnostics);
        InstallWorker::Platform platform = source->Platform();
        // A fatal failure would end the process in the middle of the others: the batch stops them cleanly
        // instead, and its owner ends the process afterwards.
        platform.exitProcess = [this](int) {
            m_fatal = true;
            RequestStop();
        };
        ItemUi ui(*this, entry);
        InstallWorker worker(entry.item.camera, ui, std::move(platform), stop);
        const InstallResult result = worker.Run();
        message = ui.Message();
        return result;
    }

    static constexpr int kKeepProgress = -1;

    // Records the camera's change; hands its status to the state writer when state, address or text changed, and
    // to the observer. Neither is waited for.
    void Publish(Entry& entry, BatchCameraState state, const std::string& text, int progress = kKeepProgress,
                 BatchReason reason = BatchReason::None) {
        BatchCameraStatus status;
        bool changed = false;
        {
            std::lock_guard lock(m_mutex);
            BatchCameraStatus& current = entry.status;
            const std::string line = OneLine(text);
            changed = !entry.published || current.state != state || current.message != line ||
                      current.newAddress != entry.publishedAddress;
            entry.published = true;
            entry.publishedAddress = current.newAddress;
            current.state = state;
            current.message = line;
            current.reason = reason;
            if (progress != kKeepProgress) {
                current.progress = progress;
            }
            if (IsFinal(state) && entry.claimed) {
                current.ended = BatchTimestampNow();
            }
            status = current;
        }
        uint64_t change = 0;
        if (changed && m_writer) {
            change = m_writer->Post(status);
        }
        StateWriter* writer = IsFinal(state) ? m_writer.get() : nullptr;
        m_reporter.Post([this, status = std::move(status), writer, change] {
            if (writer != nullptr) {
                writer->WaitWritten(change);  // whoever reads the ending may rely on the file
            }
            m_observer.Changed(status);
        });
    }

    Settings m_settings;
    PlatformFactory m_factory;
    BatchObserver& m_observer;
    DiscardDiagnostics m_discard;
    std::atomic<bool> m_fatal{false};

    std::unique_ptr<StateWriter> m_writer;
    SerialQueue m_reporter;  // calls the observer: one that writes to a full pipe or waits for the GUI holds up
                             // no installation

    mutable std::mutex m_mutex;  // everything below
    std::deque<Entry> m_entries;
    size_t m_next = 0;  // the first entry no lane has claimed
    int m_lanesRunning = 0;
    bool m_started = false;
    bool m_closed = false;
    bool m_stopping = false;
    std::vector<std::unique_ptr<InstallSession>> m_lanes;  // last: their threads use everything above
};

BatchEngine::BatchEngine(std::vector<BatchItem> items, Settings settings, PlatformFactory factory,
                         BatchObserver& observer)
    : m_impl(std::make_unique<Impl>(std::move(items), settings, std::move(factory), observer)) {}

BatchEngine::~BatchEngine() = default;

void BatchEngine::Start() {
    m_impl->Start();
}

void BatchEngine::Add(BatchItem item) {
    m_impl->Add(std::move(item));
}

void BatchEngine::Close() {
    m_impl->Close();
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

std::vector<BatchCameraStatus> BatchEngine::Results() const {
    return m_impl->Results();
}
