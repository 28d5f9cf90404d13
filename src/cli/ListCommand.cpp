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

std::optional<ListFormat> ParseFormat(std::string_view text) {
    if (text == "table") {
        return ListFormat::Table;
    }
    if (text == "csv") {
        return ListFormat::Csv;
    }
    if (text == "json") {
        return ListFormat::Json;
    }
    return std::nullopt;
}

std::string CsvField(const std::string& cell) {
    if (cell.find_first_of(",\"\r\n") == std::string::npos) {
        return cell;
    }
    std::string quoted = "\"";
    for (char c : cell) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            // Cells are ASCII; anything else is escaped byte for byte so the output stays valid JSON.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Reason(int error) {
    if (error == EACCES || error == EPERM) {
        return "permission denied (ports below 1024 need camera-setup-helper with CAP_NET_BIND_SERVICE)";
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
        const auto format = ParseFormat(*value);
        if (!format) {
            *error = "--format wants table, csv or json, not \"" + *value + "\"";
            return std::nullopt;
        }
        options.format = *format;
    }
    return options;
}

std::string FormatDeviceTable(const DeviceTable& table, ListFormat format) {
    std::string out;
    switch (format) {
        case ListFormat::Csv: {
            for (size_t c = 0; c < kDeviceColumnCount; ++c) {
                out += c ? "," : "";
                out += CsvField(std::string(kDeviceColumns[c].header));
            }
            out += "\n";
            for (size_t r = 0; r < table.RowCount(); ++r) {
                for (size_t c = 0; c < kDeviceColumnCount; ++c) {
                    // Appended piece by piece: GCC 12 at -O3 misreads `"," + std::string` (-Wrestrict).
                    out += c ? "," : "";
                    out += CsvField(table.Cell(r, c));
                }
                out += "\n";
            }
            break;
        }
        case ListFormat::Json: {
            if (table.RowCount() == 0) {
                return "[]\n";
            }
            out = "[\n";
            for (size_t r = 0; r < table.RowCount(); ++r) {
                out += "  {";
                for (size_t c = 0; c < kDeviceColumnCount; ++c) {
                    out += c ? ", " : "";
                    out += JsonString(kDeviceColumns[c].header);
                    out += ": ";
                    out += JsonString(table.Cell(r, c));
                }
                out += r + 1 < table.RowCount() ? "},\n" : "}\n";
            }
            out += "]\n";
            break;
        }
        case ListFormat::Table: {
            std::array<size_t, kDeviceColumnCount> widths{};
            for (size_t c = 0; c < kDeviceColumnCount; ++c) {
                widths[c] = kDeviceColumns[c].header.size();
                for (size_t r = 0; r < table.RowCount(); ++r) {
                    widths[c] = std::max(widths[c], table.Cell(r, c).size());
                }
            }
            auto line = [&](auto cell) {
                std::string text;
                for (size_t c = 0; c < kDeviceColumnCount; ++c) {
                    const std::string value(cell(c));
                    text += value;
                    if (c + 1 < kDeviceColumnCount) {
                        text.append(widths[c] - value.size() + 2, ' ');
                    }
                }
                while (!text.empty() && text.back() == ' ') {
                    text.pop_back();
                }
                return text + "\n";
            };
            out += line([](size_t c) { return kDeviceColumns[c].header; });
            for (size_t r = 0; r < table.RowCount(); ++r) {
                out += line([&](size_t c) { return std::string_view(table.Cell(r, c)); });
            }
            break;
        }
    }
    return out;
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
