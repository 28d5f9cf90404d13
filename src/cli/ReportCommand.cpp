#include "ReportCommand.h"

#include <cstdio>

#include "CommandLine.h"
#include "HeadlessCommand.h"
#include "RecordStore.h"
#include "UsageText.h"

std::optional<ReportOptions> ParseReportOptions(const std::vector<std::string>& args, std::string* error) {
    // "-o FILE" is the one short option: spelt out before the parser, which reads single-dash words as long ones.
    std::vector<std::string> spelt;
    for (const std::string& arg : args) {
        spelt.push_back(arg == "-o" ? "--output" : arg);
    }
    QCommandLineParser parser;
    if (!ParseCommandLine(parser, {{"since", "DATE"}, {"format", "FORMAT"}, {"output", "FILE"}}, spelt, error)) {
        return std::nullopt;
    }
    ReportOptions options;
    options.help = parser.isSet(QStringLiteral("help"));
    if (options.help) {
        return options;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error = "unexpected argument \"" + parser.positionalArguments().first().toStdString() + "\"";
        return std::nullopt;
    }
    if (const auto since = OptionValue(parser, "since")) {
        if (!IsReportDate(*since)) {
            *error = "--since wants a date like 2026-12-09 (UTC), not \"" + *since + "\"";
            return std::nullopt;
        }
        options.since = *since;
    }
    options.output = OptionValue(parser, "output").value_or("");
    if (const auto format = OptionValue(parser, "format")) {
        const auto parsed = ParseReportFormat(*format);
        if (!parsed) {
            *error = "--format wants pdf, html, csv or json, not \"" + *format + "\"";
            return std::nullopt;
        }
        options.format = *parsed;
    } else if (options.output.size() > 4 && options.output.ends_with(".pdf")) {
        options.format = ReportFormat::Pdf;
    }
    if (options.format == ReportFormat::Pdf && options.output.empty()) {
        *error = "a PDF report needs -o FILE";
        return std::nullopt;
    }
    return options;
}

int RunReportCommand(const std::vector<std::string>& args, PrivilegedHelper&) {
    std::string error;
    const auto options = ParseReportOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "camera-setup report: %s\n\n%.*s", error.c_str(),
                     static_cast<int>(UsageText::kReport.size()), UsageText::kReport.data());
        return kExitUsage;
    }
    if (options->help) {
        std::fwrite(UsageText::kReport.data(), 1, UsageText::kReport.size(), stdout);
        return kExitOk;
    }
    const RecordStore store(RecordStore::DefaultDirectory());
    const std::vector<InstallRecord> rows = ReportRows(store.AllRecords(), options->since);
    if (!WriteReport(rows, options->format, options->output, &error)) {
        std::fprintf(stderr, "camera-setup report: %s\n", error.c_str());
        return kExitFailed;
    }
    if (!options->output.empty()) {
        std::fprintf(stderr, "camera-setup report: %zu cameras in %s\n", rows.size(), options->output.c_str());
    }
    return kExitOk;
}
