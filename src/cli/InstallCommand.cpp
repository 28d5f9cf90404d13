#include "InstallCommand.h"

#include <arpa/inet.h>

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
#include "EndSignalCleanup.h"
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

// Strict dotted quad: four decimal numbers 0..255.
std::optional<uint32_t> ParseAddress(const std::string& text) {
    in_addr value{};
    if (inet_pton(AF_INET, text.c_str(), &value) != 1) {
        return std::nullopt;
    }
    return ntohl(value.s_addr);
}

std::optional<int> Choice(const std::string& value, std::initializer_list<const char*> choices) {
    int index = 0;
    for (const char* choice : choices) {
        if (value == choice) {
            return index;
        }
        ++index;
    }
    return std::nullopt;
}

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

bool InstallOptions::AnyWirelessOption() const {
    bool keys = false;
    for (const auto& key : this->keys) {
        keys = keys || key.has_value();
    }
    return ssid || mode || channelIndex || rateIndex || preamble || authIndex || keyLengthIndex || keyFormat ||
           keySelect || encryption || keys;
}

std::string InstallUsage() {
    return std::string(UsageText::kInstall);
}

namespace {

// The value of one option checked and stored; false when it is not one the option takes.
using ApplyValue = bool (*)(const std::string& value, InstallOptions& options);

template <std::optional<uint32_t> InstallOptions::*Field>
bool ApplyAddress(const std::string& value, InstallOptions& options) {
    options.*Field = ParseAddress(value);
    return (options.*Field).has_value();
}

template <std::optional<int> InstallOptions::*Field, int Base, int Last>
bool ApplyNumberAsIndex(const std::string& value, InstallOptions& options) {
    const auto number = ParseWholeNumber(value, Base, Last);
    options.*Field = number ? std::optional<int>(*number - Base) : std::nullopt;
    return number.has_value();
}

template <size_t Key>
bool ApplyKey(const std::string& value, InstallOptions& options) {
    options.keys[Key] = value;
    return true;
}

struct ValueOption {
    CommandOption option;
    const char* wanted;
    ApplyValue apply;
};

const ValueOption kValueOptions[] = {
    {{"ip", "ADDR"}, "a dotted address like 192.168.0.20", &ApplyAddress<&InstallOptions::ip>},
    {{"mask", "M"}, "a dotted address like 192.168.0.20", &ApplyAddress<&InstallOptions::mask>},
    {{"gateway", "G"}, "a dotted address like 192.168.0.20", &ApplyAddress<&InstallOptions::gateway>},
    {{"dns1", "D"}, "a dotted address like 192.168.0.20", &ApplyAddress<&InstallOptions::dns1>},
    {{"dns2", "D"}, "a dotted address like 192.168.0.20", &ApplyAddress<&InstallOptions::dns2>},
    {{"ssid", "S"}, "", [](const std::string& v, InstallOptions& o) { return (o.ssid = v).has_value(); }},
    {{"mode", "M"},
     "infrastructure or adhoc",
     [](const std::string& v, InstallOptions& o) {
         return (o.mode = Choice(v, {"infrastructure", "adhoc"})).has_value();
     }},
    {{"channel", "N"}, "a channel from 1 to 11", &ApplyNumberAsIndex<&InstallOptions::channelIndex, 1, 11>},
    {{"rate", "R"},
     "1, 2, 5.5, 11 or 22",
     [](const std::string& v, InstallOptions& o) {
         return (o.rateIndex = Choice(v, {"1", "2", "5.5", "11", "22"})).has_value();
     }},
    {{"preamble", "P"},
     "long or short",
     [](const std::string& v, InstallOptions& o) {
         return (o.preamble = Choice(v, {"long", "short"})).has_value();
     }},
    {{"auth", "A"},
     "auto, shared or open",
     [](const std::string& v, InstallOptions& o) {
         return (o.authIndex = Choice(v, {"auto", "shared", "open"})).has_value();
     }},
    {{"key-length", "L"},
     "64, 128 or 256",
     [](const std::string& v, InstallOptions& o) {
         return (o.keyLengthIndex = Choice(v, {"64", "128", "256"})).has_value();
     }},
    {{"key-format", "F"},
     "ascii or hex",
     [](const std::string& v, InstallOptions& o) {
         return (o.keyFormat = Choice(v, {"ascii", "hex"})).has_value();
     }},
    {{"key-select", "N"}, "a key number from 1 to 4", &ApplyNumberAsIndex<&InstallOptions::keySelect, 1, 4>},
    {{"key1", "K"}, "", &ApplyKey<0>},
    {{"key2", "K"}, "", &ApplyKey<1>},
    {{"key3", "K"}, "", &ApplyKey<2>},
    {{"key4", "K"}, "", &ApplyKey<3>},
    {{"ftp-port", "N"},
     "a port from 1 to 65535",
     [](const std::string& v, InstallOptions& o) {
         const auto port = ParseWholeNumber(v, 1, 65535);
         o.ftpPort = port ? std::optional<uint16_t>(static_cast<uint16_t>(*port)) : std::nullopt;
         return port.has_value();
     }},
    {{"ftp-password", "P"},
     "",
     [](const std::string& v, InstallOptions& o) { return (o.ftpPassword = v).has_value(); }},
    {{"seconds", "N"},
     "a whole number from 0 to 86400",
     [](const std::string& v, InstallOptions& o) {
         const auto seconds = ParseWholeNumber(v, 0, kMaxSearchSeconds);
         o.seconds = seconds.value_or(o.seconds);
         return seconds.has_value();
     }},
};

}  // namespace

std::optional<InstallOptions> ParseInstallOptions(const std::vector<std::string>& args, std::string* error) {
    std::vector<CommandOption> names{{"findable"}, {"encryption"}};
    for (const ValueOption& option : kValueOptions) {
        names.push_back(option.option);
    }
    QCommandLineParser parser;
    if (!ParseCommandLine(parser, names, args, error)) {
        return std::nullopt;
    }
    InstallOptions options;
    options.help = parser.isSet(QStringLiteral("help"));
    options.findable = parser.isSet(QStringLiteral("findable"));
    options.encryption = parser.isSet(QStringLiteral("encryption"));
    for (const ValueOption& option : kValueOptions) {
        const auto value = OptionValue(parser, option.option.name);
        if (value && !option.apply(*value, options)) {
            *error = std::string("--") + option.option.name + " wants " + option.wanted + ", not \"" + *value + "\"";
            return std::nullopt;
        }
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

std::optional<InstallParams> BuildInstallParams(const InstallOptions& options, const InstallParams& networkPage,
                                                bool wireless, std::string* message, std::string* caption) {
    InstallParams params = networkPage;
    params.m_newAddress = options.ip.value_or(params.m_newAddress);
    params.m_subnetMask = options.mask.value_or(params.m_subnetMask);
    params.m_gateway = options.gateway.value_or(params.m_gateway);
    params.m_primaryDns = options.dns1.value_or(params.m_primaryDns);
    params.m_secondaryDns = options.dns2.value_or(params.m_secondaryDns);
    params.m_installEnabled = options.findable;
    if (const auto failure = CheckNetworkAddresses(params.m_newAddress, params.m_subnetMask)) {
        *message = *failure;
        *caption = StringTable::Load(StringTable::kProductName);
        return std::nullopt;
    }
    if (!wireless) {
        if (options.AnyWirelessOption()) {
            *message = "the camera is not wireless: its wireless settings cannot be given";
            *caption = "Error";
            return std::nullopt;
        }
        return params;
    }
    params = WirelessFirstDisplay(params);
    params.m_ssid = options.ssid.value_or(params.m_ssid);
    params.m_channelIndex = options.channelIndex.value_or(params.m_channelIndex);
    params.m_txRateIndex = options.rateIndex.value_or(params.m_txRateIndex);
    params.m_preamble = options.preamble.value_or(params.m_preamble);
    params.m_wirelessMode = options.mode.value_or(params.m_wirelessMode);
    params.m_authenticationIndex = options.authIndex.value_or(params.m_authenticationIndex);
    params.m_keyLengthIndex = options.keyLengthIndex.value_or(params.m_keyLengthIndex);
    params.m_keyFormat = options.keyFormat.value_or(params.m_keyFormat);
    params.m_keySelect = options.keySelect.value_or(params.m_keySelect);
    params.m_dataEncryption = options.encryption;
    // Choosing a key length or format refills all four keys, as the page does.
    const int required = RequiredKeyLength(params.m_keyLengthIndex, params.m_keyFormat);
    for (size_t i = 0; i < 4; ++i) {
        params.m_keys[i] = options.keys[i].value_or(KeyFill(params.m_keyLengthIndex, params.m_keyFormat));
    }
    if (params.m_ssid.size() > static_cast<size_t>(kMaxSsidLength)) {
        *message = kSsidTooLongMessage;
        *caption = "Error";
        return std::nullopt;
    }
    if (const auto failure = CheckWirelessSettings(params, required)) {
        *message = *failure;
        *caption = "Error";
        return std::nullopt;
    }
    return params;
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

// Installs target on the worker thread while the event loop serves the device table.
InstallOutcome RunInstallSession(const InstallParams& params, const InstallOptions& options, const CameraRecord& target,
                                 DeviceTable& table, StdDiagnostics& diagnostics, PrivilegedHelper& helper) {
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
        const InstallOutcome outcome = worker.Run();
        InvokeLater(app, [] { QCoreApplication::quit(); });
        return outcome;
    });
    QCoreApplication::exec();
    return session.Join();
}

}  // namespace

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
    InitFileTransferLibrary();  // before any thread starts

    StartHelperFor(helper, "install");
    CleanUpOnEndSignals(helper);

    CliUi ui;
    StdDiagnostics diagnostics(/*everythingToStderr=*/true);
    CameraDiscovery discovery(ui, diagnostics, CameraDiscovery::DefaultEnvironment(helper));
    const CameraDiscovery::StartReport report = discovery.Start();
    if (!report.AnyPath()) {
        std::fprintf(stderr,
                     "camera-setup install: no search could start (ports 67/68 need camera-setup-helper; "
                     "the XRM search failed too)\n");
        return kExitFailed;
    }
    discovery.Search();
    DeviceTable& table = discovery.Table();
    const auto target = AwaitTarget(table, *options);
    if (!target) {
        return kExitFailed;
    }
    std::string message;
    std::string caption;
    const auto params = BuildInstallParams(*options, InstallParams::ForCamera(*target),
                                           target->wireless.value_or(false), &message, &caption);
    if (!params) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), message.c_str());
        return kExitUsage;
    }

    const InstallOutcome outcome = RunInstallSession(*params, *options, *target, table, diagnostics, helper);
    discovery.Stop();
    return outcome == InstallOutcome::Installed ? kExitOk : kExitFailed;
}
