// One batch plan file. Whatever it holds, the parse ends with rows or with an error, never both; a row has its
// MAC and address, no MAC or address twice, lines rising from 2, at most 4096 rows; an error names a line only
// inside the file. Every cell read, written back, shows no formula to a spreadsheet.
#include "BatchPlan.h"
#include "Csv.h"
#include "FuzzSupport.h"

#include <set>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ParsedPlan plan = ParsePlan(text);
    if (plan.error) {
        FUZZ_CHECK(plan.rows.empty(), "an error leaves no rows");
        FUZZ_CHECK(!plan.error->message.empty(), "an error says what is wrong");
        FUZZ_CHECK(plan.error->line >= 0, "line numbers are not negative");
        const std::string shown = PlanErrorText(*plan.error);
        FUZZ_CHECK(plan.error->line == 0 || shown.rfind("line " + std::to_string(plan.error->line) + ": ", 0) == 0,
                   "the text names the line");
    } else {
        FUZZ_CHECK(!plan.rows.empty() && plan.rows.size() <= 4096, "a plan holds 1 to 4096 rows");
    }
    std::set<MacAddress> macs;
    std::set<uint32_t> addresses;
    int previous = 1;
    for (const PlanRow& row : plan.rows) {
        FUZZ_CHECK(row.line > previous, "lines rise after the header");
        previous = row.line;
        FUZZ_CHECK(row.options.ip.has_value(), "every row has its address");
        FUZZ_CHECK(macs.insert(row.options.mac).second, "no MAC twice");
        FUZZ_CHECK(addresses.insert(*row.options.ip).second, "no address twice");
    }

    CsvError error;
    if (const auto table = ReadCsv(text, &error)) {
        FUZZ_CHECK(table->records.size() == table->lines.size(), "a line per record");
        for (const auto& record : table->records) {
            for (const std::string& cell : record) {
                const std::string written = CsvField(cell);
                const size_t first = !written.empty() && written[0] == '"' ? 1 : 0;
                FUZZ_CHECK(first >= written.size() ||
                               std::string_view("=+-@\t\r").find(written[first]) == std::string_view::npos,
                           "no written cell starts a formula");
            }
        }
    }
    return 0;
}
