#include "BatchPlan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <map>

#include "Csv.h"
#include "Ipv4Text.h"

namespace {

constexpr size_t kMaxPlanBytes = 1024 * 1024;
constexpr size_t kMaxPlanRows = 4096;

enum class Column { Mac, Findable, Encryption, Value };

struct PlanColumn {
    const char* name;
    Column kind;
};

// Value columns name the install option they share their check with (`key_length` = `key-length`).
constexpr std::array<PlanColumn, 23> kColumns{{
    {"mac", Column::Mac},
    {"ip", Column::Value},
    {"mask", Column::Value},
    {"gateway", Column::Value},
    {"dns1", Column::Value},
    {"dns2", Column::Value},
    {"findable", Column::Findable},
    {"ssid", Column::Value},
    {"mode", Column::Value},
    {"channel", Column::Value},
    {"rate", Column::Value},
    {"preamble", Column::Value},
    {"encryption", Column::Encryption},
    {"auth", Column::Value},
    {"key_length", Column::Value},
    {"key_format", Column::Value},
    {"key_select", Column::Value},
    {"key1", Column::Value},
    {"key2", Column::Value},
    {"key3", Column::Value},
    {"key4", Column::Value},
    {"ftp_port", Column::Value},
    {"ftp_password", Column::Value},
}};

const InstallValueOption* OptionFor(std::string_view column) {
    std::string name(column);
    std::replace(name.begin(), name.end(), '_', '-');
    for (const InstallValueOption& option : InstallValueOptions()) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

std::optional<bool> ParseYesNo(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    if (lower.empty() || lower == "no" || lower == "false" || lower == "0") {
        return false;
    }
    if (lower == "yes" || lower == "true" || lower == "1") {
        return true;
    }
    return std::nullopt;
}

std::string Wants(const char* column, const char* wanted, const std::string& value) {
    return std::string("column \"") + column + "\" wants " + wanted + ", not \"" + value + "\"";
}

// The header's columns in file order; nothing, with the error, for an unknown, repeated or missing column.
std::optional<std::vector<const PlanColumn*>> ReadHeader(const std::vector<std::string>& header, PlanError* error) {
    std::vector<const PlanColumn*> columns;
    for (const std::string& cell : header) {
        const std::string_view name = TrimSpaces(cell);
        const auto known =
            std::find_if(kColumns.begin(), kColumns.end(), [&](const PlanColumn& c) { return name == c.name; });
        if (known == kColumns.end()) {
            *error = {0, "unknown column \"" + std::string(name) + "\""};
            return std::nullopt;
        }
        if (std::find(columns.begin(), columns.end(), &*known) != columns.end()) {
            *error = {0, "column \"" + std::string(name) + "\" appears twice"};
            return std::nullopt;
        }
        columns.push_back(&*known);
    }
    for (const char* required : {"mac", "ip"}) {
        if (std::none_of(columns.begin(), columns.end(),
                         [&](const PlanColumn* c) { return std::strcmp(c->name, required) == 0; })) {
            *error = {0, std::string("column \"") + required + "\" is missing"};
            return std::nullopt;
        }
    }
    return columns;
}

// One record's cells into options; the error message (without the line) when a cell is refused.
std::optional<std::string> ReadRow(const std::vector<const PlanColumn*>& columns, const std::vector<std::string>& cells,
                                   InstallOptions& options) {
    for (size_t i = 0; i < columns.size(); ++i) {
        const PlanColumn& column = *columns[i];
        const std::string& cell = cells[i];
        const InstallValueOption* option = column.kind == Column::Value ? OptionFor(column.name) : nullptr;
        // Spaces around a checked value cannot belong to it; free text (SSID, keys, password) stays as written.
        const bool freeText = option != nullptr && option->wanted[0] == '\0';
        const std::string value(freeText ? std::string_view(cell) : TrimSpaces(cell));
        switch (column.kind) {
            case Column::Mac: {
                const auto mac = MacAddress::Parse(value);
                if (!mac) {
                    return Wants(column.name, "a hardware address like 00-1A-2B-3C-4D-5E", value);
                }
                options.mac = *mac;
                break;
            }
            case Column::Findable:
            case Column::Encryption: {
                const auto flag = ParseYesNo(value);
                if (!flag) {
                    return Wants(column.name, "yes or no", value);
                }
                (column.kind == Column::Findable ? options.findable : options.encryption) = *flag;
                break;
            }
            case Column::Value:
                if (value.empty()) {
                    break;  // unset: the wizard's first value
                }
                if (!option->apply(value, options)) {
                    return Wants(column.name, option->wanted, value);
                }
                break;
        }
    }
    if (!options.ip) {
        return std::string("column \"ip\" is empty");
    }
    return std::nullopt;
}

bool AllEmpty(const std::vector<std::string>& cells) {
    return std::all_of(cells.begin(), cells.end(), [](const std::string& c) { return TrimSpaces(c).empty(); });
}

}  // namespace

ParsedPlan ParsePlan(std::string_view text) {
    ParsedPlan plan;
    const auto fail = [&plan](int line, std::string message) {
        plan.rows.clear();
        plan.error = PlanError{line, std::move(message)};
        return plan;
    };
    if (text.size() > kMaxPlanBytes) {
        return fail(0, "the plan is larger than 1 MiB");
    }
    CsvError csvError;
    const auto table = ReadCsv(text, &csvError);
    if (!table) {
        return fail(csvError.line, csvError.message);
    }
    if (table->records.empty()) {
        return fail(0, "the plan has no header line");
    }
    PlanError headerError;
    const auto columns = ReadHeader(table->records.front(), &headerError);
    if (!columns) {
        return fail(headerError.line, headerError.message);
    }
    std::map<MacAddress, int> macLines;
    std::map<uint32_t, int> addressLines;
    for (size_t r = 1; r < table->records.size(); ++r) {
        const std::vector<std::string>& cells = table->records[r];
        const int line = table->lines[r];
        // A spreadsheet saves rows it once touched as commas only.
        if (AllEmpty(cells)) {
            continue;
        }
        if (cells.size() != columns->size()) {
            return fail(line,
                        std::to_string(cells.size()) + " cells, the header has " + std::to_string(columns->size()));
        }
        if (plan.rows.size() == kMaxPlanRows) {
            return fail(line, "the plan has more than 4096 rows");
        }
        PlanRow row{line, {}};
        if (const auto message = ReadRow(*columns, cells, row.options)) {
            return fail(line, *message);
        }
        if (const auto [it, fresh] = macLines.emplace(row.options.mac, line); !fresh) {
            return fail(line, "MAC " + row.options.mac.Text() + " is also on line " + std::to_string(it->second));
        }
        if (const auto [it, fresh] = addressLines.emplace(*row.options.ip, line); !fresh) {
            return fail(line, "address " + FormatDottedAddress(*row.options.ip) + " is also on line " +
                                  std::to_string(it->second));
        }
        plan.rows.push_back(std::move(row));
    }
    if (plan.rows.empty()) {
        return fail(0, "the plan has no rows");
    }
    return plan;
}

std::string PlanErrorText(const PlanError& error) {
    if (error.line == 0) {
        return error.message;
    }
    return "line " + std::to_string(error.line) + ": " + error.message;
}

std::optional<std::string> ReadPlanFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxPlanBytes + 1, '\0');
    if (in) {
        in.read(text.data(), static_cast<std::streamsize>(text.size()));
    }
    if (!in && !in.eof()) {
        *error = path + ": cannot be read";
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}
