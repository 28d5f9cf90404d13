#include "RestoreCommand.h"

#include <cstdio>

#include "CameraDiscovery.h"
#include "CameraWait.h"
#include "CliUi.h"
#include "CommandLine.h"
#include "DottedAddress.h"
#include "FileTransfer.h"
#include "Headless.h"
#include "HeadlessCommand.h"
#include "InstallCommand.h"
#include "Ipv4Text.h"
#include "RecordStore.h"
#include "RestorePlan.h"
#include "UsageText.h"

namespace {

void Fail(const std::string& text) {
    std::fprintf(stderr, "camera-setup restore: %s\n", text.c_str());
}

}  // namespace

std::optional<RestoreOptions> ParseRestoreOptions(const std::vector<std::string>& args, std::string* error) {
    QCommandLineParser parser;
    if (!ParseCommandLine(
            parser, {{"ip", "ADDR"}, {"from", "FILE"}, {"seconds", "N"}, {"ftp-port", "N"}, {"ftp-password", "P"}},
            args, error)) {
        return std::nullopt;
    }
    RestoreOptions options;
    options.help = parser.isSet(QStringLiteral("help"));
    if (options.help) {
        return options;
    }
    if (const auto value = OptionValue(parser, "ip")) {
        options.install.ip = ParseStrictDottedAddress(*value);
        if (!options.install.ip) {
            *error = "--ip wants an address like 192.168.0.20, not \"" + *value + "\"";
            return std::nullopt;
        }
    }
    if (const auto value = OptionValue(parser, "seconds")) {
        const auto seconds = ParseWholeNumber(*value, 0, kMaxSearchSeconds);
        if (!seconds) {
            *error = "--seconds wants a whole number from 0 to 86400, not \"" + *value + "\"";
            return std::nullopt;
        }
        options.install.seconds = *seconds;
    }
    if (const auto value = OptionValue(parser, "ftp-port")) {
        const auto port = ParseWholeNumber(*value, 1, 65535);
        if (!port) {
            *error = "--ftp-port wants a port from 1 to 65535, not \"" + *value + "\"";
            return std::nullopt;
        }
        options.install.ftpPort = static_cast<uint16_t>(*port);
    }
    options.install.ftpPassword = OptionValue(parser, "ftp-password");
    options.from = OptionValue(parser, "from");
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1) {
        *error = positional.isEmpty() ? "the camera's MAC address is missing"
                                      : "one MAC address only, not also \"" + positional[1].toStdString() + "\"";
        return std::nullopt;
    }
    const std::string macText = positional.first().toStdString();
    const auto mac = MacAddress::Parse(macText);
    if (!mac) {
        *error = "\"" + macText + "\" is not a hardware address like 00-1A-2B-3C-4D-5E";
        return std::nullopt;
    }
    options.install.mac = *mac;
    return options;
}

int RunRestoreCommand(const std::vector<std::string>& args, PrivilegedHelper& helper) {
    std::string error;
    const auto options = ParseRestoreOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "camera-setup restore: %s\n\n%.*s", error.c_str(),
                     static_cast<int>(UsageText::kRestore.size()), UsageText::kRestore.data());
        return kExitUsage;
    }
    if (options->help) {
        std::fwrite(UsageText::kRestore.data(), 1, UsageText::kRestore.size(), stdout);
        return kExitOk;
    }
    const MacAddress mac = options->install.mac;
    const RecordStore store(RecordStore::DefaultDirectory());
    // Nothing to put back, or nowhere to go: said before anything is searched for.
    CameraRecord known;
    known.mac = mac;
    RestoreProblem problem = RestoreProblem::None;
    if (!PlanRestore(store, known, options->install.ip, options->from, &problem, &error)) {
        Fail(error);
        return problem == RestoreProblem::NoAddress ? kExitUsage : kExitFailed;
    }
    PrepareToInstall(helper, "restore");
    CliUi ui;
    StdDiagnostics diagnostics(/*everythingToStderr=*/true);
    CameraDiscovery discovery(ui, diagnostics, CameraDiscovery::DefaultEnvironment(helper));
    if (!StartCameraSearch(discovery, "restore")) {
        return kExitFailed;
    }
    DeviceTable& table = discovery.Table();
    if (!AwaitCameras(table, {mac}, options->install.seconds)) {
        Fail("no camera with MAC address " + mac.Text() + " was found within " +
             std::to_string(options->install.seconds) + " s");
        return kExitFailed;
    }
    const std::optional<RestorePlan> plan =
        PlanRestore(store, table.Record(*table.Find(mac)), options->install.ip, options->from, &problem, &error);
    if (!plan) {
        Fail(error);
        return kExitFailed;
    }
    if (plan->from) {
        std::printf("Restoring the settings %s had before %s (%s)\n", mac.Text().c_str(), plan->from->time.c_str(),
                    store.PreviousPath(*plan->from).c_str());
        std::fflush(stdout);
    }
    const InstallOutcome outcome =
        RunInstallSession(plan->params, options->install, plan->target, table, diagnostics, helper, plan->restore);
    discovery.Stop();
    return outcome == InstallOutcome::Installed ? kExitOk : kExitFailed;
}
