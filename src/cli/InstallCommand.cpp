#include "InstallCommand.h"

#include <QCoreApplication>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "CameraDiscovery.h"
#include "CameraWait.h"
#include "CliUi.h"
#include "Clock.h"
#include "CommandLine.h"
#include "ConfigFileRewrite.h"
#include "Diagnostics.h"
#include "EchoChannel.h"
#include "FileTransfer.h"
#include "Headless.h"
#include "HeadlessCommand.h"
#include "InstallSession.h"
#include "InstallWorker.h"
#include "InvokeBlocking.h"
#include "NeighbourTable.h"
#include "RealInstallPlatform.h"
#include "StringTable.h"
#include "TerminalServerSettings.h"
#include "UsageText.h"
#include "WizardRules.h"

namespace {

// The terminal side of an installation: status lines on stdout, the final text, and the server settings asked
// for on the terminal (or read from stdin when it is not one).
class CliInstallUi : public InstallUi {
  public:
    CliInstallUi(InstallParams params, const InstallOptions& options,
                 std::function<void(const MacAddress&, uint32_t)> updateRow)
        : m_params(std::move(params)), m_updateRow(std::move(updateRow)) {
        if (options.ftpPort || options.ftpPassword) {
            m_firstAnswer = ServerSettings{options.ftpPort.value_or(21), options.ftpPassword.value_or("")};
            m_firstAnswerPassword = options.ftpPassword.has_value();
        }
    }

    std::optional<InstallParams> RunWizard(const CameraRecord&) override { return m_params; }

    void OpenStatus() override {
        std::lock_guard lock(m_mutex);
        m_text = kCheckingAddressText;
        Print(0);
    }
    void SetStatusText(const std::string& text) override {
        std::lock_guard lock(m_mutex);
        m_text = text;
    }
    void SetStatusProgress(int position) override {
        std::lock_guard lock(m_mutex);
        Print(position);
    }
    void CloseStatus() override {}
    void EndWait() override {}

    void ShowMessage(const std::string& text, const std::string&) override {
        std::lock_guard lock(m_mutex);
        std::fputs(text.c_str(), stdout);
        if (text.empty() || text.back() != '\n') {
            std::fputc('\n', stdout);
        }
        std::fflush(stdout);
    }

    bool AskServerSettings(FileTransfer::Result failure, ServerSettings& settings) override {
        if (m_firstAnswer) {
            // The command line's port and password stand in for the first answer of the dialog.
            settings.port = m_firstAnswer->port;
            if (m_firstAnswerPassword) {
                settings.password = m_firstAnswer->password;
            }
            m_firstAnswer.reset();
            return true;
        }
        if (failure != FileTransfer::Result::LoginDenied) {
            return false;
        }
        return AskServerSettingsOnTerminal(settings);
    }

    void UpdateRow(const MacAddress& mac, uint32_t address, bool) override { m_updateRow(mac, address); }

  private:
    void Print(int position) {
        std::string shown = m_text;
        for (char& c : shown) {
            if (c == '\n') {
                c = ' ';
            }
        }
        std::fprintf(stdout, "[%3d] %s\n", position, shown.c_str());
        std::fflush(stdout);
    }

    InstallParams m_params;
    std::function<void(const MacAddress&, uint32_t)> m_updateRow;
    std::optional<ServerSettings> m_firstAnswer;
    bool m_firstAnswerPassword = false;
    std::mutex m_mutex;
    std::string m_text;
};

}  // namespace

std::string InstallUsage() {
    return std::string(UsageText::kInstall);
}

std::optional<InstallOptions> ParseInstallOptions(const std::vector<std::string>& args, std::string* error) {
    std::vector<CommandOption> names{{"findable"}, {"encryption"}, {"seconds", "N"}};
    for (const InstallValueOption& option : InstallValueOptions()) {
        names.push_back({option.name, option.valueName});
    }
    QCommandLineParser parser;
    if (!ParseCommandLine(parser, names, args, error)) {
        return std::nullopt;
    }
    InstallOptions options;
    options.help = parser.isSet(QStringLiteral("help"));
    options.findable = parser.isSet(QStringLiteral("findable"));
    options.encryption = parser.isSet(QStringLiteral("encryption"));
    for (const InstallValueOption& option : InstallValueOptions()) {
        const auto value = OptionValue(parser, option.name);
        if (value && !option.apply(*value, options)) {
            *error = std::string("--") + option.name + " wants " + option.wanted + ", not \"" + *value + "\"";
            return std::nullopt;
        }
    }
    if (const auto value = OptionValue(parser, "seconds")) {
        const auto seconds = ParseWholeNumber(*value, 0, kMaxSearchSeconds);
        if (!seconds) {
            *error = "--seconds wants a whole number from 0 to 86400, not \"" + *value + "\"";
            return std::nullopt;
        }
        options.seconds = *seconds;
    }
    if (options.help) {
        return options;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        *error = "one MAC address only, not also \"" + positional[1].toStdString() + "\"";
        return std::nullopt;
    }
    if (positional.isEmpty()) {
        *error = "the camera's MAC address is missing";
        return std::nullopt;
    }
    const std::string macText = positional.first().toStdString();
    const auto mac = MacAddress::Parse(macText);
    if (!mac) {
        *error = "\"" + macText + "\" is not a hardware address like 00-1A-2B-3C-4D-5E";
        return std::nullopt;
    }
    options.mac = *mac;
    if (!options.ip) {
        *error = "--ip is missing";
        return std::nullopt;
    }
    return options;
}

namespace {

// Waits for the camera's row and its acknowledgement; the camera's record when its row can be installed.
std::optional<CameraRecord> AwaitTarget(DeviceTable& table, const InstallOptions& options) {
    if (!AwaitCameras(table, {options.mac}, options.seconds)) {
        std::fprintf(stderr, "camera-setup install: no camera with MAC address %s was found within %d s\n",
                     options.mac.Text().c_str(), options.seconds);
        return std::nullopt;
    }
    const size_t row = *table.Find(options.mac);
    CameraRecord target = table.Record(row);
    if (target.assigned != Assignment::No) {
        std::fprintf(stderr, "camera-setup install: the row of %s shows %s\n", options.mac.Text().c_str(),
                     RowStateText(table.Cell(row, kColumnAssigned)).c_str());
        return std::nullopt;
    }
    return target;
}

}  // namespace

InstallOutcome RunInstallSession(const InstallParams& params, const InstallOptions& options, const CameraRecord& target,
                                 DeviceTable& table, StdDiagnostics& diagnostics, PrivilegedHelper& helper,
                                 const std::optional<InstallWorker::Restore>& restore) {
    QCoreApplication* app = QCoreApplication::instance();
    CliInstallUi installUi(params, options, [&](const MacAddress& mac, uint32_t address) {
        InvokeBlocking(app, [&] {
            if (const auto r = table.Find(mac)) {
                CameraRecord camera = table.Record(*r);
                camera.address = address;
                camera.assigned = Assignment::Yes;
                table.Update(*r, camera);
            }
        });
    });
    RealInstallPlatform real(diagnostics, helper, StringTable::Load(StringTable::kConfigFileName));
    InstallSession session([&](const StopSignal& stop) {
        InstallWorker worker(target, installUi, real.Platform(), stop);
        if (restore) {
            worker.SetRestore(*restore);
        }
        const InstallOutcome outcome = worker.Run().outcome;
        InvokeLater(app, [] { QCoreApplication::quit(); });
        return outcome;
    });
    QCoreApplication::exec();
    return session.Join();
}

int RunInstallCommand(const std::vector<std::string>& args, PrivilegedHelper& helper) {
    std::string error;
    const auto options = ParseInstallOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "camera-setup install: %s\n\n%s", error.c_str(), InstallUsage().c_str());
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(InstallUsage().c_str(), stdout);
        return kExitOk;
    }
    PrepareToInstall(helper, "install");
    CliUi ui;
    StdDiagnostics diagnostics(/*everythingToStderr=*/true);
    CameraDiscovery discovery(ui, diagnostics, CameraDiscovery::DefaultEnvironment(helper));
    if (!StartCameraSearch(discovery, "install")) {
        return kExitFailed;
    }
    DeviceTable& table = discovery.Table();
    const auto target = AwaitTarget(table, *options);
    if (!target) {
        return kExitFailed;
    }
    std::string message;
    std::string caption;
    const SegmentSettings segment =
        SettingsForSegment(*target, options->ip.value_or(target->address), SystemSegmentFacts());
    const auto params = BuildInstallParams(*options, InstallParams::ForCamera(*target, segment),
                                           target->wireless.value_or(false), &message, &caption);
    if (!params) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), message.c_str());
        return kExitUsage;
    }

    const InstallOutcome outcome =
        RunInstallSession(*params, *options, *target, table, diagnostics, helper, std::nullopt);
    discovery.Stop();
    return outcome == InstallOutcome::Installed ? kExitOk : kExitFailed;
}
