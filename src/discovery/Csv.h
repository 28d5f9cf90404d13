#pragma once

// CSV as RFC 4180 has it: fields separated by commas, records by CRLF (LF alone accepted), a field in double
// quotes may hold commas, line breaks and doubled quotes.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct CsvTable {
    std::vector<std::vector<std::string>> records;
    std::vector<int> lines;  // the line each record starts on (1-based), for messages
};

struct CsvError {
    int line = 0;
    std::string message;
};

// A UTF-8 byte order mark at the start is dropped; blank lines are skipped. Nothing, with *error, for an
// unterminated quote, text after a closing quote, or a NUL byte.
std::optional<CsvTable> ReadCsv(std::string_view text, CsvError* error);

// One field as written: quoted when it holds a comma, quote or line break. A cell that a spreadsheet would read
// as a formula (first character =, +, -, @, tab or CR) gets a leading apostrophe, so it is shown as text.
std::string CsvField(std::string_view cell);
// Fields joined by commas, ended by "\n".
std::string CsvRecord(const std::vector<std::string>& fields);
