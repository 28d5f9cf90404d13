#include "InstallCommand.h"

#include <arpa/inet.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <mutex>
#include <thread>

#include "CameraDiscovery.h"
#include "CliUi.h"
#include "Clock.h"
#include "ConfigFileRewrite.h"
#include "Diagnostics.h"
#include "EchoChannel.h"
#include "EndSignalCleanup.h"
#include "FileTransfer.h"
#include "Headless.h"
#include "HeadlessCommand.h"
#include "InstallWorker.h"
#include "InvokeBlocking.h"
#include "NeighbourTable.h"
#include "RealInstallPlatform.h"
#include "SelectedCamera.h"
#include "StringTable.h"
#include "UsageText.h"
#include "WizardRules.h"

namespace {

constexpr int kMaxSeconds = 24 * 60 * 60;
constexpr int kAcknowledgementWaitMs = 3000;
constexpr const char* kServerSettingsText =
    "If you have changed the server FTP port or\nAdmin password, please input the correct settings";

std::optional<int> ParseInt(std::string_view text, int low, int high) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

// Strict dotted quad: four decimal numbers 0..255.
std::optional<uint32_t> ParseAddress(const std::string& text) {
    in_addr value{};
    if (inet_pton(AF_INET, text.c_str(), &value) != 1) {
        return std::nullopt;
    }
    return ntohl(value.s_addr);
}

std::optional<std::string> NormaliseMac(const std::string& text) {
    const std::optional<NeighbourTable::MacAddress> mac = ParseMacText(text);
    if (!mac) {
        return std::nullopt;
    }
    char out[18];
    std::snprintf(out, sizeof out, "%02X-%02X-%02X-%02X-%02X-%02X", (*mac)[0], (*mac)[1], (*mac)[2], (*mac)[3],
                  (*mac)[4], (*mac)[5]);
    return std::string(out);
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

// Runs the event loop until done() holds or the time is up; true when done() holds.
bool WaitFor(const std::function<bool()>& done, int milliseconds) {
    if (done()) {
        return true;
    }
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    poll.start(20);
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

std::string RowStateText(const std::string& state) {
    if (state == kAssignedYes) {
        return "\"Yes\": the camera already has its address; only a row showing \"No\" can be installed";
    }
    if (state == kAssignedPending) {
        return "\"------\": the camera has not answered the XRM search yet; only a row showing \"No\" can be "
               "installed";
    }
    return "\"" + state + "\"; only a row showing \"No\" can be installed";
}

// The terminal side of an installation: status lines on stdout, the final text, and the server settings asked
// for on the terminal (or read from stdin when it is not one).
class CliInstallUi : public InstallUi {
  public:
    CliInstallUi(InstallParams params, const InstallOptions& options,
                 std::function<void(const std::string&, const std::string&)> updateRow)
        : m_params(std::move(params)), m_updateRow(std::move(updateRow)) {
        if (options.ftpPort || options.ftpPassword) {
            m_firstAnswer = ServerSettings{options.ftpPort.value_or(21), options.ftpPassword.value_or("")};
            m_firstAnswerPassword = options.ftpPassword.has_value();
        }
    }

    std::optional<InstallParams> RunWizard(const WizardRequest&) override { return m_params; }

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
        std::fprintf(stderr, "Server Settings: %s\n", kServerSettingsText);
        for (;;) {
            std::fprintf(stderr, "Server FTP Port [%u]: ", settings.port);
            std::fflush(stderr);
            std::string line;
            if (!std::getline(std::cin, line)) {
                return false;
            }
            if (line.empty()) {
                break;
            }
            const auto port = ParseInt(line, 1, 65535);
            if (port) {
                settings.port = static_cast<uint16_t>(*port);
                break;
            }
            std::fprintf(stderr, "Please enter an integer from 1 to 65535.\n");
        }
        std::fprintf(stderr, "Server Admin Password (empty keeps the last one): ");
        std::fflush(stderr);
        const bool terminal = isatty(STDIN_FILENO) == 1;
        termios saved{};
        if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
            termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
        std::string password;
        const bool read = static_cast<bool>(std::getline(std::cin, password));
        if (terminal) {
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
            std::fputc('\n', stderr);
        }
        if (!read) {
            return false;
        }
        if (!password.empty()) {
            settings.password = password;
        }
        return true;
    }

    void UpdateRow(const std::string& mac, const std::string& address, bool) override { m_updateRow(mac, address); }

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
    std::function<void(const std::string&, const std::string&)> m_updateRow;
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

std::optional<InstallOptions> ParseInstallOptions(const std::vector<std::string>& args, std::string* error) {
    InstallOptions options;
    bool haveMac = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> value;
        if (const size_t equals = arg.find('='); arg.starts_with("--") && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
        }
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (!arg.starts_with("--")) {
            if (haveMac) {
                *error = "one MAC address only, not also \"" + arg + "\"";
                return std::nullopt;
            }
            const auto mac = NormaliseMac(arg);
            if (!mac) {
                *error = "\"" + arg + "\" is not a hardware address like 00-1A-2B-3C-4D-5E";
                return std::nullopt;
            }
            options.mac = *mac;
            haveMac = true;
            continue;
        }
        if (arg == "--findable") {
            options.findable = true;
            continue;
        }
        if (arg == "--encryption") {
            options.encryption = true;
            continue;
        }
        static const char* const kWithValue[] = {
            "--ip",      "--mask", "--gateway",  "--dns1", "--dns2",       "--ssid",         "--mode",
            "--channel", "--rate", "--preamble", "--auth", "--key-length", "--key-format",   "--key-select",
            "--key1",    "--key2", "--key3",     "--key4", "--ftp-port",   "--ftp-password", "--seconds"};
        bool known = false;
        for (const char* name : kWithValue) {
            known = known || arg == name;
        }
        if (!known) {
            *error = "unknown argument \"" + arg + "\"";
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                *error = arg + " needs a value";
                return std::nullopt;
            }
            value = args[++i];
        }
        const std::string& v = *value;
        const auto bad = [&](const std::string& wanted) {
            *error = arg + " wants " + wanted + ", not \"" + v + "\"";
            return std::nullopt;
        };
        if (arg == "--ip" || arg == "--mask" || arg == "--gateway" || arg == "--dns1" || arg == "--dns2") {
            const auto address = ParseAddress(v);
            if (!address) {
                return bad("a dotted address like 192.168.0.20");
            }
            (arg == "--ip"        ? options.ip
             : arg == "--mask"    ? options.mask
             : arg == "--gateway" ? options.gateway
             : arg == "--dns1"    ? options.dns1
                                  : options.dns2) = *address;
        } else if (arg == "--ssid") {
            options.ssid = v;
        } else if (arg == "--mode") {
            if (!(options.mode = Choice(v, {"infrastructure", "adhoc"}))) {
                return bad("infrastructure or adhoc");
            }
        } else if (arg == "--channel") {
            const auto channel = ParseInt(v, 1, 11);
            if (!channel) {
                return bad("a channel from 1 to 11");
            }
            options.channelIndex = *channel - 1;
        } else if (arg == "--rate") {
            if (!(options.rateIndex = Choice(v, {"1", "2", "5.5", "11", "22"}))) {
                return bad("1, 2, 5.5, 11 or 22");
            }
        } else if (arg == "--preamble") {
            if (!(options.preamble = Choice(v, {"long", "short"}))) {
                return bad("long or short");
            }
        } else if (arg == "--auth") {
            if (!(options.authIndex = Choice(v, {"auto", "shared", "open"}))) {
                return bad("auto, shared or open");
            }
        } else if (arg == "--key-length") {
            if (!(options.keyLengthIndex = Choice(v, {"64", "128", "256"}))) {
                return bad("64, 128 or 256");
            }
        } else if (arg == "--key-format") {
            if (!(options.keyFormat = Choice(v, {"ascii", "hex"}))) {
                return bad("ascii or hex");
            }
        } else if (arg == "--key-select") {
            const auto key = ParseInt(v, 1, 4);
            if (!key) {
                return bad("a key number from 1 to 4");
            }
            options.keySelect = *key - 1;
        } else if (arg.starts_with("--key")) {
            options.keys[arg.back() - '1'] = v;
        } else if (arg == "--ftp-port") {
            const auto port = ParseInt(v, 1, 65535);
            if (!port) {
                return bad("a port from 1 to 65535");
            }
            options.ftpPort = static_cast<uint16_t>(*port);
        } else if (arg == "--ftp-password") {
            options.ftpPassword = v;
        } else if (arg == "--seconds") {
            const auto seconds = ParseInt(v, 0, kMaxSeconds);
            if (!seconds) {
                return bad("a whole number from 0 to 86400");
            }
            options.seconds = *seconds;
        }
    }
    if (options.help) {
        return options;
    }
    if (!haveMac) {
        *error = "the camera's MAC address is missing";
        return std::nullopt;
    }
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
    // The wireless page as it first shows itself: SSID "default", channel 6, 11 Mbps, long preamble,
    // infrastructure, encryption off, 64bit HEX keys of zeros, key 1 selected.
    params.m_ssid = "default";
    params.m_channelIndex = 5;
    params.m_txRateIndex = 3;
    params.m_preamble = 0;
    params.m_wirelessMode = 0;
    params.m_authenticationIndex = 0;
    params.m_keyLengthIndex = 0;
    params.m_keyFormat = kKeyFormatHex;
    params.m_keySelect = 0;
    params.m_dataEncryption = false;
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
    const std::string fill(static_cast<size_t>(required), params.m_keyFormat == kKeyFormatAscii ? ' ' : '0');
    for (size_t i = 0; i < 4; ++i) {
        params.m_keys[i] = options.keys[i].value_or(fill);
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
    const auto found = [&] { return table.Find(options->mac).has_value(); };
    if (!WaitFor(found, options->seconds * 1000)) {
        std::fprintf(stderr, "camera-setup install: no camera with MAC address %s was found within %d s\n",
                     options->mac.c_str(), options->seconds);
        return kExitFailed;
    }
    // A row made from a DHCP request gets its mask, gateway and name servers from the server's
    // acknowledgement a moment later; a user clicking the row would see them.
    const auto complete = [&] {
        const auto row = table.Find(options->mac);
        if (!row) {
            return false;
        }
        const std::string& mask = table.Cell(*row, kColumnSubnet);
        return (!mask.empty() && mask != kNoAddress) || table.Cell(*row, kColumnAssigned) != kAssignedNo;
    };
    WaitFor(complete, kAcknowledgementWaitMs);
    const size_t row = *table.Find(options->mac);
    const std::string state = table.Cell(row, kColumnAssigned);
    if (state != kAssignedNo) {
        std::fprintf(stderr, "camera-setup install: the row of %s shows %s\n", options->mac.c_str(),
                     RowStateText(state).c_str());
        return kExitFailed;
    }
    const SelectedCamera selected = SelectedCameraFromRow(table, row);
    std::string message;
    std::string caption;
    const auto params = BuildInstallParams(
        *options,
        InstallParams::ForCamera(selected.address, selected.mask, selected.gateway, selected.dns1, selected.dns2),
        selected.wireless, &message, &caption);
    if (!params) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), message.c_str());
        return kExitUsage;
    }

    InstallTarget target{selected.mac,  selected.address, selected.mask,     selected.gateway,
                         selected.dns1, selected.dns2,    selected.wireless, discovery.ArrivalInterface(selected.mac)};
    QCoreApplication* app = QCoreApplication::instance();
    CliInstallUi installUi(*params, *options, [&](const std::string& mac, const std::string& address) {
        InvokeBlocking(app, [&] {
            if (const auto r = table.Find(mac)) {
                table.SetCell(*r, kColumnAddress, address);
                table.SetCell(*r, kColumnAssigned, kAssignedYes);
            }
        });
    });
    RealInstallPlatform real(diagnostics, helper, StringTable::Load(StringTable::kConfigFileName));
    InstallOutcome outcome = InstallOutcome::Fatal;
    InstallWorker installWorker(target, installUi, real.Platform());
    std::thread worker([&] {
        outcome = installWorker.Run();
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    worker.join();
    discovery.Stop();
    return outcome == InstallOutcome::Installed ? kExitOk : kExitFailed;
}
