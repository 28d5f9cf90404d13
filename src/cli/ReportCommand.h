#pragma once

class PrivilegedHelper;

#include <optional>
#include <string>
#include <vector>

#include "SiteReport.h"

struct ReportOptions {
    std::string since;  // empty: every record
    ReportFormat format = ReportFormat::Csv;
    std::string output;  // empty: stdout (not for pdf)
    bool help = false;
};

// Nothing, with the reason in *error, for bad arguments.
std::optional<ReportOptions> ParseReportOptions(const std::vector<std::string>& args, std::string* error);

// `camera-setup report [--since DATE] [--format pdf|html|csv|json] [-o FILE]`: 0 written, 1 it could not be, 2 bad
// arguments.
int RunReportCommand(const std::vector<std::string>& args, PrivilegedHelper& helper);
