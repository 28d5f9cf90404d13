#include "ListCommand.h"

#include "CameraDiscovery.h"
#include "CliUi.h"
#include "CommandLine.h"
#include "Diagnostics.h"
#include "Headless.h"
#include "HeadlessCommand.h"
#include "UsageText.h"

#include <QCoreApplication>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::string Reason(int error) {
    if (error == EACCES || error == EPERM) {
        return "permission denied (DHCP is read through camera-setup-helper, which needs CAP_NET_RAW)";
    }
    return std::strerror(error);
}

std::string DhcpReason(const CameraDiscovery::StartReport& report) {
    if (!report.clientSocket && !report.serverSocket && report.clientError == report.serverError) {
        return "UDP ports 67 and 68: " + Reason(report.clientError);
    }
    std::string text;
    if (!report.clientSocket) {
        text = "UDP port 67: " + Reason(report.clientError);
    }
    if (!report.serverSocket) {
        text += (text.empty() ? "" : "; ") + std::string("UDP port 68: ") + Reason(report.serverError);
    }
    return text;
}

std::string XrmReason(int result) {
    switch (result) {
        case -1:
            return "out of memory";
        case -2:
            return "its thread could not start";
        case -3:
            return "the broadcast option was refused";
        case -4:
            return "UDP port 9000 could not be bound (is another camera-setup running?)";
        default:
            return "error " + std::to_string(result);
    }
}

}  // namespace

std::string_view ListUsage() {
    return UsageText::kList;
}

std::optional<ListOptions> ParseListOptions(const std::vector<std::string>& args, std::string* error) {
    QCommandLineParser parser;
    if (!ParseCommandLine(parser, {{"seconds", "N"}, {"format", "F"}}, args, error)) {
        return std::nullopt;
    }
    if (const QStringList positional = parser.positionalArguments(); !positional.isEmpty()) {
        *error = "unknown argument \"" + positional.first().toStdString() + "\"";
        return std::nullopt;
    }
    ListOptions options;
    options.help = parser.isSet(QStringLiteral("help"));
    if (const auto value = OptionValue(parser, "seconds")) {
        const auto seconds = ParseWholeNumber(*value, 0, kMaxSearchSeconds);
        if (!seconds) {
            *error = "--seconds wants a whole number from 0 to 86400, not \"" + *value + "\"";
            return std::nullopt;
        }
        options.seconds = *seconds;
    }
    if (const auto value = OptionValue(parser, "format")) {
        const auto format = ParseListFormat(*value);
        if (!format) {
            *error = "--format wants table, csv or json, not \"" + *value + "\"";
            return std::nullopt;
        }
        options.format = *format;
    }
    return options;
}

int RunListCommand(const std::vector<std::string>& args, PrivilegedHelper& helper) {
    std::string error;
    const auto options = ParseListOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "camera-setup list: %s\n\n%.*s", error.c_str(), static_cast<int>(ListUsage().size()),
                     ListUsage().data());
        return kExitUsage;
    }
    if (options->help) {
        std::fwrite(ListUsage().data(), 1, ListUsage().size(), stdout);
        return kExitOk;
    }

    StartHelperFor(helper, "list");
    CliUi ui;
    StdDiagnostics diagnostics(/*everythingToStderr=*/true);
    CameraDiscovery discovery(ui, diagnostics, CameraDiscovery::DefaultEnvironment(helper));
    const CameraDiscovery::StartReport report = discovery.Start();
    if (!report.AnyPath()) {
        std::fprintf(stderr, "camera-setup list: no search could start: %s; XRM search: %s\n",
                     DhcpReason(report).c_str(), XrmReason(report.xrmResult).c_str());
        return kExitFailed;
    }
    if (!report.clientSocket || !report.serverSocket) {
        std::fprintf(stderr, "camera-setup list: not listening to DHCP on %s; searching with what started\n",
                     DhcpReason(report).c_str());
    }
    if (!report.xrm) {
        std::fprintf(stderr, "camera-setup list: no XRM search: %s\n", XrmReason(report.xrmResult).c_str());
    }
    // As the window's start-up: one search, then the search window.
    discovery.Search();
    QTimer::singleShot(options->seconds * 1000, QCoreApplication::instance(), &QCoreApplication::quit);
    QCoreApplication::exec();
    discovery.Stop();

    const std::string output = FormatDeviceTable(discovery.Table(), options->format);
    std::fwrite(output.data(), 1, output.size(), stdout);
    std::fflush(stdout);
    return kExitOk;
}
