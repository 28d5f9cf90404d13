#pragma once

// A batch plan: which camera gets which settings, read from a CSV file (RFC 4180, UTF-8, a header line, columns
// chosen by header name). Columns: mac and ip (required); mask, gateway, dns1, dns2, findable; the wireless columns
// ssid, mode, channel, rate, preamble, encryption, auth, key_length, key_format, key_select, key1..key4; ftp_port,
// ftp_password. A value is written as the headless install takes it (`key_length` = `--key-length`); findable and
// encryption take yes/no (also true/false, 1/0, in any case; empty = no). An empty cell leaves the value unset: the
// camera then gets what the wizard would show first for it. Spaces around a checked value are dropped; free text
// (ssid, key1..key4, ftp_password) is taken as written. A row of empty cells (a spreadsheet's leftover) is skipped.
// At most 4096 rows and 1 MiB.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "InstallOptions.h"

struct PlanRow {
    int line = 0;            // the row's line number in the file (the header is line 1), for messages
    InstallOptions options;  // mac and ip always set
};

struct PlanError {
    int line = 0;  // 0: the file as a whole
    std::string message;
};

// The rows of a plan, or the first error: a malformed file (unterminated quote, a row with another number of
// cells than the header), a missing or unknown column (named), a bad value (the column and the value), a
// duplicate MAC or address (both lines named).
struct ParsedPlan {
    std::vector<PlanRow> rows;
    std::optional<PlanError> error;
};
ParsedPlan ParsePlan(std::string_view text);

// "line 3: ..." or the message alone for line 0.
std::string PlanErrorText(const PlanError& error);

// The file's text, read up to one byte over the limit so that ParsePlan refuses a larger one; nothing, with
// "PATH: reason" in *error, when it cannot be read.
std::optional<std::string> ReadPlanFile(const std::string& path, std::string* error);
