#include "BatchEngine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
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

// Which FTP step an installation reached last, so that "settings not changed" can say which step refused.
class WatchedTransfer : public FileTransfer {
  public:
    enum class Step { None, Login, Download, Upload };

    explicit WatchedTransfer(FileTransfer& inner) : m_inner(inner) {}

    bool Open(std::string& error) override { return m_inner.Open(error); }
    Result Connect(const std::string& host, uint16_t port, const std::string& user, const std::string& password,
                   std::string& error) override {
        m_last = Step::Login;
        return m_inner.Connect(host, port, user, password, error);
    }
    Result Download(const std::string& remoteName, Fetched& fetched, std::string& error) override {
        m_last = Step::Download;
        return m_inner.Download(remoteName, fetched, error);
    }
    Result Upload(std::string_view bytes, const std::string& remoteName, std::string& error) override {
        m_last = Step::Upload;
        return m_inner.Upload(bytes, remoteName, error);
    }
    void Close() override { m_inner.Close(); }
    void InterruptOn(const StopSignal& stop) override { m_inner.InterruptOn(stop); }

    Step Last() const { return m_last; }

  private:
    FileTransfer& m_inner;
    Step m_last = Step::None;
};

BatchReason ReasonFor(InstallOutcome outcome, WatchedTransfer::Step lastStep) {
    switch (outcome) {
        case InstallOutcome::Installed:
            return BatchReason::Installed;
        case InstallOutcome::AddressInUse:
            return BatchReason::AddressInUse;
        case InstallOutcome::AssignFailed:
            return BatchReason::NoAnswer;
        case InstallOutcome::SettingsNotChanged:
            switch (lastStep) {
                case WatchedTransfer::Step::Login:
                    return BatchReason::FtpLogin;
                case WatchedTransfer::Step::Download:
                    return BatchReason::Download;
                case WatchedTransfer::Step::Upload:
                    return BatchReason::Upload;
                case WatchedTransfer::Step::None:
                    return BatchReason::Network;  // the transfer library could not start
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

// Writes the state file on a thread of its own: the latest record of every camera, as many changes per write as
// came in while the last one was under way.
class StateWriter {
  public:
    StateWriter(BatchStateFile& file, Diagnostics& diagnostics) : m_file(file), m_diagnostics(diagnostics) {
        m_thread = std::thread([this] { Run(); });
    }
    ~StateWriter() { Finish(); }

    // The change's number, for WaitWritten.
    uint64_t Post(const MacAddress& mac, const BatchCameraRecord& record) {
        std::lock_guard lock(m_mutex);
        m_pending[mac] = record;
        const uint64_t change = ++m_posted;
        m_changed.notify_all();
        return change;
    }

    // Until the file holds the change (or a write of it failed).
    void WaitWritten(uint64_t change) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_written >= change; });
    }

    // Writes what is left and ends the thread.
    void Finish() {
        {
            std::lock_guard lock(m_mutex);
            m_finishing = true;
            m_changed.notify_all();
        }
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

  private:
    void Run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return !m_pending.empty() || m_finishing; });
            if (m_pending.empty()) {
                return;
            }
            std::map<MacAddress, BatchCameraRecord> records;
            records.swap(m_pending);
            const uint64_t covered = m_posted;
            lock.unlock();
            std::string error;
            if (!m_file.PutAll(records, &error)) {
                m_diagnostics.Print(Stream::Err, "%s\n", error.c_str());
            }
            lock.lock();
            m_written = covered;
            m_changed.notify_all();
        }
    }

    BatchStateFile& m_file;
    Diagnostics& m_diagnostics;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<MacAddress, BatchCameraRecord> m_pending;
    uint64_t m_posted = 0;
    uint64_t m_written = 0;
    bool m_finishing = false;
    std::thread m_thread;  // last: it starts once the rest exists
};

// Calls the observer on a thread of its own, in order: an observer that writes to a full pipe or waits for the
// GUI holds up no installation.
class Reporter {
  public:
    Reporter() {
        m_thread = std::thread([this] { Run(); });
    }
    ~Reporter() { Finish(); }

    void Post(std::function<void()> call) {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
        m_changed.notify_all();
    }

    // Nothing queued and no call under way.
    bool Idle() const {
        std::lock_guard lock(m_mutex);
        return m_calls.empty() && !m_calling;
    }

    // Makes the calls left and ends the thread.
    void Finish() {
        {
            std::lock_guard lock(m_mutex);
            m_finishing = true;
            m_changed.notify_all();
        }
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

  private:
    void Run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return !m_calls.empty() || m_finishing; });
            if (m_calls.empty()) {
                return;
            }
            std::function<void()> call = std::move(m_calls.front());
            m_calls.pop_front();
            m_calling = true;
            lock.unlock();
            call();
            lock.lock();
            m_calling = false;
        }
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_calls;
    bool m_calling = false;
    bool m_finishing = false;
    std::thread m_thread;  // last
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
        m_reporter = std::make_unique<Reporter>();
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
        std::lock_guard lanes(m_lanesMutex);
        AddLanesLocked();
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
        m_work.notify_one();
        std::lock_guard lanes(m_lanesMutex);
        AddLanesLocked();
    }

    void Close() {
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
        }
        m_work.notify_all();
    }

    void RequestStop() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            m_closed = true;
        }
        m_work.notify_all();
        std::lock_guard lock(m_lanesMutex);
        for (auto& lane : m_lanes) {
            lane->RequestStop();
        }
    }

    void Join() {
        Close();
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
        std::vector<Entry*> left;
        {
            std::lock_guard lock(m_mutex);
            for (Entry& entry : m_entries) {
                if (!Ended(entry.result.state)) {
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
        m_reporter->Finish();
    }

    bool Finished() const {
        {
            std::lock_guard lock(m_mutex);
            if (!m_closed || !std::all_of(m_entries.begin(), m_entries.end(),
                                          [](const Entry& entry) { return Ended(entry.result.state); })) {
                return false;
            }
        }
        return m_reporter->Idle();
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
        size_t index = 0;  // in the order given
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
            m_impl.m_reporter->Post(
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

    // m_mutex held. A deque keeps every entry where it is while more are added.
    Entry& AddLocked(BatchItem item) {
        Entry& entry = m_entries.emplace_back();
        entry.index = m_entries.size() - 1;
        entry.result.mac = item.camera.mac;
        entry.result.oldAddress = item.camera.address;
        entry.result.newAddress = item.params.m_newAddress;
        entry.fromRange = item.params.m_newAddress == 0 && m_settings.range != nullptr;
        if (m_settings.state != nullptr) {
            entry.record = m_settings.state->Find(item.camera.mac).value_or(BatchCameraRecord{});
        }
        entry.record.target = item.params.m_newAddress;
        entry.record.state = BatchCameraState::Waiting;
        entry.record.reason = BatchReason::None;
        entry.record.ended.clear();
        entry.item = std::move(item);
        ++m_unclaimed;
        return entry;
    }

    // m_lanesMutex held: a lane for every camera waiting beyond the idle lanes, up to `jobs`.
    void AddLanesLocked() {
        size_t wanted = 0;
        {
            std::lock_guard lock(m_mutex);
            if (!m_started || m_stopping) {
                return;
            }
            wanted = m_unclaimed > m_idleLanes ? m_unclaimed - m_idleLanes : 0;
        }
        for (; wanted > 0 && m_lanes.size() < static_cast<size_t>(m_settings.jobs); --wanted) {
            {
                std::lock_guard lock(m_mutex);
                ++m_idleLanes;  // until it claims its camera
            }
            m_lanes.push_back(std::make_unique<InstallSession>([this](const StopSignal& stop) {
                RunLane(stop);
                return InstallOutcome::Stopped;
            }));
        }
    }

    // One of at most `jobs` threads: installs the next waiting camera until none is left (and none can come) or
    // the batch stops.
    void RunLane(const StopSignal& stop) {
        while (Entry* entry = Claim()) {
            if (stop.Requested()) {
                Publish(*entry, BatchCameraState::Stopped, "", kKeepProgress, BatchReason::Stopped);
            } else {
                RunItem(*entry, stop);
            }
            std::lock_guard lock(m_mutex);
            ++m_idleLanes;
        }
    }

    // The next camera in order, with its address from the range taken now, so that the range goes out in the
    // cameras' order whichever lane gets there first. Waits while more cameras may come.
    Entry* Claim() {
        std::unique_lock lock(m_mutex);
        m_work.wait(lock, [&] { return m_next < m_entries.size() || m_closed; });
        --m_idleLanes;
        if (m_next >= m_entries.size()) {
            return nullptr;
        }
        Entry& entry = m_entries[m_next++];
        --m_unclaimed;
        entry.started = std::chrono::steady_clock::now();
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
                entry.result.newAddress = address;
                entry.record.target = address;
                entry.record.attempts += 1;
                entry.record.started = BatchTimestampNow();
                entry.record.ended.clear();
            }
            Publish(entry, BatchCameraState::Running, kCheckingAddressText, 0);

            std::string message;
            BatchReason reason = BatchReason::None;
            const InstallOutcome outcome = InstallOnce(entry, stop, diagnostics, message, reason);
            const bool retry = outcome == InstallOutcome::AddressInUse && entry.fromRange;
            if (outcome == InstallOutcome::Stopped || (retry && stop.Requested())) {
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
            const bool installed = outcome == InstallOutcome::Installed;
            Publish(entry, installed ? BatchCameraState::Installed : BatchCameraState::Failed, message,
                    installed ? 100 : kKeepProgress, reason);
            return;
        }
    }

    // One run of the install worker; its final message in *message, why it ended so in *reason.
    InstallOutcome InstallOnce(Entry& entry, const StopSignal& stop, Diagnostics& diagnostics, std::string& message,
                               BatchReason& reason) {
        const uint16_t identifier = static_cast<uint16_t>(m_settings.firstIdentifier + entry.index);
        const std::unique_ptr<InstallPlatformSource> source = m_factory(identifier, diagnostics);
        InstallWorker::Platform platform = source->Platform();
        WatchedTransfer transfer(platform.transfer);
        // A fatal failure would end the process in the middle of the others: the batch stops them cleanly
        // instead, and its owner ends the process afterwards.
        InstallWorker::Platform watched{std::move(platform.openEcho),
                                        platform.assignment,
                                        transfer,
                                        platform.clock,
                                        platform.diagnostics,
                                        [this](int) {
                                            m_fatal = true;
                                            RequestStop();
                                        },
                                        platform.identifier,
                                        std::move(platform.remoteFileName),
                                        std::move(platform.recordsDirectory),
                                        std::move(platform.wallClockMs)};
        ItemUi ui(*this, entry);
        InstallWorker worker(entry.item.camera, ui, std::move(watched), stop);
        const InstallOutcome outcome = worker.Run();
        message = ui.Message();
        reason = ReasonFor(outcome, transfer.Last());
        return outcome;
    }

    static constexpr int kKeepProgress = -1;

    // Records the camera's change; hands it to the state writer when state, address or text changed, and to the
    // observer. Neither is waited for.
    void Publish(Entry& entry, BatchCameraState state, const std::string& text, int progress = kKeepProgress,
                 BatchReason reason = BatchReason::None) {
        BatchUpdate update;
        BatchCameraRecord record;
        bool changed = false;
        {
            std::lock_guard lock(m_mutex);
            const std::string line = OneLine(text);
            changed = !entry.published || entry.result.state != state || entry.result.message != line ||
                      entry.record.target != entry.result.newAddress;
            entry.published = true;
            entry.result.state = state;
            entry.result.message = line;
            entry.result.reason = reason;
            if (progress != kKeepProgress) {
                entry.progress = progress;
            }
            entry.record.state = state;
            entry.record.message = line;
            entry.record.reason = reason;
            if (Ended(state)) {
                if (entry.started != SteadyTime{}) {
                    entry.result.seconds =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - entry.started).count();
                    entry.record.ended = BatchTimestampNow();
                }
            }
            update = {entry.item.camera.mac, state, entry.result.newAddress, entry.progress, line, reason};
            record = entry.record;
        }
        uint64_t change = 0;
        if (changed && m_writer) {
            change = m_writer->Post(update.mac, record);
        }
        StateWriter* writer = Ended(state) ? m_writer.get() : nullptr;
        m_reporter->Post([this, update, writer, change] {
            if (writer != nullptr) {
                writer->WaitWritten(change);  // whoever reads the ending may rely on the file
            }
            m_observer.Changed(update);
        });
    }

    Settings m_settings;
    PlatformFactory m_factory;
    BatchObserver& m_observer;
    DiscardDiagnostics m_discard;
    std::atomic<bool> m_fatal{false};

    mutable std::mutex m_mutex;  // everything below up to the lanes
    std::condition_variable m_work;
    std::deque<Entry> m_entries;
    size_t m_next = 0;
    size_t m_unclaimed = 0;
    size_t m_idleLanes = 0;
    bool m_started = false;
    bool m_closed = false;
    bool m_stopping = false;

    std::unique_ptr<StateWriter> m_writer;
    std::unique_ptr<Reporter> m_reporter;

    std::mutex m_lanesMutex;
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

std::vector<BatchEngine::Result> BatchEngine::Results() const {
    return m_impl->Results();
}
