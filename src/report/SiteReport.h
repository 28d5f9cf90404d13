#pragma once

// The site report: one row per camera of the installation records (its latest record), for the installer to hand
// over. CSV, JSON and HTML are plain text; the PDF is laid out by Qt's own text engine and PDF writer (needs a
// QGuiApplication; the offscreen platform will do). Never a key or an FTP password: records hold neither.

#include <optional>
#include <string>
#include <vector>

#include "InstallRecord.h"

enum class ReportFormat { Pdf, Html, Csv, Json };

std::optional<ReportFormat> ParseReportFormat(const std::string& name);

// The latest record of each camera among `records` (oldest first) that began at or after `since` (UTC
// "YYYY-MM-DD" or a longer ISO 8601 prefix; empty: all), restricted to `macs` when given; ordered by MAC.
std::vector<InstallRecord> ReportRows(const std::vector<InstallRecord>& records, const std::string& since,
                                      const std::optional<std::vector<MacAddress>>& macs = std::nullopt);

// "2026-12-09", "2026-12-09T15", "2026-12-09T15:49:01Z" ...: a date, or a date and time, as records spell them.
bool IsReportDate(const std::string& text);

// The "tags changed" cell: "<subnet mask>: 255.0.0.0 -> 255.255.255.0; <key 1>: changed".
std::string ChangedText(const InstallRecord& record);
// "yes", "no: <gateway ip>", "unread", "" (never reached).
std::string VerifiedText(const InstallRecord& record);

std::string ReportCsv(const std::vector<InstallRecord>& rows);
std::string ReportJson(const std::vector<InstallRecord>& rows);
// generated: the report's date and time as shown under the title.
std::string ReportHtml(const std::vector<InstallRecord>& rows, const std::string& generated);
// A4, title, date and page numbers. False, with the cause in *error, when the file cannot be written.
bool WriteReportPdf(const std::vector<InstallRecord>& rows, const std::string& generated, const std::string& path,
                    std::string* error);

// Writes the report of `rows`, dated now, to `path` (stdout when empty; a PDF needs a path). False, with the cause
// in *error.
bool WriteReport(const std::vector<InstallRecord>& rows, ReportFormat format, const std::string& path,
                 std::string* error);

inline constexpr const char* kReportTitle = "Camera installation report";
