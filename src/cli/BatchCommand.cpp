#include "BatchCommand.h"

#include <QCoreApplication>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "AdapterInfo.h"
#include "BatchEngine.h"
#include "BatchPlan.h"
#include "BatchResults.h"
#include "BatchSetup.h"
#include "BatchStateFile.h"
#include "CameraDiscovery.h"
#include "CameraWait.h"
#include "CliUi.h"
#include "CommandLine.h"
#include "ConfigFileRewrite.h"
#include "Csv.h"
#include "Diagnostics.h"
#include "DottedAddress.h"
#include "EndSignalCleanup.h"
#include "FileTransfer.h"
#include "Headless.h"
#include "HeadlessCommand.h"
#include "InstallOptions.h"
#include "InvokeBlocking.h"
#include "Ipv4Text.h"
#include "StringTable.h"
#include "UsageText.h"

namespace {

std::string Usage() {
    return std::string(UsageText::kBatch);
}

bool ApplyNetworkOption(const char* name, const std::string& value, InstallOptions& options, std::string* error) {
    for (const InstallValueOption& option : InstallValueOptions()) {
        if (std::string_view(option.name) == name) {
            if (option.apply(value, options)) {
                return true;
            }
            *error = std::string("--") + name + " wants " + option.wanted + ", not \"" + value + "\"";
            return false;
        }
    }
    *error = std::string("--") + name + " is not a setting";
    return false;
}

// A whole number from first to last, when the option is given; false, with the reason in *error, otherwise.
bool NumberOption(const QCommandLineParser& parser, const char* name, int first, int last, int& value,
                  std::string* error) {
    const auto text = OptionValue(parser, name);
    if (!text) {
        return true;
    }
    const auto number = ParseWholeNumber(*text, first, last);
    if (!number) {
        *error = std::string("--") + name + " wants a whole number from " + std::to_string(first) + " to " +
                 std::to_string(last) + ", not \"" + *text + "\"";
        return false;
    }
    value = *number;
    return true;
}

// The progress lines on stdout: one per change of a camera's state or text; the table row follows the address.
class CliBatchObserver : public BatchObserver {
  public:
    explicit CliBatchObserver(DeviceTable& table) : m_table(table) {}

    void Changed(const BatchCameraStatus& update) override {
        std::lock_guard lock(m_mutex);
        const std::pair<BatchCameraState, std::string> shown{update.state, update.message};
        auto [last, added] = m_last.try_emplace(update.mac, shown);
        if (!added && last->second == shown) {
            return;
        }
        last->second = shown;
        PrintLine(update);
    }

    void AddressTaken(const MacAddress& mac, uint32_t address, bool) override {
        InvokeBlocking(QCoreApplication::instance(), [&] {
            if (const auto row = m_table.Find(mac)) {
                CameraRecord camera = m_table.Record(*row);
                camera.address = address;
                camera.assigned = Assignment::Yes;
                m_table.Update(*row, camera);
            }
        });
    }

    static void PrintLine(const BatchCameraStatus& update) {
        std::string line = update.mac.Text() + " " + BatchCameraStateName(update.state) + " " +
                           (update.newAddress == 0 ? std::string("-") : FormatDottedAddress(update.newAddress));
        if (update.reason != BatchReason::None) {
            line += std::string(" ") + BatchReasonName(update.reason);
        }
        if (!update.message.empty()) {
            line += " " + update.message;
        }
        line += "\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }

  private:
    DeviceTable& m_table;
    std::mutex m_mutex;
    std::map<MacAddress, std::pair<BatchCameraState, std::string>> m_last;
};

// Everything after the arguments: the plan read and the cameras found; 2 when nothing may be sent.
class BatchRun {
  public:
    BatchRun(const BatchOptions& options, PrivilegedHelper& helper) : m_options(options), m_helper(helper) {}

    int Run() {
        const auto start = std::chrono::steady_clock::now();
        if (!ReadPlan() || !LoadState()) {
            return kExitUsage;
        }
        PrepareToInstall(m_helper, "batch");
        CliUi ui;
        CameraDiscovery discovery(ui, m_diagnostics, CameraDiscovery::DefaultEnvironment(m_helper));
        if (!StartCameraSearch(discovery, "batch")) {
            return kExitFailed;
        }
        DeviceTable& table = discovery.Table();
        std::vector<BatchCameraStatus> outcomes;
        bool fatal = false;
        if (m_options.watch) {
            fatal = Watch(table, outcomes);
            discovery.Stop();
            return Finish(outcomes, std::chrono::steady_clock::now() - start, fatal);
        }
        const std::vector<CameraRecord> cameras = AwaitCameras(table);

        std::optional<AddressAllocator> range;
        BatchSelection selection;
        if (m_options.range) {
            const RangeRequest request = Request();
            range.emplace(request.span, request.mask,
                          AddressesInUse(request, cameras, EnumerateAdapters().value_or(std::vector<AdapterInfo>{})));
            selection = ItemsForRange(request, cameras, *range, &m_state);
        } else {
            selection = ItemsForPlan(m_rows, cameras, &m_state);
        }
        if (selection.error) {
            std::fprintf(stderr, "camera-setup batch: %s\n", PlanErrorText(*selection.error).c_str());
            return kExitUsage;
        }

        LeaveOut(selection.leftOut, cameras, outcomes);
        if (!selection.items.empty()) {
            CliBatchObserver observer(table);
            BatchEngine engine(std::move(selection.items), Settings(range ? &*range : nullptr, false), Platforms(),
                               observer);
            const StopOnSignal stopOnSignal(m_endSignal);
            engine.Start();
            WaitFor([&] { return engine.Finished() || m_endSignal != 0; }, INT_MAX);
            StopAndJoin(engine);
            fatal = Collect(engine, outcomes);
        }
        discovery.Stop();
        return Finish(outcomes, std::chrono::steady_clock::now() - start, fatal);
    }

  private:
    bool ReadPlan() {
        if (!m_options.plan) {
            return true;
        }
        std::string error;
        const auto text = ReadPlanFile(*m_options.plan, &error);
        if (!text) {
            std::fprintf(stderr, "camera-setup batch: %s\n", error.c_str());
            return false;
        }
        ParsedPlan plan = ParsePlan(*text);
        if (plan.error) {
            std::fprintf(stderr, "camera-setup batch: %s\n", PlanErrorText(*plan.error).c_str());
            return false;
        }
        m_rows = std::move(plan.rows);
        return true;
    }

    bool LoadState() {
        std::string error;
        if (!m_state.Load(&error)) {
            std::fprintf(stderr, "camera-setup batch: %s\n", error.c_str());
            return false;
        }
        return true;
    }

    // Named cameras: until each is found (or the time is up). Otherwise the whole time, then every row.
    std::vector<CameraRecord> AwaitCameras(DeviceTable& table) {
        std::vector<MacAddress> named = m_options.macs;
        for (const PlanRow& row : m_rows) {
            const auto record = m_state.Find(row.options.mac);
            if (!record || record->state != BatchCameraState::Installed) {
                named.push_back(row.options.mac);
            }
        }
        if (m_options.plan || !m_options.macs.empty()) {
            ::AwaitCameras(table, named, m_options.seconds);
        } else {
            WaitFor([] { return false; }, m_options.seconds * 1000);
            for (size_t row = 0; row < table.RowCount(); ++row) {
                if (table.Record(row).assigned == Assignment::No) {
                    named.push_back(table.Record(row).mac);
                }
            }
            ::AwaitCameras(table, named, 0);
        }
        std::vector<CameraRecord> cameras;
        for (size_t row = 0; row < table.RowCount(); ++row) {
            cameras.push_back(table.Record(row));
        }
        return cameras;
    }

    RangeRequest Request() const {
        return {*m_options.range, *m_options.mask, m_options.gateway, m_options.dns1, m_options.dns2, m_options.macs};
    }

    BatchEngine::Settings Settings(AddressAllocator* range, bool watch) {
        BatchEngine::Settings settings;
        settings.jobs = m_options.jobs;
        settings.range = range;
        settings.state = &m_state;
        settings.diagnostics = &m_diagnostics;
        settings.firstIdentifier = InstallWorker::ProcessIdentifier();
        settings.watch = watch;
        return settings;
    }

    BatchEngine::PlatformFactory Platforms() {
        return RealBatchPlatforms(m_helper, StringTable::Load(StringTable::kConfigFileName));
    }

    // Cameras that never reach the engine: their line, their record (when failed) and their result.
    void LeaveOut(const std::vector<BatchCameraStatus>& leftOut, const std::vector<CameraRecord>& cameras,
                  std::vector<BatchCameraStatus>& outcomes) {
        for (const BatchCameraStatus& left : leftOut) {
            CliBatchObserver::PrintLine(left);
            if (left.state == BatchCameraState::Failed) {
                // Its attempts and start from earlier runs stay.
                BatchCameraStatus record = m_state.Find(left.mac).value_or(left);
                record.newAddress = left.newAddress;
                record.state = left.state;
                record.reason = left.reason;
                record.message = left.message;
                record.ended = BatchTimestampNow();
                std::string error;
                if (!m_state.Put(record, &error)) {
                    std::fprintf(stderr, "camera-setup batch: %s\n", error.c_str());
                }
            }
        }
        const std::vector<BatchCameraStatus> results = LeftOutResults(leftOut, cameras);
        outcomes.insert(outcomes.end(), results.begin(), results.end());
    }

    // Ctrl-C or a termination while installations run: they end as stopped, with their cleanup, and the results
    // and state are still written; a second signal ends the process at once.
    class StopOnSignal {
      public:
        explicit StopOnSignal(std::atomic<int>& signal) {
            SetFirstEndSignalHandler([&signal](int number) {
                signal = number;
                static constexpr char kText[] = "camera-setup batch: stopping the installations (again to end now)\n";
                [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kText, sizeof kText - 1);
            });
        }
        ~StopOnSignal() { SetFirstEndSignalHandler(nullptr); }
        StopOnSignal(const StopOnSignal&) = delete;
        StopOnSignal& operator=(const StopOnSignal&) = delete;
    };

    // Asks the unfinished installations to stop and serves the event loop until they have.
    static void StopAndJoin(BatchEngine& engine) {
        if (!engine.Finished()) {
            engine.RequestStop();
            WaitFor([&] { return engine.Finished(); }, INT_MAX);
        }
    }

    // Joins the engine (the event loop has served it until it finished); true after a fatal failure.
    static bool Collect(BatchEngine& engine, std::vector<BatchCameraStatus>& outcomes) {
        engine.Join();
        const std::vector<BatchCameraStatus> results = engine.Results();
        outcomes.insert(outcomes.end(), results.begin(), results.end());
        return engine.Fatal();
    }

    // Installs the cameras as they appear, until every named one has ended or the time is up; true after a
    // fatal failure.
    bool Watch(DeviceTable& table, std::vector<BatchCameraStatus>& outcomes) {
        std::optional<AddressAllocator> range;
        std::optional<BatchWatch> watch;
        if (m_options.range) {
            const RangeRequest request = Request();
            std::vector<CameraRecord> cameras;
            for (size_t row = 0; row < table.RowCount(); ++row) {
                cameras.push_back(table.Record(row));
            }
            range.emplace(request.span, request.mask,
                          AddressesInUse(request, cameras, EnumerateAdapters().value_or(std::vector<AdapterInfo>{})));
            watch.emplace(request, *range, &m_state);
        } else {
            watch.emplace(m_rows, &m_state);
        }
        CliBatchObserver observer(table);
        BatchEngine engine({}, Settings(range ? &*range : nullptr, true), Platforms(), observer);
        const StopOnSignal stopOnSignal(m_endSignal);
        engine.Start();
        std::vector<CameraRecord> seen;  // every camera offered, for the results' old addresses
        const auto offer = [&] {
            const auto now = std::chrono::steady_clock::now();
            for (size_t row = 0; row < table.RowCount(); ++row) {
                const CameraRecord camera = table.Record(row);
                if (std::none_of(seen.begin(), seen.end(),
                                 [&](const CameraRecord& c) { return c.mac == camera.mac; })) {
                    seen.push_back(camera);
                }
                if (auto item = watch->Offer(camera, now)) {
                    engine.Add(std::move(*item));
                }
            }
            LeaveOut(watch->TakeLeftOut(), seen, outcomes);
            if (watch->AllNamedHandled()) {
                engine.Close();
            }
            return engine.Finished() || m_endSignal != 0;
        };
        const bool limited = m_options.secondsGiven && m_options.seconds > 0;
        WaitFor(offer, limited ? m_options.seconds * 1000 : INT_MAX);
        StopAndJoin(engine);
        LeaveOut(watch->Unhandled(), seen, outcomes);
        return Collect(engine, outcomes);
    }

    int Finish(std::vector<BatchCameraStatus>& outcomes, std::chrono::steady_clock::duration took, bool fatal) {
        if (m_options.plan) {
            std::map<MacAddress, size_t> order;
            for (const PlanRow& row : m_rows) {
                order.emplace(row.options.mac, order.size());
            }
            std::stable_sort(
                outcomes.begin(), outcomes.end(),
                [&](const BatchCameraStatus& a, const BatchCameraStatus& b) { return order[a.mac] < order[b.mac]; });
        } else {
            std::sort(outcomes.begin(), outcomes.end(),
                      [](const BatchCameraStatus& a, const BatchCameraStatus& b) { return a.mac < b.mac; });
        }
        std::map<BatchCameraState, int> counts;
        for (const BatchCameraStatus& o : outcomes) {
            ++counts[o.state];
        }
        std::printf("batch: %d installed, %d skipped, %d failed, %d stopped of %zu cameras in %.1f s (%s)\n",
                    counts[BatchCameraState::Installed], counts[BatchCameraState::Skipped],
                    counts[BatchCameraState::Failed], counts[BatchCameraState::Stopped], outcomes.size(),
                    std::chrono::duration<double>(took).count(), ReasonCounts(outcomes).c_str());
        std::fflush(stdout);
        bool written = true;
        if (m_options.results) {
            std::string error;
            written = SaveTextFile(*m_options.results, FormatBatchResults(outcomes), &error);
            if (!written) {
                std::fprintf(stderr, "camera-setup batch: %s\n", error.c_str());
            }
        }
        if (fatal) {
            return InstallWorker::kFatalExitCode & 0xFF;
        }
        if (m_endSignal != 0) {
            return 128 + m_endSignal;
        }
        return AllInstalled(outcomes) && written ? kExitOk : kExitFailed;
    }

    const BatchOptions& m_options;
    PrivilegedHelper& m_helper;
    StdDiagnostics m_diagnostics{/*everythingToStderr=*/true};
    BatchStateFile m_state{m_options.state.value_or("")};
    std::vector<PlanRow> m_rows;
    std::atomic<int> m_endSignal{0};  // the end signal that stopped the installations
};

}  // namespace

std::optional<BatchOptions> ParseBatchOptions(const std::vector<std::string>& args, std::string* error) {
    const char* network[] = {"mask", "gateway", "dns1", "dns2"};
    std::vector<CommandOption> names{{"plan", "FILE"},  {"range", "A-B"},    {"mac", "MAC"},   {"jobs", "N"},
                                     {"state", "FILE"}, {"results", "FILE"}, {"seconds", "N"}, {"watch", ""}};
    for (const char* name : network) {
        names.push_back({name, "ADDR"});
    }
    QCommandLineParser parser;
    if (!ParseCommandLine(parser, names, args, error)) {
        return std::nullopt;
    }
    BatchOptions options;
    options.help = parser.isSet(QStringLiteral("help"));
    if (options.help) {
        return options;
    }
    if (const QStringList positional = parser.positionalArguments(); !positional.isEmpty()) {
        *error = "unexpected argument \"" + positional.first().toStdString() + "\"";
        return std::nullopt;
    }
    options.plan = OptionValue(parser, "plan");
    if (const auto range = OptionValue(parser, "range")) {
        std::string why;
        options.range = ParseAddressSpan(*range, &why);
        if (!options.range) {
            *error = "--range wants FIRST-LAST like 192.168.0.20-192.168.0.80, not \"" + *range + "\": " + why;
            return std::nullopt;
        }
    }
    if (options.plan.has_value() == options.range.has_value()) {
        *error = "either --plan or --range is needed, not both";
        return std::nullopt;
    }
    InstallOptions given;
    for (const char* name : network) {
        const auto value = OptionValue(parser, name);
        if (value && options.plan) {
            *error = std::string("--") + name + " goes with --range; a plan has its own columns";
            return std::nullopt;
        }
        if (value && !ApplyNetworkOption(name, *value, given, error)) {
            return std::nullopt;
        }
    }
    options.mask = given.mask;
    options.gateway = given.gateway;
    options.dns1 = given.dns1;
    options.dns2 = given.dns2;
    if (options.range && !options.mask) {
        *error = "--range needs --mask";
        return std::nullopt;
    }
    for (const QString& text : parser.values(QStringLiteral("mac"))) {
        const auto mac = MacAddress::Parse(text.toStdString());
        if (!mac) {
            *error = "\"" + text.toStdString() + "\" is not a hardware address like 00-1A-2B-3C-4D-5E";
            return std::nullopt;
        }
        if (options.plan) {
            *error = "--mac goes with --range; a plan names its cameras";
            return std::nullopt;
        }
        options.macs.push_back(*mac);
    }
    if (!NumberOption(parser, "jobs", 1, BatchEngine::kMaxJobs, options.jobs, error) ||
        !NumberOption(parser, "seconds", 0, kMaxSearchSeconds, options.seconds, error)) {
        return std::nullopt;
    }
    options.secondsGiven = OptionValue(parser, "seconds").has_value();
    options.watch = parser.isSet(QStringLiteral("watch"));
    options.state = OptionValue(parser, "state");
    options.results = OptionValue(parser, "results");
    return options;
}

int RunBatchCommand(const std::vector<std::string>& args, PrivilegedHelper& helper) {
    std::string error;
    const auto options = ParseBatchOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "camera-setup batch: %s\n\n%s", error.c_str(), Usage().c_str());
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(Usage().c_str(), stdout);
        return kExitOk;
    }
    return BatchRun(*options, helper).Run();
}
