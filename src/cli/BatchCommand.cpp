#include "BatchCommand.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>

#include "AdapterInfo.h"
#include "BatchEngine.h"
#include "BatchPlan.h"
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
#include "RealInstallPlatform.h"
#include "StringTable.h"
#include "UsageText.h"

namespace {

// A plan larger than this is no plan (a camera's row takes well under 1 KiB).
constexpr std::streamsize kMaxPlanBytes = 16 << 20;

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

std::optional<std::string> ReadPlanFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(kMaxPlanBytes) + 1, '\0');
    in.read(text.data(), kMaxPlanBytes + 1);
    if (in.bad()) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    if (in.gcount() > kMaxPlanBytes) {
        *error = path + ": larger than 16 MiB";
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::string AddressText(uint32_t address) {
    return address == 0 ? std::string() : DottedAddress(address);
}

// The progress lines on stdout: one per change of a camera's state or text; the table row follows the address.
class CliBatchObserver : public BatchObserver {
  public:
    explicit CliBatchObserver(DeviceTable& table) : m_table(table) {}

    void Changed(const BatchUpdate& update) override {
        std::lock_guard lock(m_mutex);
        const std::pair<BatchCameraState, std::string> shown{update.state, update.text};
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

    static void PrintLine(const BatchUpdate& update) {
        std::string line = update.mac.Text() + " " + BatchCameraStateName(update.state) + " " +
                           (update.address == 0 ? std::string("-") : DottedAddress(update.address));
        if (!update.text.empty()) {
            line += " " + update.text;
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

// Addresses a range never hands out: this PC's, every listed camera's, and the network settings given.
std::set<uint32_t> AddressesInUse(const std::vector<CameraRecord>& cameras, const BatchOptions& network) {
    std::set<uint32_t> inUse;
    if (const auto adapters = EnumerateAdapters()) {
        for (const AdapterInfo& adapter : *adapters) {
            if (const auto address = ParseDottedAddress(adapter.address)) {
                inUse.insert(*address);
            }
        }
    }
    for (const CameraRecord& camera : cameras) {
        if (camera.address != 0 && camera.address != 0xFFFFFFFFu) {
            inUse.insert(camera.address);
        }
    }
    for (const auto& address : {network.gateway, network.dns1, network.dns2}) {
        if (address) {
            inUse.insert(*address);
        }
    }
    return inUse;
}

struct Outcome {
    MacAddress mac;
    uint32_t oldAddress = 0;
    uint32_t newAddress = 0;
    BatchCameraState state = BatchCameraState::Failed;
    std::string message;
};

bool WriteResults(const std::string& path, const std::vector<Outcome>& outcomes, std::string* error) {
    std::string text = CsvRecord({"mac", "old_address", "new_address", "outcome", "message"});
    for (const Outcome& o : outcomes) {
        text += CsvRecord({o.mac.Text(), AddressText(o.oldAddress), AddressText(o.newAddress),
                           BatchCameraStateName(o.state), o.message});
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        *error = path + ": cannot be written";
        return false;
    }
    return true;
}

// Everything after the arguments: the plan read and the cameras found; 2 when nothing may be sent.
class BatchRun {
  public:
    BatchRun(const BatchOptions& options, PrivilegedHelper& helper) : m_options(options), m_helper(helper) {}

    int Run() {
        const auto start = std::chrono::steady_clock::now();
        if (!ReadPlan() || !LoadState()) {
            return kExitUsage;
        }
        InitFileTransferLibrary();  // before any thread starts
        StartHelperFor(m_helper, "batch");
        CleanUpOnEndSignals(m_helper);

        CliUi ui;
        CameraDiscovery discovery(ui, m_diagnostics, CameraDiscovery::DefaultEnvironment(m_helper));
        if (!discovery.Start().AnyPath()) {
            std::fprintf(stderr,
                         "camera-setup batch: no search could start (ports 67/68 need camera-setup-helper; "
                         "the XRM search failed too)\n");
            return kExitFailed;
        }
        discovery.Search();
        DeviceTable& table = discovery.Table();
        const std::vector<CameraRecord> cameras = AwaitCameras(table);

        std::optional<AddressAllocator> range;
        BatchSelection selection;
        if (m_options.range) {
            range.emplace(*m_options.range, *m_options.mask, AddressesInUse(cameras, m_options));
            RangeRequest request{*m_options.range, *m_options.mask, m_options.gateway,
                                 m_options.dns1,   m_options.dns2,  m_options.macs};
            selection = ItemsForRange(request, cameras, *range, &m_state);
        } else {
            selection = ItemsForPlan(m_rows, cameras, &m_state);
        }
        if (selection.error) {
            std::fprintf(stderr, "camera-setup batch: %s\n", PlanErrorText(*selection.error).c_str());
            return kExitUsage;
        }

        std::vector<Outcome> outcomes;
        for (const BatchUpdate& left : selection.leftOut) {
            CliBatchObserver::PrintLine(left);
            if (left.state == BatchCameraState::Failed) {
                RecordLeftOut(left);
            }
            outcomes.push_back({left.mac, OldAddress(cameras, left.mac), left.address, left.state, left.text});
        }
        bool fatal = false;
        if (!selection.items.empty()) {
            fatal = Install(std::move(selection.items), range ? &*range : nullptr, table, outcomes);
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

    static uint32_t OldAddress(const std::vector<CameraRecord>& cameras, const MacAddress& mac) {
        for (const CameraRecord& camera : cameras) {
            if (camera.mac == mac) {
                return camera.address;
            }
        }
        return 0;
    }

    void RecordLeftOut(const BatchUpdate& left) {
        BatchCameraRecord record = m_state.Find(left.mac).value_or(BatchCameraRecord{});
        record.target = left.address;
        record.state = left.state;
        record.message = left.text;
        record.ended = BatchTimestampNow();
        std::string error;
        if (!m_state.Put(left.mac, record, &error)) {
            std::fprintf(stderr, "camera-setup batch: %s\n", error.c_str());
        }
    }

    // Runs the engine while the event loop serves discovery and the table; true after a fatal failure.
    bool Install(std::vector<BatchItem> items, AddressAllocator* range, DeviceTable& table,
                 std::vector<Outcome>& outcomes) {
        CliBatchObserver observer(table);
        BatchEngine::Settings settings;
        settings.jobs = m_options.jobs;
        settings.range = range;
        settings.state = &m_state;
        settings.diagnostics = &m_diagnostics;
        settings.firstIdentifier = InstallWorker::ProcessIdentifier();
        const std::string fileName = StringTable::Load(StringTable::kConfigFileName);
        BatchEngine engine(
            std::move(items), settings,
            [this, &fileName](uint16_t identifier, Diagnostics& diagnostics) {
                return std::make_unique<RealInstallPlatform>(diagnostics, m_helper, fileName, identifier);
            },
            observer);
        engine.Start();
        WaitFor([&] { return engine.Finished(); }, INT_MAX);
        engine.Join();
        for (const BatchEngine::Result& r : engine.Results()) {
            outcomes.push_back({r.mac, r.oldAddress, r.newAddress, r.state, r.message});
        }
        return engine.Fatal();
    }

    int Finish(std::vector<Outcome>& outcomes, std::chrono::steady_clock::duration took, bool fatal) {
        if (m_options.plan) {
            std::map<MacAddress, size_t> order;
            for (const PlanRow& row : m_rows) {
                order.emplace(row.options.mac, order.size());
            }
            std::stable_sort(outcomes.begin(), outcomes.end(),
                             [&](const Outcome& a, const Outcome& b) { return order[a.mac] < order[b.mac]; });
        } else {
            std::sort(outcomes.begin(), outcomes.end(),
                      [](const Outcome& a, const Outcome& b) { return a.mac < b.mac; });
        }
        std::map<BatchCameraState, int> counts;
        for (const Outcome& o : outcomes) {
            ++counts[o.state];
        }
        std::printf("batch: %d installed, %d skipped, %d failed, %d stopped of %zu cameras in %.1f s\n",
                    counts[BatchCameraState::Installed], counts[BatchCameraState::Skipped],
                    counts[BatchCameraState::Failed], counts[BatchCameraState::Stopped], outcomes.size(),
                    std::chrono::duration<double>(took).count());
        std::fflush(stdout);
        bool written = true;
        if (m_options.results) {
            std::string error;
            written = WriteResults(*m_options.results, outcomes, &error);
            if (!written) {
                std::fprintf(stderr, "camera-setup batch: %s\n", error.c_str());
            }
        }
        if (fatal) {
            return InstallWorker::kFatalExitCode & 0xFF;
        }
        const bool allDone = std::all_of(outcomes.begin(), outcomes.end(), [](const Outcome& o) {
            return o.state == BatchCameraState::Installed || o.state == BatchCameraState::Skipped;
        });
        return allDone && written ? kExitOk : kExitFailed;
    }

    const BatchOptions& m_options;
    PrivilegedHelper& m_helper;
    StdDiagnostics m_diagnostics{/*everythingToStderr=*/true};
    BatchStateFile m_state{m_options.state.value_or("")};
    std::vector<PlanRow> m_rows;
};

}  // namespace

std::optional<BatchOptions> ParseBatchOptions(const std::vector<std::string>& args, std::string* error) {
    const char* network[] = {"mask", "gateway", "dns1", "dns2"};
    std::vector<CommandOption> names{{"plan", "FILE"},  {"range", "A-B"},    {"mac", "MAC"},  {"jobs", "N"},
                                     {"state", "FILE"}, {"results", "FILE"}, {"seconds", "N"}};
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
    if (const auto jobs = OptionValue(parser, "jobs")) {
        const auto number = ParseWholeNumber(*jobs, 1, BatchEngine::kMaxJobs);
        if (!number) {
            *error = "--jobs wants a whole number from 1 to 64, not \"" + *jobs + "\"";
            return std::nullopt;
        }
        options.jobs = *number;
    }
    if (const auto seconds = OptionValue(parser, "seconds")) {
        const auto number = ParseWholeNumber(*seconds, 0, kMaxSearchSeconds);
        if (!number) {
            *error = "--seconds wants a whole number from 0 to 86400, not \"" + *seconds + "\"";
            return std::nullopt;
        }
        options.seconds = *number;
    }
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
