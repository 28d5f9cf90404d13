#include "DeviceListFormat.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "Csv.h"

namespace {

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

}  // namespace

std::optional<ListFormat> ParseListFormat(std::string_view text) {
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

std::string FormatDeviceTable(const DeviceTable& table, ListFormat format) {
    std::string out;
    switch (format) {
        case ListFormat::Csv: {
            std::vector<std::string> fields(kDeviceColumnCount);
            for (size_t c = 0; c < kDeviceColumnCount; ++c) {
                fields[c] = kDeviceColumns[c].header;
            }
            out += CsvRecord(fields);
            for (size_t r = 0; r < table.RowCount(); ++r) {
                const DeviceCells& cells = table.Cells(r);
                out += CsvRecord(std::vector<std::string>(cells.begin(), cells.end()));
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
